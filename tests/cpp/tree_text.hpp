// Trees written as text for the tests, and their values dumped as text.
//
//   Root =sum(children)       one node per line; leading spaces give the depth
//    A =@P * 2                name, one space, the single formula
//    P [=1|=2]                a formula list in brackets, items split at '|'
//    ~H 5                     '~' before the name: hidden
//    Cost#c 5                 '#' after the name: the id that follows
//
// dump_values gives "Root:[3|6] A:[2|4] P:[1|2]": every node in pre-order,
// a single value as itself, a list in brackets.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "eval/types.hpp"

namespace morvax::test {

inline AnyDim<std::string> formula_of(std::string_view text) {
    if (!(text.starts_with('[') && text.ends_with(']'))) return AnyDim<std::string>::single(std::string(text));
    text = text.substr(1, text.size() - 2);
    std::vector<std::string> items;
    while (!text.empty()) {
        const std::size_t bar = text.find('|');
        items.emplace_back(text.substr(0, bar));
        text = bar == std::string_view::npos ? std::string_view() : text.substr(bar + 1);
    }
    return AnyDim<std::string>::multi(std::move(items));
}

inline Node tree_from_text(std::string_view text) {
    Node root;
    std::vector<Node*> path;  // path[d]: the last node read at depth d
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        const std::size_t depth = line.find_first_not_of(' ');
        if (depth == std::string_view::npos) continue;
        line.remove_prefix(depth);
        const std::size_t space = line.find(' ');
        std::string_view name = line.substr(0, space);
        const std::string_view formula =
            space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
        Node n;
        n.is_hidden = name.starts_with('~');
        if (n.is_hidden) name.remove_prefix(1);
        if (const std::size_t hash = name.find('#'); hash != std::string_view::npos) {
            n.id = std::string(name.substr(hash + 1));
            name = name.substr(0, hash);
        }
        n.name = std::string(name);
        n.formula = formula_of(formula);
        path.resize(depth);
        Node* placed = nullptr;
        if (depth == 0) {
            root = std::move(n);
            placed = &root;
        } else {
            path[depth - 1]->children.push_back(std::move(n));
            placed = &path[depth - 1]->children.back();
        }
        path.push_back(placed);
    }
    return root;
}

inline void append_element(std::string& out, const EvalResult& r) { r.append_to(out); }
inline void append_element(std::string& out, const std::string& text) { out += text; }

// Every node in pre-order as "name:" and one of its AnyDim fields.
template <class Field>
std::string dump_field(const Node& root, Field field) {
    std::string out;
    std::vector<const Node*> todo{&root};
    while (!todo.empty()) {
        const Node* n = todo.back();
        todo.pop_back();
        if (!out.empty()) out += ' ';
        out += n->name + ':';
        const auto& value = field(*n);
        if (value.is_single()) {
            append_element(out, value.single_value());
        } else {
            out += '[';
            for (std::size_t i = 0; i < value.list().size(); ++i) {
                if (i > 0) out += '|';
                append_element(out, value.list()[i]);
            }
            out += ']';
        }
        for (auto c = n->children.rbegin(); c != n->children.rend(); ++c) todo.push_back(&*c);
    }
    return out;
}

inline std::string dump_values(const Node& root) {
    return dump_field(root, [](const Node& n) -> const AnyDim<EvalResult>& { return n.value; });
}

// As dump_values, with the formulas: "Root: A:=@P*2 P:[=1|=2]".
inline std::string dump_formulas(const Node& root) {
    return dump_field(root, [](const Node& n) -> const AnyDim<std::string>& { return n.formula; });
}

}  // namespace morvax::test
