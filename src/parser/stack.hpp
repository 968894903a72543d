// How much native stack the calling thread has left.  Recursion whose depth
// the input decides checks it before going deeper.
#pragma once

#include <cstddef>

namespace morvax {

// Bytes of stack between the caller's frame and the end of the thread's
// stack; a very large number when the platform cannot tell.  Costs a system
// query: call it only once recursion is already deep.
std::size_t stack_remaining();

}  // namespace morvax
