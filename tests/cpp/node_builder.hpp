// Builds Node trees for tests:
//   Node root = NodeBuilder("root").child(NodeBuilder("a").cell("A1").formula("=1")).build();
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "eval/names.hpp"
#include "eval/types.hpp"

namespace morvax::testing {

inline AnyDim<std::string> single_text(std::string text) {
    return AnyDim<std::string>::single(std::move(text));
}

inline AnyDim<std::string> text_list(std::initializer_list<const char*> texts) {
    return AnyDim<std::string>::multi(std::vector<std::string>(texts.begin(), texts.end()));
}

class NodeBuilder {
public:
    explicit NodeBuilder(std::string name) {
        node_.name = std::move(name);
        node_.formula = single_text("");
    }

    NodeBuilder&& formula(std::string text) && {
        node_.formula = single_text(std::move(text));
        return std::move(*this);
    }
    NodeBuilder&& formulas(std::initializer_list<const char*> texts) && {
        node_.formula = text_list(texts);
        return std::move(*this);
    }
    NodeBuilder&& cell(std::string address) && {
        node_.cells = single_text(std::move(address));
        return std::move(*this);
    }
    NodeBuilder&& cells(std::initializer_list<const char*> addresses) && {
        node_.cells = text_list(addresses);
        return std::move(*this);
    }
    NodeBuilder&& hidden() && {
        node_.is_hidden = true;
        return std::move(*this);
    }
    NodeBuilder&& child(NodeBuilder&& c) && {
        node_.children.push_back(std::move(c).build());
        return std::move(*this);
    }

    Node build() && { return std::move(node_); }

private:
    Node node_;
};

// The first node named `name` in pre-order, or null.
inline const Node* find_node(const Node& root, const std::string& name) {
    const Node* found = nullptr;
    for_each_preorder(root, [&](const Node& n) {
        if (found == nullptr && n.name == name) found = &n;
    });
    return found;
}

}  // namespace morvax::testing
