// Long work (reading a large tree, parsing its formulas, evaluating it) asks
// now and then whether it should stop. The module's answer is whether a signal
// handler raised (Ctrl-C): the work then ends early, its results unused.
//
// Asking costs a call, so work counts its units and asks once every kEvery of
// them, some tens of microseconds to a millisecond apart.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>

#include "eval/stack_segments.hpp"

namespace morvax {

// Thrown by work that cannot simply return early (a transformation deep in
// its texts) once its Interrupt said stop. The module boundary lets the
// exception the signal handler raised through instead.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

class Interrupt {
public:
    // True: stop. May run the caller's code (a signal handler).
    using Poll = bool (*)(void* context);

    // Never stops.
    Interrupt() = default;
    Interrupt(Poll poll, void* context) : poll_(poll), context_(context) {}
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    // Counts units of work. True once the poll said stop, and from then on.
    bool tick(std::size_t units = 1) {
        if ((countdown_ -= static_cast<int>(std::min<std::size_t>(units, kEvery))) > 0) return stopped_;
        return ask();
    }
    bool stopped() const { return stopped_; }

    // For its length, work that may ask on the segments of `segments` has
    // the poll run on the thread's own stack: the caller's code it may run
    // needs the stack its thread has, not what a deep recursion left of a
    // segment.
    class OnSegments {
    public:
        OnSegments(Interrupt& interrupt, StackSegments& segments)
            : interrupt_(interrupt), outer_(interrupt.segments_) {
            interrupt.segments_ = &segments;
        }
        OnSegments(const OnSegments&) = delete;
        OnSegments& operator=(const OnSegments&) = delete;
        ~OnSegments() { interrupt_.segments_ = outer_; }

    private:
        Interrupt& interrupt_;
        StackSegments* outer_;
    };

private:
    static constexpr int kEvery = 1024;

    bool ask() {
        countdown_ = kEvery;
        if (!stopped_ && poll_ != nullptr && poll()) stopped_ = true;
        return stopped_;
    }
    bool poll() {
        if (segments_ == nullptr) return poll_(context_);
        bool stop = false;
        segments_->on_thread_stack([&] { stop = poll_(context_); });
        return stop;
    }

    Poll poll_ = nullptr;
    void* context_ = nullptr;
    StackSegments* segments_ = nullptr;
    int countdown_ = kEvery;
    bool stopped_ = false;
};

}  // namespace morvax
