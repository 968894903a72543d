// Builds a small Node tree from the bytes and evaluates it. The evaluation may
// not crash, hang or trip a sanitizer, and its values must equal those of a
// plain transcription of the algorithm (plain_tree.hpp), and diagnose_tree
// must find the same values, with one problem for each error cell.
//
// Input: a tree as tree_bytes.hpp reads it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "diagnose/diagnose.hpp"
#include "eval/node_json.hpp"
#include "eval/names.hpp"
#include "eval/tree_evaluation.hpp"
#include "plain_tree.hpp"
#include "tree_bytes.hpp"

using namespace morvax;
using morvax::test::plain_values;
using morvax::test::saved_values;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 2048) return 0;
    Node tree = fuzz::tree_from_bytes(std::string_view(reinterpret_cast<const char*>(data), size));
    if (get_max_dimensions(tree) > 32) return 0;
    const std::vector<std::string> expected = plain_values(tree);
    evaluate_tree_values(tree);
    if (saved_values(tree) != expected) std::abort();
    if (node_to_json(tree).empty()) std::abort();

    Node diagnosed = fuzz::tree_from_bytes(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::vector<CellProblem> problems = diagnose_tree(diagnosed, true);
    if (saved_values(diagnosed) != expected) std::abort();
    std::size_t errors = 0;
    for (const Node* n : morvax::test::preorder(diagnosed)) {
        for (const EvalResult& r : n->value) errors += r.is_error();
    }
    if (problems.size() != errors) std::abort();
    return 0;
}
