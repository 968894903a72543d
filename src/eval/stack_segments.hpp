// Recursion whose depth the input decides (a chain of a million on-demand
// evaluations) runs on separately allocated stack segments, a fresh one each
// time the current one runs low, so it never overflows the native stack.
// Everything within a segment is ordinary recursion: results and their order
// are those of unbounded recursion.
//
// The thread's own stack is never measured (asking the system for its bounds
// reads /proc on the main thread, far dearer than a mapping): the first
// `call` always moves to a segment, whose bounds are known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MORVAX_HAS_ASAN_FEATURE 1
#endif
#endif
#ifndef MORVAX_HAS_ASAN_FEATURE
#define MORVAX_HAS_ASAN_FEATURE 0
#endif

namespace morvax {

class StackSegments {
public:
    // Room that one step of the recursion may use below the point where `call`
    // decides: the evaluation of the most deeply nested formula the parser
    // accepts, with a wide margin (that takes about 140 KiB optimised, 270 KiB
    // unoptimised, several times more instrumented).
    // The sanitizer clears a segment's shadow whenever it switches to it, so
    // its segments are kept smaller.
#if defined(__SANITIZE_ADDRESS__) || MORVAX_HAS_ASAN_FEATURE
    static constexpr std::size_t kReserve = 3 * 1024 * 1024;
    static constexpr std::size_t kSegmentSize = 8 * 1024 * 1024;
#else
    static constexpr std::size_t kReserve = 640 * 1024;
    static constexpr std::size_t kSegmentSize = 16 * 1024 * 1024;
#endif

    StackSegments();
    StackSegments(const StackSegments&) = delete;
    StackSegments& operator=(const StackSegments&) = delete;
    ~StackSegments();

    // Runs `work()` here, or on a fresh segment when less than kReserve is
    // left or the stack is the thread's own.  An exception thrown by `work`
    // reaches the caller either way.
    template <class F>
    void call(F&& work) {
        if (room() >= kReserve) {
            work();
            return;
        }
        using W = std::remove_reference_t<F>;
        run_on_segment(Task{&work, [](void* w) { (*static_cast<W*>(w))(); }});
    }

    // How many segments were ever in use at once (for tests and measurements).
    std::size_t segments_allocated() const { return pool_.size(); }

private:
    struct Task {
        void* work;
        void (*run)(void*);
    };
    struct Segment;

    std::size_t room();
    void run_on_segment(Task task);

    std::uintptr_t low_ = 0;  // lowest usable address of the current segment; 0 off segments
    std::size_t depth_ = 0;   // segments entered and not yet left
    std::vector<std::unique_ptr<Segment>> pool_;  // pool_[i] serves depth i, reused
};

}  // namespace morvax
