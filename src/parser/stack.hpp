// How much native stack the calling thread has left.  Recursion whose depth
// the input decides checks it before going deeper.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvax {

// Lowest usable address of the calling thread's stack, or 0 when the
// platform cannot tell.  Costs a system query (for the main thread a read of
// /proc): ask once, when recursion is already deep, and keep the answer.
std::uintptr_t stack_low_bound();

// Bytes of stack between the caller's frame and `low` (a stack_low_bound()).
inline std::size_t stack_left(std::uintptr_t low) {
    if (low == 0) return static_cast<std::size_t>(-1);
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here > low ? here - low : 0;
}

// stack_left(stack_low_bound()).
std::size_t stack_remaining();

}  // namespace morvax
