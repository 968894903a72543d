#include "parser/stack.hpp"

#include <pthread.h>

namespace morvax {

std::uintptr_t stack_low_bound() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* low = nullptr;
    std::size_t size = 0;
    const int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    return rc == 0 ? reinterpret_cast<std::uintptr_t>(low) : 0;
}

std::size_t stack_remaining() { return stack_left(stack_low_bound()); }

}  // namespace morvax
