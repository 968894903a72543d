#include "tree/rename.hpp"

#include <vector>

#include "eval/names.hpp"
#include "parser/language.hpp"
#include "parser/tokenize.hpp"
#include "references/references.hpp"

namespace morvax {
namespace {

bool is_replaceable(const Token& token) {
    return token.kind == TokenKind::NodeReference && !token.text.starts_with(kChildrenKeyword);
}

}  // namespace

std::size_t RenameTable::head_bit(std::string_view head) {
    std::uint64_t bits = head.size();
    for (const char c : head) bits = bits << 8 | static_cast<unsigned char>(c);
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 48);
}

void RenameTable::set(std::string_view from, std::string to) {
    *to_.try_emplace(from).first = std::move(to);
    if (!from.starts_with('@')) {
        any_ = true;
        return;
    }
    const std::string_view head = from.substr(1, kHead);
    std::vector<bool>& bits = heads_[head.size()];
    if (bits.empty()) bits.resize(kBits);
    bits[head_bit(head)] = true;
}

bool RenameTable::may_hold_key(std::string_view formula) const {
    if (any_) return true;
    for (std::size_t at = formula.find('@'); at != std::string_view::npos; at = formula.find('@', at + 1)) {
        for (std::size_t length = 0; length <= kHead && at + 1 + length <= formula.size(); ++length) {
            const std::vector<bool>& bits = heads_[length];
            if (!bits.empty() && bits[head_bit(formula.substr(at + 1, length))]) return true;
        }
    }
    return false;
}

std::optional<std::string> rewritten(std::string_view formula, const RenameTable& table, TextBudget& budget) {
    if (!table.may_hold_key(formula)) return std::nullopt;
    std::string out;
    std::size_t copied = 0;
    bool replaced = false;
    for (const Token& token : budget.scan(formula)) {
        budget.append(out, formula.substr(copied, token.start - copied));
        const std::string* hit = is_replaceable(token) ? table.find(token.text) : nullptr;
        replaced |= hit != nullptr;
        budget.append(out, hit == nullptr ? std::string_view(token.text) : std::string_view(*hit));
        copied = token.end;
    }
    if (!replaced) return std::nullopt;
    budget.append(out, formula.substr(copied));
    return out;
}

NodesById::NodesById() {
    // The texts stay in the tree: only views are kept.
    ids_.borrow_texts();
    names_.borrow_texts();
}

NodesById::NodesById(const Node& tree) : NodesById() {
    for_each_preorder(tree, [&](const Node& node) {
        if (!node.is_hidden) add(node.id, node.name);
    });
}

NodesById::NodesById(const FlatTree& tree, const std::vector<std::string>& ids) : NodesById() {
    for (std::size_t n = 0; n < tree.size(); ++n) {
        if (!tree.hidden(n)) add(ids[n], tree.name_text(n));
    }
}

void NodesById::add(std::string_view id_text, std::string_view name_text) {
    bool added = false;
    const std::uint32_t name = names_.intern(name_text, &added);
    if (added) {
        counts_.push_back(0);
        forms_.emplace_back();
    }
    const NodeInfo info{name_text, ++counts_[name], name};
    const std::uint32_t id = ids_.intern(id_text, &added);
    if (added) {
        nodes_.push_back(info);
    } else {
        nodes_[id] = info;
    }
}

std::string NodesById::unambiguous(const NodeInfo& node, std::size_t occurrence, std::size_t count) {
    // Models repeat their names (every department has its "Revenue"), and
    // working a form out may mean scanning it: once per name.
    std::optional<std::string>& form = forms_[node.name_id];
    if (!form) form = get_preferred_reference_format(node.name).value_or("");
    return add_occurrence(*form, occurrence, count);
}

RenameTable build_rename_table(const Node& old_tree, const Node& new_tree) {
    NodesById before(old_tree);
    NodesById after(new_tree);
    return build_rename_table(before, after);
}

RenameTable build_rename_table(NodesById& before, NodesById& after) {
    std::vector<std::pair<const NodeInfo*, const NodeInfo*>> kept;  // (before, after)
    std::vector<const NodeInfo*> deleted;
    for (std::size_t i = 0; i < before.size(); ++i) {
        const NodeInfo* now = after.find(before.id(i));
        if (now == nullptr) {
            deleted.push_back(&before.node(i));
        } else {
            kept.emplace_back(&before.node(i), now);
        }
    }

    RenameTable table;
    for (const auto& [old_node, new_node] : kept) {
        // The same name at the same occurrence, indexed in both trees or in
        // neither, is written alike: most nodes of an edit, and no need to
        // spell them.
        if (old_node->name == new_node->name && old_node->occurrence == new_node->occurrence &&
            (before.count(*old_node) > 1) == (after.count(*new_node) > 1)) {
            continue;
        }
        const std::string from = before.unambiguous(*old_node);
        std::string to = after.unambiguous(*new_node);
        // A name with no written form cannot be referenced: dropping the
        // reference would silently change the formula's meaning.
        if (to.empty()) to = "REF!";
        if (!from.empty() && from != to) table.set(from, std::move(to));
    }
    if (deleted.empty()) return table;

    // The references by which surviving nodes are reached in the new tree
    // under their old names: a deleted node's old reference that is one of
    // them would silently reach another node.  Only a name a deleted node
    // had can give such a text.
    std::vector<char> had_deleted(before.names());  // per old name
    for (const NodeInfo* old_node : deleted) had_deleted[old_node->name_id] = 1;
    TextIds collisions;
    for (const auto& [old_node, new_node] : kept) {
        if (!had_deleted[old_node->name_id]) continue;
        collisions.intern(before.unambiguous(*old_node, new_node->occurrence, after.count(old_node->name)));
    }
    for (const NodeInfo* old_node : deleted) {
        const std::string from = before.unambiguous(*old_node);
        if (collisions.find(from) != TextIds::kNone) table.set(from, "REF!");
    }
    return table;
}

void replace_references_in_tree(Node& tree, const RenameTable& table, TextBudget& budget) {
    if (table.empty()) return;  // nothing can change: spare the scans
    // A model repeats its formulas from department to department: each
    // distinct text is scanned and rewritten once.
    TextMap<std::optional<std::string>> seen;
    // Whether `formula` changed.
    auto rewrite = [&](std::string& formula) {
        if (!table.may_hold_key(formula)) return false;  // not worth remembering
        const auto [done, fresh] = seen.try_emplace(formula);
        if (fresh) {
            *done = rewritten(formula, table, budget);
        } else if (*done) {
            budget.charge((*done)->size());
        }
        if (*done) formula = **done;
        return done->has_value();
    };
    for_each_preorder(tree, [&](Node& node) {
        if (node.formula.is_single()) {
            rewrite(node.formula.single_value());
            return;
        }
        // A list often repeats one formula in every dimension: each run of
        // equal formulas is looked up once.
        std::vector<std::string>& formulas = node.formula.list();
        std::size_t i = 0;
        while (i < formulas.size()) {
            std::size_t end = i + 1;
            while (end < formulas.size() && formulas[end] == formulas[i]) ++end;
            if (rewrite(formulas[i])) {
                for (std::size_t k = i + 1; k < end; ++k) {
                    budget.charge(formulas[i].size());
                    formulas[k] = formulas[i];
                }
            }
            i = end;
        }
    });
}

}  // namespace morvax
