// Builds two small Node trees from the bytes (split at the first byte 0xFF)
// and runs the tree transformations on them: expansion, renaming from the
// first to the second, and the explanation of every id.  Nothing may crash,
// hang or trip a sanitizer, and what does not depend on the details must hold:
//  - expansion keeps the tree's shape and formula forms, leaves formulas
//    without references exactly as they were, and, in a tree without cycles
//    of references, computes what the tree computes (expansion_property.hpp);
//  - renaming a tree against itself has nothing to rename;
//  - an explanation exists exactly when a node has the id, and equals the one
//    read off the whole tree's expansion, built here the plain way.
//
// Trees as tree_bytes.hpp reads them; a '#' in a name starts the node's id.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "eval/names.hpp"
#include "tree/expand.hpp"
#include "tree/explain.hpp"
#include "tree/rename.hpp"
#include "expansion_property.hpp"
#include "tree_bytes.hpp"

namespace {

using namespace morvax;

// Enough for every input of the default maximum length that does not grow
// exponentially; the ones that do end in bad_alloc, as they must.
constexpr std::size_t kBudget = 1 << 20;

void require(bool holds) {
    if (!holds) std::abort();
}

Node tree_with_ids(std::string_view bytes) {
    Node root = fuzz::tree_from_bytes(bytes);
    std::vector<Node*> todo{&root};
    while (!todo.empty()) {
        Node* node = todo.back();
        todo.pop_back();
        if (const std::size_t hash = node->name.find('#'); hash != std::string::npos) {
            node->id = node->name.substr(hash + 1);
            node->name.resize(hash);
        }
        for (Node& child : node->children) todo.push_back(&child);
    }
    return root;
}

void check_expansion(const Node& tree) {
    TextBudget budget(kBudget);
    Node expanded;
    try {
        expanded = expand_tree_formulas(tree, budget);
    } catch (const std::bad_alloc&) {
        return;
    }
    std::vector<std::pair<const Node*, const Node*>> todo{{&tree, &expanded}};
    while (!todo.empty()) {
        const auto [before, after] = todo.back();
        todo.pop_back();
        require(before->children.size() == after->children.size());
        require(before->formula.is_single() == after->formula.is_single());
        require(before->formula.dimensions() == after->formula.dimensions());
        for (std::size_t d = 0; d < before->formula.dimensions(); ++d) {
            const std::string& formula = *before->formula.at(d);
            require(contains_references(formula) || *after->formula.at(d) == formula);
        }
        for (std::size_t i = 0; i < before->children.size(); ++i) {
            todo.emplace_back(&before->children[i], &after->children[i]);
        }
    }
    require(test::has_reference_cycle(tree) || test::expansion_difference(tree, expanded).empty());
}

void check_renaming(const Node& old_tree, const Node& new_tree) {
    Node rewritten = new_tree.clone();
    TextBudget budget(kBudget);
    try {
        replace_references_in_tree(rewritten, build_rename_table(old_tree, new_tree), budget);
    } catch (const std::bad_alloc&) {
    }
    require(build_rename_table(new_tree, new_tree).empty());
}

bool same_formulas(const Node& a, const Node& b) {
    return a.formula.is_single() == b.formula.is_single() &&
           std::equal(a.formula.begin(), a.formula.end(), b.formula.begin(), b.formula.end());
}

bool same_fields(const Node& a, const Node& b) {
    return a.id == b.id && a.name == b.name && a.is_hidden == b.is_hidden && same_formulas(a, b);
}

// The explanation straight from the description: the node in the expanded
// tree, and a copy of each node that a reference picks alone (its name
// denotes it alone, or its index picks it), each once.
Node plain_explanation(const Node& expanded, const Node& node) {
    Node explained = node.clone_fields();
    const std::span<const std::string> formulas(node.formula.begin(), node.formula.end());
    std::vector<const Node*> listed;
    TextBudget budget;
    for (const OwnedNodeReference& reference : extract_node_references_from_all(formulas, budget)) {
        std::vector<const Node*> found;
        for_each_preorder(expanded, [&](const Node& n) {
            if (!n.is_hidden && n.name == reference.name) found.push_back(&n);
        });
        const std::size_t pick = reference.index.value_or(found.size() == 1 ? 1 : 0);
        if (pick == 0 || pick > found.size()) continue;
        if (std::find(listed.begin(), listed.end(), found[pick - 1]) != listed.end()) continue;
        listed.push_back(found[pick - 1]);
        explained.children.push_back(found[pick - 1]->clone_fields());
    }
    return explained;
}

void check_explanations(const Node& tree) {
    TextBudget whole_budget(kBudget);
    Node expanded;
    try {
        expanded = expand_tree_formulas(tree, whole_budget);
    } catch (const std::bad_alloc&) {
        return;
    }
    std::set<std::string> ids{"", "no such id"};
    for_each_preorder(tree, [&](const Node& node) { ids.insert(node.id); });
    for (const std::string& id : ids) {
        TextBudget budget(kBudget);
        std::optional<Node> explained;
        try {
            explained = explain_node(tree, id, budget);
        } catch (const std::bad_alloc&) {
            continue;
        }
        const Node* node = find_node_by_id(expanded, id);
        require(explained.has_value() == (node != nullptr));
        if (!explained) continue;
        const Node expected = plain_explanation(expanded, *node);
        require(same_fields(*explained, expected));
        require(explained->children.size() == expected.children.size());
        for (std::size_t i = 0; i < expected.children.size(); ++i) {
            require(same_fields(explained->children[i], expected.children[i]));
            require(explained->children[i].children.empty());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t split = bytes.find('\xff');
    const Node first = tree_with_ids(bytes.substr(0, split));
    const Node second =
        tree_with_ids(split == std::string_view::npos ? bytes : bytes.substr(split + 1));
    check_expansion(first);
    check_renaming(first, second);
    check_explanations(first);
    return 0;
}
