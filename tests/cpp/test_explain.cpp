// Node explanation: the explained node of a tree written as text ('#' gives
// ids), dumped with the nodes it refers to.
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "tree/explain.hpp"
#include "tree_text.hpp"

namespace {

using morvax::Node;
using morvax::TextBudget;
using morvax::test::dump_formulas;
using morvax::test::tree_from_text;

// The explained node and its children as dump_formulas writes a tree, with
// the ids in front: "#b B:=(@C+@D) #c C:1 #d D:2"; "none" when nothing is explained.
std::string explained(std::string_view tree_text, std::string_view id) {
    TextBudget budget;
    const std::optional<Node> node = morvax::explain_node(tree_from_text(tree_text), id, budget);
    if (!node) return "none";
    std::string out = "#" + node->id + " " + dump_formulas(node->clone_fields());
    for (const Node& child : node->children) {
        CHECK(child.children.empty()) << child.name;
        out += " #" + child.id + " " + dump_formulas(child);
    }
    return out;
}

TEST(explanation_of_a_node) {
    const std::string_view model =
        "R#r\n A#a =@B*@C\n B#b =@C+@D+@C\n C#c 1\n D#d [2|3]\n E#e =@Z+@Two\n Two#t\n Two#u";
    const struct {
        std::string_view tree;
        std::string_view id;
        std::string_view explanation;
    } rows[] = {
        {model, "a", "#a A:=(@C+@D+@C)*@C #c C:1 #d D:[2|3]"},
        {model, "c", "#c C:1"},
        // Unknown names and shared ones stay in the formula without a child.
        {model, "e", "#e E:=@Z+@Two"},
        {model, "x", "none"},
        {model, "", "none"},
        // Id-less nodes have the empty id; the first in pre-order is explained.
        {"R#r\n A =@B\n B 1\n C 2", "", "# A:=@B # B:1"},
        {"R#r\n A#x =@B\n B#b 1\n C#x =@D\n D#d 2", "x", "#x A:=@B #b B:1"},
        // The explained node's real children never show.
        {"R#r =sum(children)+right\n X#x 1\n Y#y 2", "r", "#r R:=sum(@X; @Y)+right #x X:1 #y Y:2"},
        // Every entry of a formula list, in entry order; hidden nodes are not found.
        {"R#r\n L#l [=@B|=@C+@B]\n B#b 1\n C#c 2\n ~H#h 3", "l", "#l L:[=@B|=@C+@B] #b B:1 #c C:2"},
        {"R#r\n L#l =@H\n ~H#h 3", "l", "#l L:=@H"},
        // An index picks a node as its name does when only one has it.
        {"R#r\n T#t =@Cost[2]+@Cost[1]*@Cost+@X[1]+@X[2]\n Cost#a 1\n Cost#b 2\n X#x 3", "t",
         "#t T:=@Cost[2]+@Cost[1]*@Cost+@X[1]+@X[2] #b Cost:2 #a Cost:1 #x X:3"},
        // A single formula holds for every dimension: a node that computes
        // each one differently is shown, not inserted.
        {"R#r\n Units#u [10|20|30]\n Rev#v [=@Units*2|=@Units*3|=@Units*4]\n Total#t =@Rev + 1", "t",
         "#t Total:=@Rev + 1 #v Rev:[=@Units*2|=@Units*3|=@Units*4]"},
        // In a cycle the first expansion in pre-order decides, here X's.
        {"R#r\n X#x =@Y+1\n Y#y =@X*2\n N#n =@X", "n", "#n N:=(@Y+1) #y Y:=(@Y+1)*2"},
        {"R#r\n X#x =@Y+1\n Y#y =@X*2\n N#n =@X", "y", "#y Y:=(@Y+1)*2 #y Y:=(@Y+1)*2"},
    };
    for (const auto& row : rows) {
        CHECK_EQ(explained(row.tree, row.id), row.explanation) << row.tree << " id " << row.id;
    }
}

TEST(references_extracted_from_formulas) {
    const std::vector<std::string> formulas = {
        "", "=@B+@{C}[2]+children[1]+right+@B+@B[01]+@C", "=@{Gross margin}+@{open", "=@C*@D",
    };
    std::vector<std::string> read;
    morvax::TextBudget budget;
    for (const auto& reference : morvax::extract_node_references_from_all(formulas, budget)) {
        read.push_back(reference.name + (reference.index ? "[" + std::to_string(*reference.index) + "]" : ""));
    }
    CHECK_EQ(read, (std::vector<std::string>{"B", "C[2]", "B[1]", "C", "Gross margin", "D"}));
}

TEST(explanation_past_the_budget_throws_bad_alloc) {
    // The explained formula fits; its JSON form, a control character escaped
    // as six bytes each, would not.
    Node tree = tree_from_text("R#r");
    tree.formula = morvax::AnyDim<std::string>::single(std::string(100000, '\x01'));
    TextBudget budget(300000);
    bool thrown = false;
    try {
        morvax::explain_node(tree, "r", budget);
    } catch (const std::bad_alloc&) {
        thrown = true;
    }
    CHECK(thrown);
}

}  // namespace
