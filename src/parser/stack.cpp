#include "parser/stack.hpp"

#include <pthread.h>

#include <cstdint>
#include <limits>

namespace morvax {

std::size_t stack_remaining() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return std::numeric_limits<std::size_t>::max();
    void* low = nullptr;
    std::size_t size = 0;
    const int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || low == nullptr) return std::numeric_limits<std::size_t>::max();
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const auto bottom = reinterpret_cast<std::uintptr_t>(low);
    return here > bottom ? here - bottom : 0;
}

}  // namespace morvax
