#include "eval/stack_segments.hpp"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <exception>
#include <new>

#if MORVAX_ASAN
#define MORVAX_ASAN_FIBERS 1
#endif

#ifdef MORVAX_ASAN_FIBERS
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace morvax {

// One mapping: a guard page at the low end (stacks grow down), then the stack.
struct StackSegments::Segment {
    std::byte* base = nullptr;  // start of the mapping, the guard page
    std::size_t guard = 0;
    ucontext_t context{};

    std::byte* low() const { return base + guard; }
    std::size_t size() const { return kSegmentSize - guard; }

    Segment() {
        guard = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, kSegmentSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        base = static_cast<std::byte*>(p);
        mprotect(base, guard, PROT_NONE);  // best effort: an overflow faults instead of writing on
    }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;
    ~Segment() {
#ifdef MORVAX_ASAN_FIBERS
        // A frame left behind (the one that switched away for good) keeps its
        // redzones in the shadow memory, which outlives the mapping: whatever
        // is mapped here next would be reported as a stack overflow. Runs use
        // the top of the segment: the shadow is cleared from the lowest
        // block holding poison up, as writing all of it cost more than most
        // runs. (Small blocks: finding the byte within one is slow.)
        constexpr std::size_t kBlock = 16 * 1024;
        for (std::byte* at = base; at < base + kSegmentSize; at += kBlock) {
            if (__asan_region_is_poisoned(at, kBlock) != nullptr) {
                ASAN_UNPOISON_MEMORY_REGION(at, static_cast<std::size_t>(base + kSegmentSize - at));
                break;
            }
        }
#endif
        munmap(base, kSegmentSize);
    }
};

namespace {

// What the code running on a segment needs to get back.
struct Switch {
    void (*run)(void*);
    void* work;
    ucontext_t caller{};
    std::exception_ptr error;
    const void* caller_bottom = nullptr;  // for the sanitizer's record of the caller's stack
    std::size_t caller_size = 0;
};

// The start of a switched-to stack (a segment, or the thread's own for
// run_on_thread_stack). makecontext passes only ints: the Switch's address
// comes in two halves.
void enter_segment(unsigned high, unsigned low) {
    auto* sw = reinterpret_cast<Switch*>((static_cast<std::uintptr_t>(high) << 32) | low);
#ifdef MORVAX_ASAN_FIBERS
    __sanitizer_finish_switch_fiber(nullptr, &sw->caller_bottom, &sw->caller_size);
#endif
    try {
        sw->run(sw->work);
    } catch (...) {
        // Unwinding cannot cross into the caller's stack: carry the exception over.
        sw->error = std::current_exception();
    }
#ifdef MORVAX_ASAN_FIBERS
    // Null: this run of the segment ends here, its fake frames can go.
    __sanitizer_start_switch_fiber(nullptr, sw->caller_bottom, sw->caller_size);
#endif
    setcontext(&sw->caller);
}

// Makes `context` start enter_segment(sw) at the top of [low, low + size).
void make_context(ucontext_t& context, Switch& sw, void* low, std::size_t size) {
    if (getcontext(&context) != 0) throw std::bad_alloc();
    context.uc_stack.ss_sp = low;
    context.uc_stack.ss_size = size;
    context.uc_link = nullptr;
    const auto address = reinterpret_cast<std::uintptr_t>(&sw);
    makecontext(&context, reinterpret_cast<void (*)()>(&enter_segment), 2, static_cast<unsigned>(address >> 32),
                static_cast<unsigned>(address));
}

// Runs `context` until it switches back to sw's caller; the sanitizer learns
// the stack it runs on, [bottom, bottom + size).
void switch_to(ucontext_t& context, Switch& sw, [[maybe_unused]] const void* bottom, [[maybe_unused]] std::size_t size) {
#ifdef MORVAX_ASAN_FIBERS
    void* fake_stack = nullptr;
    __sanitizer_start_switch_fiber(&fake_stack, bottom, size);
#endif
    swapcontext(&sw.caller, &context);
#ifdef MORVAX_ASAN_FIBERS
    __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#endif
}

}  // namespace

StackSegments::StackSegments() = default;
StackSegments::~StackSegments() = default;

void StackSegments::run_on_segment(Task task) {
    if (depth_ == pool_.size()) pool_.push_back(std::make_unique<Segment>());
    Segment& segment = *pool_[depth_];
    Switch sw{task.run, task.work, {}, nullptr, nullptr, 0};
    make_context(segment.context, sw, segment.low(), segment.size());

    const std::uintptr_t saved_low = low_;
    low_ = reinterpret_cast<std::uintptr_t>(segment.low()) + kSignalRoom;
    if (depth_ == 0) {
        // Leaving the thread's own stack: code sent back to it runs below
        // this frame (and below the switch's own, hence the gap).
        constexpr std::uintptr_t kGap = 4096;
        thread_resume_ = below_here() - kGap;
        thread_switch_ = &sw;
    }
    ++depth_;
    switch_to(segment.context, sw, segment.low(), segment.size());
    --depth_;
    low_ = saved_low;
    if (depth_ == 0) thread_switch_ = nullptr;
    if (sw.error) std::rethrow_exception(sw.error);
}

void StackSegments::run_on_thread_stack(Task task) {
    Switch sw{task.run, task.work, {}, nullptr, nullptr, 0};
    ucontext_t context{};
    // makecontext starts the stack at the top of the region it is given and
    // never looks at its size: the work runs on down the thread's stack as
    // it would have from the frame that left it.
    constexpr std::size_t kNominal = 64 * 1024;
    make_context(context, sw, reinterpret_cast<void*>(thread_resume_ - kNominal), kNominal);

    const std::uintptr_t saved_low = low_;
    low_ = 0;  // no step of this object runs there
    // The sanitizer knows the thread's stack from the switch that left it.
    const auto* left = static_cast<const Switch*>(thread_switch_);
    switch_to(context, sw, left->caller_bottom, left->caller_size);
    low_ = saved_low;
    if (sw.error) std::rethrow_exception(sw.error);
}

}  // namespace morvax
