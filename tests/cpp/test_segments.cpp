// Stack segments and the code that is not theirs: a signal delivered at the
// low end of a segment, and work sent back to the thread's own stack.
#include <pthread.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>

#include "check.hpp"
#include "diagnose/diagnose.hpp"
#include "eval/interrupt.hpp"
#include "eval/stack_segments.hpp"
#include "eval/tree_evaluation.hpp"

namespace {

using namespace morvax;

volatile std::sig_atomic_t signals_handled = 0;

// A handler with a frame of some size, as an interpreter's is.
void handle_with_stack(int) {
    volatile char scratch[16 * 1024];
    scratch[0] = 1;
    scratch[sizeof scratch - 1] = 1;
    signals_handled = signals_handled + 1;
}

// Recursion of program steps through `levels` frames of about 2 KiB, each
// giving its own frame to `visit` first: several segments, each used down to
// the room a step asks for.
void descend(StackSegments& segments, int levels, const std::function<void(const void*)>& visit) {
    std::function<void(int)> down = [&](int level) {
        volatile char pad[2048];
        pad[0] = 0;
        visit(__builtin_frame_address(0));
        if (level > 0) segments.call([&] { down(level - 1); }, StackSegments::kProgramStep);
        pad[sizeof pad - 1] = 0;
    };
    segments.call([&] { down(levels); }, StackSegments::kReserve);
}

constexpr int kLevels = 3 * StackSegments::kSegmentSize / 2048;

TEST(segments_a_signal_at_the_low_end_finds_room) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = handle_with_stack;
    sigemptyset(&action.sa_mask);
    CHECK_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    signals_handled = 0;
    StackSegments segments;
    descend(segments, kLevels, [](const void*) { std::raise(SIGUSR1); });
    sigaction(SIGUSR1, &previous, nullptr);
    CHECK(segments.segments_allocated() > 1);
    CHECK_EQ(static_cast<int>(signals_handled), kLevels + 1);
}

// Whether `frame` lies on the stack of the thread running the tests.
bool on_thread(const void* frame) {
    static const auto [low, high] = [] {
        pthread_attr_t attributes;
        void* base = nullptr;
        std::size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            if (pthread_attr_getstack(&attributes, &base, &size) != 0) size = 0;
            pthread_attr_destroy(&attributes);
        }
        const auto from = reinterpret_cast<std::uintptr_t>(base);
        return std::pair{from, from + size};
    }();
    const auto at = reinterpret_cast<std::uintptr_t>(frame);
    return at >= low && at < high;
}

TEST(segments_work_sent_to_the_thread_stack_runs_there) {
    StackSegments segments;
    int sent = 0;
    int on_segments = 0;
    int there = 0;
    int thrown = 0;
    descend(segments, kLevels, [&](const void* frame) {
        on_segments += !on_thread(frame);
        if (++sent % 512 != 0) return;
        segments.on_thread_stack([&] { there += on_thread(__builtin_frame_address(0)); });
        try {
            segments.on_thread_stack([] { throw std::runtime_error("from the thread's stack"); });
        } catch (const std::runtime_error&) {
            ++thrown;
        }
    });
    CHECK(segments.segments_allocated() > 1);
    CHECK_EQ(on_segments, sent);
    CHECK(sent / 512 > 0);
    CHECK_EQ(there, sent / 512);
    CHECK_EQ(thrown, sent / 512);
}

// The polls of an evaluation deep in its segments, which run the caller's
// code, run on the thread's own stack.
struct Polls {
    int asked = 0;
    int on_thread_stack = 0;

    static bool poll(void* context) {
        auto* polls = static_cast<Polls*>(context);
        ++polls->asked;
        polls->on_thread_stack += on_thread(__builtin_frame_address(0));
        return false;
    }
};

TEST(segments_polls_of_deep_evaluations_run_on_the_thread_stack) {
    Node root;
    root.name = "root";
    root.formula = AnyDim<std::string>::single("=@n0");
    constexpr std::size_t kLinks = 50000;
    for (std::size_t i = 0; i < kLinks; ++i) {
        Node& link = root.children.emplace_back();
        link.name = "n" + std::to_string(i);
        link.formula = AnyDim<std::string>::single(i + 1 < kLinks ? "=@n" + std::to_string(i + 1) + " + 1" : "=1");
    }
    Polls evaluating;
    Interrupt evaluation_polls(Polls::poll, &evaluating);
    TreeEvaluation evaluation(FlatTree(root), &evaluation_polls);
    evaluation.evaluate_all();
    Polls diagnosing;
    Interrupt diagnosis_polls(Polls::poll, &diagnosing);
    diagnose_tree(root, false, &diagnosis_polls);
    for (const Polls* polls : {&evaluating, &diagnosing}) {
        CHECK(polls->asked > 10);
        CHECK_EQ(polls->on_thread_stack, polls->asked);
    }
}

}  // namespace
