// evaluate_tree(root, in_place=False): every formula of a tree evaluated in
// every dimension, the results written as text into each node's `value`.
#include "eval/tree.hpp"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "module/boundary.hpp"
#include "module/entry_points.hpp"
#include "module/node_protocol.hpp"

namespace morvax::module {
namespace {
void rss(const char* what) {
    if (std::getenv("MORVAX_RSS")) { std::fputs(what, stderr); std::FILE* f = std::fopen("/proc/self/status", "r"); char line[256]; while (std::fgets(line, sizeof line, f)) if (!std::strncmp(line, "VmHWM", 5) || !std::strncmp(line, "VmRSS", 5)) std::fputs(line, stderr); std::fclose(f); }
}

constexpr Param params[] = {{"root", ParamKind::object}, {"in_place", ParamKind::flag}};
constexpr Signature signature{"evaluate_tree", params, "evaluate_tree(root, in_place=False)\n--\n\n"};

// New reference: `root` itself when in place, else a deep copy taken by
// copy.deepcopy after the evaluation, from the caller's unchanged objects.
// A signal handler that raises (Ctrl-C) ends the call before anything is
// written.
PyRef evaluate_tree(const Arguments& args) {
    PyObject* root = args[0].object;
    using C = std::chrono::steady_clock; auto t0 = C::now();
    FlatTree tree;
    if (!protocol_to_flat_tree(root, tree)) return {};
    auto t1 = C::now(); rss("read ");
    Interrupt interrupt(signal_raised, nullptr);
    TreeEvaluation evaluation(std::move(tree), &interrupt);
    auto t2 = C::now(); rss("setup ");
    evaluation.evaluate_all();
    auto t3 = C::now(); rss("eval ");
    if (evaluation.interrupted()) return {};
    auto r = write_back_values(root, args[1].flag, evaluation);
    auto t4 = C::now(); rss("write ");
    if (std::getenv("MORVAX_PHASES")) { auto ms = [](auto a, auto b) { return std::chrono::duration<double, std::milli>(b - a).count(); };
      std::fprintf(stderr, "read %.1f setup %.1f eval %.1f write %.1f\n", ms(t0,t1), ms(t1,t2), ms(t2,t3), ms(t3,t4)); }
    return r;
}

}  // namespace

const PyMethodDef evaluate_tree_method = entry_point<signature, evaluate_tree>();

}  // namespace morvax::module
