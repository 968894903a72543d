// evaluate_tree(root, in_place=False): every formula of a tree evaluated in
// every dimension, the results written as text into each node's `value`.
#include <exception>
#include <optional>
#include <thread>
#include <utility>

#include "eval/tree.hpp"
#include "module/boundary.hpp"
#include "module/entry_points.hpp"
#include "module/lock_released.hpp"
#include "module/node_protocol.hpp"

namespace morvax::module {
namespace {

constexpr Param params[] = {{"root", ParamKind::object}, {"in_place", ParamKind::flag}};
constexpr Signature signature{"evaluate_tree", params, "evaluate_tree(root, in_place=False)\n--\n\n"};

// From this many nodes on, a tree to be copied is evaluated on a thread of its
// own while this one takes the deep copy: below it, starting a thread costs
// more than the evaluation.
constexpr std::size_t kOverlapFrom = 4096;

// Runs `work` (which touches no Python object) on a thread of its own. When no
// thread can be started, `finish` runs it on the calling thread instead.
template <class Work>
class Background {
public:
    explicit Background(Work& work) : work_(work) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::exception&) {
            // No thread to be had: finish() does the work, later but the same.
        }
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    ~Background() {
        if (thread_.joinable()) thread_.join();
    }

    // Waits for the work (or does it) and hands back what it threw, if anything.
    std::exception_ptr finish() {
        if (thread_.joinable()) {
            thread_.join();
        } else if (!ran_) {
            run();
        }
        return failure_;
    }

private:
    void run() noexcept {
        ran_ = true;
        try {
            work_();
        } catch (...) {
            failure_ = std::current_exception();
        }
    }

    Work& work_;
    bool ran_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

// New reference: `root` itself when in place, else a deep copy taken by
// copy.deepcopy, with the results read from the caller's unchanged objects.
PyRef evaluate_tree(const Arguments& args) {
    PyObject* root = args[0].object;
    const bool in_place = args[1].flag;
    FlatTree tree;
    if (!protocol_to_flat_tree(root, tree)) return {};
    const std::size_t nodes = tree.size();
    std::optional<TreeEvaluation> evaluation;
    auto evaluate = [&] {
        evaluation.emplace(std::move(tree));
        evaluation->evaluate_all();
    };
    if (in_place || nodes < kOverlapFrom) {
        with_lock_released(evaluate);
        return write_back_values(root, in_place, *evaluation);
    }
    std::exception_ptr failure;
    PyRef copy;
    {
        Background background(evaluate);
        copy = clone_python_object(root);
        with_lock_released([&] { failure = background.finish(); });
    }
    if (failure) {
        // The evaluation comes first: its failure is the one reported, as if
        // the copy had never been started.
        PyErr_Clear();
        std::rethrow_exception(failure);
    }
    if (!copy || !update_node_values(copy.get(), *evaluation)) return {};
    return copy;
}

}  // namespace

const PyMethodDef evaluate_tree_method = entry_point<signature, evaluate_tree>();

}  // namespace morvax::module
