// The property that defines expansion: evaluating the expanded tree gives,
// for every node and dimension, the value text the tree gives, and an error
// wherever the tree gives one (of whatever kind), provided the tree has no
// cycle of references, where which node of a cycle reads an error depends on
// the order of evaluation.  Shared by the C++ tests and the transform fuzz target.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "eval/names.hpp"
#include "eval/tree_evaluation.hpp"
#include "eval/types.hpp"

namespace morvax::test {

inline std::vector<const Node*> nodes_in_preorder(const Node& root) {
    std::vector<const Node*> order;
    for_each_preorder(root, [&](const Node& n) { order.push_back(&n); });
    return order;
}

// True when the nodes that formulas may read lead from some node back to it.
// What a formula may read is over-counted, cheaply: every visible node whose
// name follows an "@" or "@{" somewhere in it (whatever follows the name),
// and every child when it holds the word children in any letter case.
// Right references stay within their node's later dimensions.
inline bool has_reference_cycle(const Node& root) {
    const std::vector<const Node*> order = nodes_in_preorder(root);
    std::unordered_map<const Node*, std::size_t> position;
    std::unordered_map<std::string, std::vector<std::size_t>> named;
    for (std::size_t i = 0; i < order.size(); ++i) {
        position.emplace(order[i], i);
        if (!order[i]->is_hidden) named[order[i]->name].push_back(i);
    }
    std::vector<std::vector<std::size_t>> reads(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        for (const std::string& formula : order[i]->formula) {
            if (formula.find('@') != std::string::npos) {
                for (const auto& [name, nodes] : named) {
                    if (formula.find("@" + name) != std::string::npos || formula.find("@{" + name) != std::string::npos) {
                        reads[i].insert(reads[i].end(), nodes.begin(), nodes.end());
                    }
                }
            }
            std::string lower = formula;
            for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            if (lower.find("children") == std::string::npos) continue;
            for (const Node& child : order[i]->children) reads[i].push_back(position.at(&child));
        }
    }
    enum : char { kNew, kOpen, kDone };
    std::vector<char> state(order.size(), kNew);
    for (std::size_t start = 0; start < order.size(); ++start) {
        if (state[start] != kNew) continue;
        std::vector<std::pair<std::size_t, std::size_t>> todo{{start, 0}};  // node, next read
        state[start] = kOpen;
        while (!todo.empty()) {
            auto& [node, next] = todo.back();
            if (next == reads[node].size()) {
                state[node] = kDone;
                todo.pop_back();
                continue;
            }
            const std::size_t to = reads[node][next++];
            if (state[to] == kOpen) return true;
            if (state[to] == kNew) {
                state[to] = kOpen;
                todo.emplace_back(to, 0);
            }
        }
    }
    return false;
}

// Empty when `expanded` (the tree with its formulas expanded) computes what
// `tree` computes; else the first node and dimension where it does not.
inline std::string expansion_difference(const Node& tree, const Node& expanded) {
    Node before = tree.clone();
    Node after = expanded.clone();
    evaluate_tree_values(before);
    evaluate_tree_values(after);
    const std::size_t dimensions = get_max_dimensions(tree);
    const std::vector<const Node*> old_nodes = nodes_in_preorder(before);
    const std::vector<const Node*> new_nodes = nodes_in_preorder(after);
    for (std::size_t i = 0; i < old_nodes.size(); ++i) {
        for (std::size_t d = 0; d < dimensions; ++d) {
            const EvalResult* was = old_nodes[i]->value.at(d);
            const EvalResult* is = new_nodes[i]->value.at(d);
            const std::string was_text = was ? was->to_string() : "(none)";
            const std::string is_text = is ? is->to_string() : "(none)";
            if (was_text == is_text || (was && is && was->is_error() && is->is_error())) continue;
            std::string formulas;
            for (const std::string& f : new_nodes[i]->formula) formulas += "[" + f + "]";
            return old_nodes[i]->name + " in dimension " + std::to_string(d) + ": " + was_text + " became " +
                   is_text + " with " + formulas;
        }
    }
    return {};
}

}  // namespace morvax::test
