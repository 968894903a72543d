// Small Node trees from fuzzer bytes, shared by the fuzz targets.
//
// Input: lines. The first byte of a line holds the depth (low three bits,
// at most one deeper than the line before), hidden (bit 3) and list form
// (bit 4); then the name up to the first space, then the formula, a list's
// items separated by '|'. The root is "root" with "=sum(children)"; at most
// 64 levels are read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "eval/types.hpp"

namespace morvax::fuzz {

inline std::vector<std::string> split(std::string_view text, char at) {
    std::vector<std::string> out;
    for (;;) {
        const std::size_t p = text.find(at);
        out.emplace_back(text.substr(0, p));
        if (p == std::string_view::npos) return out;
        text.remove_prefix(p + 1);
    }
}

inline Node tree_from_bytes(std::string_view bytes) {
    Node root;
    root.name = "root";
    root.formula = AnyDim<std::string>::single("=sum(children)");
    std::vector<Node*> path{&root};
    for (const std::string& line : split(bytes, '\n')) {
        if (line.empty() || path.size() > 64) continue;
        const auto control = static_cast<unsigned char>(line[0]);
        const std::size_t depth = std::min<std::size_t>(1 + (control & 7), path.size());
        const std::string_view rest = std::string_view(line).substr(1);
        const std::size_t space = rest.find(' ');
        Node n;
        n.name = std::string(rest.substr(0, space));
        const std::string_view formula = space == std::string_view::npos ? "" : rest.substr(space + 1);
        n.is_hidden = control & 8;
        n.formula = control & 16 ? AnyDim<std::string>::multi(split(formula, '|'))
                                 : AnyDim<std::string>::single(std::string(formula));
        path.resize(depth);
        path.push_back(&path.back()->children.emplace_back(std::move(n)));
    }
    return root;
}

}  // namespace morvax::fuzz
