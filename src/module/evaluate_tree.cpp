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
constexpr Signature signature{"evaluate_tree", params,
    "evaluate_tree(root, in_place=False)\n--\n\n"
    "Evaluate every formula of a tree of node objects, in every dimension.\n"
    "\n"
    "root: the root of a tree of your objects, each with the attributes name\n"
    "(str), formula (a str, or a list of str with one formula per dimension)\n"
    "and children (a list of node objects); id (str), is_hidden (bool) and\n"
    "cells are read when present. An id that is not a str counts as \"\".\n"
    "in_place: write the values onto your objects and return root itself;\n"
    "with False (the default) a copy.deepcopy of root gets them and is returned.\n"
    "\n"
    "Returns the tree with every node's value written as text: one str when it\n"
    "is the same in every dimension, else a list of str. Formula errors are\n"
    "error texts in the values; diagnose_tree() tells where they come from.\n"
    "\n"
    "Raises TypeError for a node object that breaks the node protocol (a name\n"
    "that is not a str, a children that is not a list, ...), ValueError for a\n"
    "node that is its own descendant, and passes on what your objects (and\n"
    "copy.deepcopy) raise.\n"
    "\n"
    ">>> from types import SimpleNamespace as Node\n"
    ">>> evaluate_tree(Node(name=\"A\", formula=\"=2 * 3\", children=[])).value\n"
    "'6'"};

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
