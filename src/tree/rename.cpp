#include "tree/rename.hpp"

#include <unordered_set>
#include <vector>

#include "eval/names.hpp"
#include "parser/language.hpp"
#include "parser/tokenize.hpp"
#include "references/references.hpp"
#include "tree/reference_forms.hpp"

namespace morvax {
namespace {

std::size_t count_of(const NameCounts& counts, std::string_view name) {
    const auto it = counts.find(name);
    return it == counts.end() ? 1 : it->second;
}

// build_unambiguous_name, each name's written form worked out once.
class UnambiguousNames {
public:
    std::string operator()(const NodeInfo& info, std::size_t occurrence, const NameCounts& counts) {
        return add_occurrence(forms_.of(info.name), occurrence, count_of(counts, info.name));
    }

private:
    ReferenceForms forms_;
};

bool is_replaceable(const Token& token) {
    return token.kind == TokenKind::NodeReference && !token.text.starts_with(kChildrenKeyword);
}

void replace_references(std::string& formula, const RenameTable& table, TextBudget& budget) {
    if (formula.find('@') == std::string::npos) return;  // every key begins with "@"
    std::string out;
    std::size_t copied = 0;
    for (const Token& token : budget.scan(formula)) {
        budget.append(out, std::string_view(formula).substr(copied, token.start - copied));
        const auto hit = is_replaceable(token) ? table.find(token.text) : table.end();
        budget.append(out, hit == table.end() ? std::string_view(token.text) : hit->second);
        copied = token.end;
    }
    budget.append(out, std::string_view(formula).substr(copied));
    formula = std::move(out);
}

}  // namespace

IdTable collect_nodes_by_id(const Node& tree, NameCounts& counts) {
    IdTable ids;
    for_each_preorder(tree, [&](const Node& node) {
        if (!node.is_hidden) ids.insert_or_assign(node.id, NodeInfo{node.name, ++counts[node.name]});
    });
    return ids;
}

RenameTable build_rename_table(const Node& old_tree, const Node& new_tree) {
    NameCounts old_counts;
    NameCounts new_counts;
    const IdTable old_ids = collect_nodes_by_id(old_tree, old_counts);
    const IdTable new_ids = collect_nodes_by_id(new_tree, new_counts);
    std::vector<std::pair<const NodeInfo*, const NodeInfo*>> kept;  // (before, after)
    std::vector<const NodeInfo*> deleted;
    for (const auto& [id, before] : old_ids) {
        const auto after = new_ids.find(id);
        if (after == new_ids.end()) {
            deleted.push_back(&before);
        } else {
            kept.emplace_back(&before, &after->second);
        }
    }

    UnambiguousNames unambiguous;
    RenameTable table;
    for (const auto& [before, after] : kept) {
        const std::string from = unambiguous(*before, before->occurrence, old_counts);
        std::string to = unambiguous(*after, after->occurrence, new_counts);
        // A name with no written form cannot be referenced: dropping the
        // reference would silently change the formula's meaning.
        if (to.empty()) to = "REF!";
        if (!from.empty() && from != to) table.insert_or_assign(from, std::move(to));
    }
    if (deleted.empty()) return table;

    // The references by which surviving nodes are reached in the new tree
    // under their old names: a deleted node's old reference that is one of
    // them would silently reach another node.  Only a name a deleted node
    // had can give such a text.
    std::unordered_set<std::string_view, TextHash> deleted_names;
    for (const NodeInfo* before : deleted) deleted_names.insert(before->name);
    std::unordered_set<std::string, TextHash, std::equal_to<>> collisions;
    for (const auto& [before, after] : kept) {
        if (!deleted_names.contains(before->name)) continue;
        collisions.insert(unambiguous(*before, after->occurrence, new_counts));
    }
    for (const NodeInfo* before : deleted) {
        std::string from = unambiguous(*before, before->occurrence, old_counts);
        if (collisions.contains(from)) table.insert_or_assign(std::move(from), "REF!");
    }
    return table;
}

void replace_references_in_tree(Node& tree, const RenameTable& table, TextBudget& budget) {
    if (table.empty()) return;  // nothing can change: spare the scans
    for_each_preorder(tree, [&](Node& node) {
        if (node.formula.is_single()) {
            replace_references(node.formula.single_value(), table, budget);
            return;
        }
        // A list often repeats one formula in every dimension: each run of
        // equal formulas is rewritten once.
        std::vector<std::string>& formulas = node.formula.list();
        std::size_t i = 0;
        while (i < formulas.size()) {
            std::size_t end = i + 1;
            while (end < formulas.size() && formulas[end] == formulas[i]) ++end;
            replace_references(formulas[i], table, budget);
            for (std::size_t k = i + 1; k < end; ++k) {
                budget.charge(formulas[i].size());
                formulas[k] = formulas[i];
            }
            i = end;
        }
    });
}

}  // namespace morvax
