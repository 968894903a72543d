// Recursion whose depth the input decides (a chain of a million on-demand
// evaluations, a formula nested kMaxNesting levels deep) runs on separately
// allocated stack segments, a fresh one each time the current one runs low,
// so it never overflows the native stack.  Everything within a segment is
// ordinary recursion: results and their order are those of unbounded
// recursion.
//
// The thread's own stack is never measured (asking the system for its bounds
// reads /proc on the main thread, far dearer than a mapping) and may be small
// (a Python thread may have a few tens of KiB): of it, only a fixed budget
// below the outermost `call` is used, by steps that say they need little.
// So a shallow tree maps no segment at all.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "parser/frames.hpp"

namespace morvax {

class StackSegments {
public:
    // Room that one step of the recursion may use below the point where `call`
    // decides: the evaluation of the most deeply nested formula the parser
    // accepts, with a wide margin (that takes about 140 KiB optimised, 270 KiB
    // unoptimised, several times more instrumented).
    // The sanitizer clears a segment's shadow whenever it switches to it, so
    // its segments are kept smaller.
    // kShallowStep: room on a segment for a step whose formulas nest at most
    // kShallowNesting levels (up to about 9 KiB optimised, measured; segments
    // are large, so the margin is wide).
    // kProgramStep: room for a step that runs compiled formulas only, no
    // syntax tree: about 0.7 KiB a level of on-demand evaluation, measured,
    // and its leaves (the median's selection, the math functions) little more.
    // On the calling thread's own stack, a shallow step counts as kNativeStep,
    // a program step as kProgramStep, and the steps may use kNativeBudget in
    // all below the outermost `call`: about 17 KiB at the most, where a Python
    // thread has at least some 30 KiB left when it calls the module. So a
    // small tree's chains of a dozen or so on-demand evaluations map no
    // segment. Builds with large frames keep their steps off the thread's
    // stack.
#if MORVAX_ASAN
    static constexpr std::size_t kReserve = 3 * 1024 * 1024;
    static constexpr std::size_t kSegmentSize = 8 * 1024 * 1024;
#else
    static constexpr std::size_t kReserve = 640 * 1024;
    static constexpr std::size_t kSegmentSize = 16 * 1024 * 1024;
#endif
#if MORVAX_LARGE_FRAMES
    static constexpr std::size_t kShallowStep = 256 * 1024;
    static constexpr std::size_t kProgramStep = kShallowStep;
    static constexpr std::size_t kNativeStep = 0;
    static constexpr std::size_t kNativeBudget = 0;
#else
    static constexpr std::size_t kShallowStep = 48 * 1024;
    static constexpr std::size_t kProgramStep = 4 * 1024;
    static constexpr std::size_t kNativeStep = 12 * 1024;
    static constexpr std::size_t kNativeBudget = 16 * 1024;
#endif

    static_assert(kNativeStep <= kNativeBudget && kProgramStep <= kShallowStep);

    // Kept free at the low end of every segment: a signal arrives on
    // whatever stack runs, and the system's frame for it and the handler it
    // calls need room there however deep the recursion has gone.
    static constexpr std::size_t kSignalRoom = 64 * 1024;

    StackSegments();
    StackSegments(const StackSegments&) = delete;
    StackSegments& operator=(const StackSegments&) = delete;
    ~StackSegments();

    // Runs `work()` here when `need` bytes of stack are left for it (on the
    // thread's own stack: when it is a shallow step within the budget), else
    // on a fresh segment.  An exception thrown by `work` reaches the caller
    // either way.
    template <class F>
    void call(F&& work, std::size_t need = kReserve) {
        const bool native = low_ == 0 && need <= kShallowStep && kNativeStep > 0;
        if (native && native_top_ == 0) {
            // The outermost call: its frame is where the budget starts.
            native_top_ = frame();
            struct Leave {
                std::uintptr_t& top;
                ~Leave() { top = 0; }
            } leave{native_top_};
            work();
            return;
        }
        if (native ? room() >= std::min(need, kNativeStep) : room() >= need) {
            work();
            return;
        }
        using W = std::remove_reference_t<F>;
        run_on_segment(Task{&work, [](void* w) { (*static_cast<W*>(w))(); }});
    }

    // Runs `work()` on the thread's own stack, below the frame that entered
    // the first segment, when it is called on a segment; here otherwise. For
    // the caller's code (a signal handler, the interpreter's collector and
    // the finalizers it calls), which expects the stack its thread was
    // given, with the limits its interpreter knows, not a segment's.
    template <class F>
    void on_thread_stack(F&& work) {
        if (low_ == 0) {
            work();
            return;
        }
        using W = std::remove_reference_t<F>;
        run_on_thread_stack(Task{&work, [](void* w) { (*static_cast<W*>(w))(); }});
    }

    // Whether any step may run here without asking: on a segment, with room
    // for the deepest (nearly always, as segments are large).
    bool ample() const { return low_ != 0 && room() >= kReserve; }

    // How many segments were ever in use at once (for tests and measurements).
    std::size_t segments_allocated() const { return pool_.size(); }

private:
    struct Task {
        void* work;
        void (*run)(void*);
    };
    struct Segment;

    static std::uintptr_t frame() {
        return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    }
    // Asked before every step that may recurse: inline.
    std::size_t room() const {
        const std::uintptr_t here = frame();
        if (low_ != 0) return here > low_ ? here - low_ : 0;
        if (native_top_ == 0) return 0;  // the thread's own stack, outside the budget
        const std::uintptr_t used = native_top_ > here ? native_top_ - here : 0;
        return used < kNativeBudget ? kNativeBudget - used : 0;
    }
    void run_on_segment(Task task);
    void run_on_thread_stack(Task task);
    // An address below the stack frame of the point where run_on_segment left
    // the thread's own stack (a function's frame, called there, lies below).
    [[gnu::noinline]] static std::uintptr_t below_here() { return frame(); }

    std::uintptr_t low_ = 0;  // lowest usable address of the current segment; 0 off segments
    std::uintptr_t native_top_ = 0;  // the outermost call's frame on the thread's own stack; 0 outside
    std::size_t depth_ = 0;   // segments entered and not yet left
    // While on segments: where run_on_thread_stack's stack starts, below the
    // frame waiting for the first segment to end, and that switch's record.
    std::uintptr_t thread_resume_ = 0;
    void* thread_switch_ = nullptr;
    std::vector<std::unique_ptr<Segment>> pool_;  // pool_[i] serves depth i, reused
};

}  // namespace morvax
