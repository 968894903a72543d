#include "tree/explain.hpp"

#include <set>
#include <unordered_set>
#include <utility>

#include "eval/names.hpp"
#include "parser/language.hpp"
#include "parser/tokenize.hpp"
#include "references/references.hpp"
#include "tree/expand.hpp"

namespace morvax {
namespace {

bool names_a_node(const Token& token) {
    return token.kind == TokenKind::NodeReference && !token.text.starts_with(kChildrenKeyword) &&
           !token.text.starts_with(kRightKeyword);
}

// The most that the JSON form of `node`'s own fields can take: every byte
// escaped as \u00XX, plus quotes, separators, member names and literals.
std::size_t json_fields_bound(const Node& node) {
    constexpr std::size_t kPerText = 8;
    constexpr std::size_t kPerNode = 128;
    std::size_t bound = kPerNode + node.value.dimensions() * kPerText;
    const auto add = [&](const std::string& text) { bound += 6 * text.size() + kPerText; };
    add(node.id);
    add(node.name);
    for (const std::string& formula : node.formula) add(formula);
    for (const std::string& cell : node.cells) add(cell);
    return bound;
}

// The explanation is a node and childless children: two levels.
std::size_t json_size_bound(const Node& explained) {
    std::size_t bound = json_fields_bound(explained);
    for (const Node& child : explained.children) bound += json_fields_bound(child);
    return bound;
}

// The node a reference reads: the one of its name, or the one its index
// picks among them; null when it reads none or several.
const Node* picked_node(const NameIndex& names, const OwnedNodeReference& reference) {
    const auto found = names.find(reference.name);
    if (!reference.index) return found.size() == 1 ? found.front() : nullptr;
    const std::size_t index = *reference.index;
    return index >= 1 && index <= found.size() ? found[index - 1] : nullptr;
}

// The explanation of `node` from the expanded formulas that `expanded(n)`
// gives for it and for the nodes that `names` finds.
template <class Expanded>
Node assemble(const Node& node, const NameIndex& names, TextBudget& budget, Expanded&& expanded) {
    Node explained = node.clone_fields();
    explained.formula = expanded(node);
    const std::span<const std::string> formulas(explained.formula.begin(), explained.formula.end());
    std::unordered_set<const Node*> listed;
    for (const OwnedNodeReference& reference : extract_node_references_from_all(formulas, budget)) {
        const Node* picked = picked_node(names, reference);
        if (picked == nullptr || !listed.insert(picked).second) continue;
        Node& child = explained.children.emplace_back(picked->clone_fields());
        child.formula = expanded(*picked);
    }
    return explained;
}

// Expands only the formulas that the explanation shows, and what they refer
// to.  Unless that meets a cycle, the texts are those of the whole tree's
// expansion, whatever order it takes.  A cycle's text depends on what was
// expanded before it, which only the whole expansion tells: then nothing.
std::optional<Node> explain_alone(const Node& root, const Node& node, TextBudget& budget) {
    Expander expander(root, budget);
    Node explained = assemble(node, expander.names(), budget,
                              [&](const Node& n) { return expander.expand_node_formulas(n); });
    if (expander.met_cycle()) return std::nullopt;
    return explained;
}

Node explain_in_expanded_tree(const Node& root, std::string_view node_id, TextBudget& budget) {
    const Node expanded = expand_tree_formulas(root, budget);
    // The expanded tree has the tree's shape, names and ids: the node is there.
    return assemble(*find_node_by_id(expanded, node_id), NameIndex(expanded), budget,
                    [](const Node& n) { return n.formula; });
}

}  // namespace

const Node* find_node_by_id(const Node& root, std::string_view id) {
    std::vector<const Node*> todo{&root};
    while (!todo.empty()) {
        const Node* node = todo.back();
        todo.pop_back();
        if (node->id == id) return node;
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) todo.push_back(&*it);
    }
    return nullptr;
}

std::vector<OwnedNodeReference> extract_node_references_from_all(std::span<const std::string> formulas,
                                                                 TextBudget& budget) {
    std::vector<OwnedNodeReference> references;
    std::set<std::pair<std::string, Index>> seen;
    for (const std::string& formula : formulas) {
        if (formula.empty()) continue;
        for (const Token& token : budget.scan(formula)) {
            if (!names_a_node(token)) continue;
            ParseResult<OwnedNodeReference> parsed = parse_node_reference_from_str(token.text);
            if (parsed.ok() && seen.emplace(parsed.value.name, parsed.value.index).second) {
                references.push_back(std::move(parsed.value));
            }
        }
    }
    return references;
}

std::optional<Node> explain_node(const Node& root, std::string_view node_id, TextBudget& budget) {
    const Node* node = find_node_by_id(root, node_id);
    if (node == nullptr) return std::nullopt;
    std::optional<Node> explained = explain_alone(root, *node, budget);
    if (!explained) explained = explain_in_expanded_tree(root, node_id, budget);
    budget.charge(json_size_bound(*explained));
    return explained;
}

}  // namespace morvax
