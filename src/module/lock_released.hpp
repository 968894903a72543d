// Pure C++ work run with the interpreter lock released, so that other Python
// threads run while a large tree is evaluated, expanded or translated.
#pragma once

#include <Python.h>

#include <utility>

namespace morvax::module {

// `work` must not touch any Python object. The lock is taken back however the
// work ends, an exception included, before the caller sees the outcome.
class LockReleased {
public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

template <class Work>
decltype(auto) with_lock_released(Work&& work) {
    const LockReleased released;
    return std::forward<Work>(work)();
}

}  // namespace morvax::module
