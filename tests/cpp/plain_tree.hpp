// A plain transcription of the tree evaluation, the oracle that the fuzz
// target and the tests compare the real one with: tree walks per reference, a
// memo map by address, a stack searched from the top, formulas parsed when
// evaluated and run by the syntax-tree evaluator.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "eval/context.hpp"
#include "eval/evaluator.hpp"
#include "eval/names.hpp"
#include "parser/parse.hpp"

namespace morvax::test {

// The reference evaluation, straight from the algorithm's description.
struct Plain {
    struct Entry {
        bool single = true;
        EvalResult result;                            // single
        std::set<std::size_t> evaluated;              // single: the dimensions it answers
        std::vector<std::optional<EvalResult>> slots; // list
    };
    const Node& root;
    std::size_t max;
    std::map<const Node*, Entry> values;
    std::vector<std::pair<const Node*, std::size_t>> stack;

    std::optional<EvalResult> get_value(const Node* n, std::size_t d) const {
        const auto it = values.find(n);
        if (it == values.end()) return std::nullopt;
        const Entry& e = it->second;
        if (e.single) return e.evaluated.count(d) ? std::optional(e.result) : std::nullopt;
        return d < e.slots.size() ? e.slots[d] : std::nullopt;
    }

    void set_value(const Node* n, std::size_t d, EvalResult r) {
        auto [it, added] = values.try_emplace(n);
        Entry& e = it->second;
        if (added && (d > 0 || n->formula.is_multi())) {
            e.single = false;
            e.slots.assign(max, std::nullopt);
        }
        if (e.single && (added || e.result == r || e.evaluated == std::set<std::size_t>{d})) {
            if (!(e.result == r)) e.evaluated.clear();
            e.result = r;
            e.evaluated.insert(d);
            return;
        }
        if (e.single) {
            e.single = false;
            e.slots.assign(max, std::nullopt);
            for (std::size_t k : e.evaluated) e.slots[k] = e.result;
        }
        e.slots[d] = r;
    }

    bool is_circular(const Node* n, std::size_t d) const {
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
            if (it->first == n && it->second == d) return true;
        }
        return false;
    }

    EvalResult read(const Node* n, std::size_t d) {
        if (auto r = get_value(n, d)) return *r;
        if (is_circular(n, d)) {
            set_value(n, d, EvalResult::error(EvalError::Ref));
            return EvalResult::error(EvalError::Ref);
        }
        evaluate_dimension(n, d);
        return get_value(n, d).value_or(EvalResult::empty());
    }

    void evaluate_dimension(const Node* n, std::size_t d);
};

class PlainContext final : public EvalContext {
public:
    PlainContext(Plain& plain, const Node* node, std::size_t d) : plain_(plain), node_(node), d_(d) {}

    std::vector<EvalResult> named(std::string_view name, Index index, std::size_t d) const {
        std::vector<const Node*> m = find_all_nodes_by_name(plain_.root, name);
        if (m.empty() || (index && (*index == 0 || *index > m.size()))) return {EvalResult::error(EvalError::Ref)};
        if (index) m = {m[*index - 1]};
        std::vector<EvalResult> out;
        for (const Node* n : m) out.push_back(plain_.read(n, d).as_own());
        return out;
    }
    ResultList get_reference_value(std::string_view name, Index index) const override {
        return named(name, index, d_);
    }
    ResultList get_children_values() const override {
        std::vector<EvalResult> out;
        for (const Node& c : node_->children) out.push_back(plain_.read(&c, d_).as_own());
        return out;
    }
    ResultList get_right_values() const override {
        if (node_->formula.is_single()) return {EvalResult::error(EvalError::Ref)};
        std::vector<EvalResult> out;
        for (std::size_t k = d_ + 1; k < node_->formula.list().size(); ++k) out.push_back(plain_.read(node_, k));
        return out;
    }
    ResultList get_cross_dimensional_values(std::string_view name, Index index) const override {
        return named(name, index, 0);
    }

private:
    Plain& plain_;
    const Node* node_;
    std::size_t d_;
};

inline void Plain::evaluate_dimension(const Node* n, std::size_t d) {
    if (get_value(n, d)) return;
    stack.emplace_back(n, d);
    EvalResult result;
    if (const std::string* text = n->formula.at(d)) {
        Arena arena;
        const ParseResult<Value> parsed = FormulaParser::parse_formula(*text, arena);
        result = parsed.ok() ? evaluate(parsed.value, PlainContext(*this, n, d)).as_eval_result()
                             : EvalResult::error(EvalError::Error);
    }
    set_value(n, d, result);
    stack.pop_back();
}

inline std::vector<const Node*> preorder(const Node& root) {
    std::vector<const Node*> order;
    std::vector<const Node*> todo{&root};
    while (!todo.empty()) {
        const Node* n = todo.back();
        todo.pop_back();
        order.push_back(n);
        for (auto c = n->children.rbegin(); c != n->children.rend(); ++c) todo.push_back(&*c);
    }
    return order;
}

inline std::string list_text(const std::vector<std::optional<EvalResult>>& slots) {
    std::string text;
    for (const auto& slot : slots) {
        text += '|';
        slot.value_or(EvalResult::empty()).append_to(text);
    }
    return text;
}

// Every node's value, in pre-order, as the oracle computes them.
inline std::vector<std::string> plain_values(const Node& root) {
    Plain plain{root, get_max_dimensions(root), {}, {}};
    const std::vector<const Node*> order = preorder(root);
    for (const Node* n : order) {
        for (std::size_t d = 0; d < plain.max; ++d) plain.evaluate_dimension(n, d);
    }
    std::vector<std::string> out;
    for (const Node* n : order) {
        const auto it = plain.values.find(n);
        if (it == plain.values.end()) {
            out.emplace_back();
        } else if (it->second.single) {
            out.push_back(it->second.result.to_string());
        } else {
            out.push_back(list_text(it->second.slots));
        }
    }
    return out;
}

// Every node's `value` field, in pre-order, in the oracle's notation.
inline std::vector<std::string> saved_values(const Node& root) {
    std::vector<std::string> out;
    for (const Node* n : preorder(root)) {
        if (n->value.is_single()) {
            out.push_back(n->value.single_value().to_string());
        } else {
            out.push_back(list_text({n->value.list().begin(), n->value.list().end()}));
        }
    }
    return out;
}

}  // namespace morvax::test
