// The cell export of a whole tree: literal values, formula texts, the forms
// of `cells`, identity keys and trees deeper than any native stack.
#include <string>
#include <string_view>

#include "check.hpp"
#include "excel/export.hpp"
#include "node_builder.hpp"

namespace {

using namespace morvax;
using testing::NodeBuilder;
using testing::single_text;
using testing::text_list;

std::string show(const AnyDim<std::string>& cells) {
    if (cells.is_single()) return "'" + cells.single_value() + "'";
    std::string out = "[";
    for (const std::string& text : cells.list()) out += (out.size() > 1 ? ", '" : "'") + text + "'";
    return out + "]";
}

TEST(literal_values) {
    struct Row {
        std::string_view formula;
        std::string_view text;
    };
    const Row rows[] = {
        {"42", "42"},
        {"2.50", "2.5"},
        {"5%", "=0.05"},
        {"-50%", "=-0.5"},
        {"12,5%", "=0.125"},
        {"1.234,56", "1234.56"},
        {"1,234.5", "1234.5"},
        {"1,234,567", "1234567"},
        {" 12 ", "12"},
        {"Hello", "Hello"},
        {"a,b", "a,b"},                    // not a number: the comma stays
        {"Hello, world", "Hello, world"},  // not "Hello. world"
        {"1.2.3", "123"},
        {"  Q1 total  ", "Q1 total"},
        {"", ""},
        {"   ", ""},
        {" =@a+1", "=@a+1"},  // not a formula: "=" is not the first character
        {" =1,5", "=1,5"},
        {"1e5", "100000"},
        {"1,5e3", "1500"},
        {"-2.5E-1", "-0.25"},
        {"+7", "7"},
        {"inf", "inf"},
        {"-Infinity", "-inf"},
        {"nan", "NaN"},
        {"1e999", "inf"},
        {"1e-999", "0"},
        {"0x10", "0x10"},
        {"1e", "1e"},
        {".5", "0.5"},
        {"5.", "5"},
        {"- 5", "- 5"},
        {"nan(1)", "nan(1)"},
        {"abc%", "abc%"},
    };
    for (const Row& row : rows) CHECK_EQ(literal_cell_text(row.formula), row.text) << row.formula;
}

TEST(formula_texts) {
    const Node root = NodeBuilder("root")
                          .child(NodeBuilder("a").cell("B2"))
                          .child(NodeBuilder("me").cell("C9"))
                          .build();
    const NameIndex names(root);
    const ConversionContext ctx{root.children[1], 0, &names, false};
    struct Row {
        std::string_view formula;
        std::string_view text;
    };
    const Row rows[] = {
        {"=@a+1", "=B2+1"},
        {"=@missing", "REF!"},
        {"=children", "REF!"},
        {"=1+", "ERROR!"},
        {"=", "ERROR!"},
        {"", ""},
        {"=empty", "="},
        {"=@Self*2", "=C9*2"},
        {"=abs(@missing)", "=ABS(REF!)"},
        {"7", "7"},
    };
    for (const Row& row : rows) CHECK_EQ(formula_cell_text(row.formula, ctx), row.text) << row.formula;
}

TEST(export_tree_forms) {
    Node root =
        NodeBuilder("root")
            .child(NodeBuilder("a").cells({"B2", "C2", "D2"}).formulas({"1", "2", "3"}))
            .child(NodeBuilder("x").cells({"B3", "C3", "D3"}).formula("=@a*2"))
            .child(NodeBuilder("y").cells({"B4", "C4", "D4"}).formulas({"=@a", "=right[1]"}))
            .child(NodeBuilder("single").cell("B5").formula("=@a+1"))
            .child(NodeBuilder("listed one").cells({"B6"}).formula("=@a+1"))
            .child(NodeBuilder("unplaced").formula("=@a").child(NodeBuilder("inner").cell("B8").formula("=@a")))
            .child(NodeBuilder("blank address").cell("").formula("=@a"))
            .child(NodeBuilder("empty addresses").cells({"", ""}).formula("=@a"))
            .build();
    export_tree_cells(root);
    struct Row {
        std::size_t child;
        std::string_view cells;
    };
    const Row rows[] = {
        {0, "['1', '2', '3']"},
        {1, "['=B2*2', '=C2*2', '=D2*2']"},
        {2, "['=B2', '=D4', '']"},  // two formulas for three addresses
        {3, "'=B2+1'"},
        {4, "['=B2+1']"},
        {5, "[]"},
        {6, "''"},
        {7, "['=B2', '=C2']"},  // empty addresses are still a list of them
    };
    for (const Row& row : rows)
        CHECK_EQ(show(root.children[row.child].cells), row.cells) << root.children[row.child].name;
    CHECK_EQ(show(root.children[5].children[0].cells), "'=B2'");  // below an unplaced node
}

TEST(export_reads_addresses_from_before_the_rewrite) {
    // `late` is rewritten after `early` reads it, and `early` is rewritten
    // before `late` reads it: both must see the addresses.
    Node root = NodeBuilder("root")
                    .child(NodeBuilder("early").cell("A1").formula("=@late"))
                    .child(NodeBuilder("late").cell("A2").formula("=@early"))
                    .build();
    export_tree_cells(root);
    CHECK_EQ(show(root.children[0].cells), "'=A2'");
    CHECK_EQ(show(root.children[1].cells), "'=A1'");
}

TEST(equal_nodes_are_different_cells) {
    Node root = NodeBuilder("root")
                    .child(NodeBuilder("twin").cell("A1"))
                    .child(NodeBuilder("twin").cell("A1"))
                    .child(NodeBuilder("sum").cell("A3").formula("=total(@twin)"))
                    .build();
    convert_tree(root, root);
    CHECK_EQ(show(root.children[2].cells), "'=SUM(A1,A1)'");
}

TEST(export_of_a_tree_deeper_than_the_stack) {
    // Each node refers to its parent by name; no walk may recurse per level.
    constexpr std::size_t depth = 200000;
    Node root;
    root.name = "n0";
    root.cells = single_text("A1");
    Node* at = &root;
    for (std::size_t i = 1; i < depth; ++i) {
        Node child;
        child.name = "n" + std::to_string(i);
        child.formula = single_text("=@n" + std::to_string(i - 1) + "+1");
        child.cells = single_text("A" + std::to_string(i + 1));
        at->children.push_back(std::move(child));
        at = &at->children.back();
    }
    export_tree_cells(root);
    CHECK_EQ(show(at->cells), "'=A" + std::to_string(depth - 1) + "+1'");
    CHECK_EQ(show(root.cells), "''");
}

TEST(hidden_nodes_are_found_as_children_only) {
    Node root = NodeBuilder("root")
                    .child(NodeBuilder("parent").cell("A1").formula("=sum(children)")
                               .child(NodeBuilder("h").cell("A2").hidden()))
                    .child(NodeBuilder("by name").cell("A4").formula("=@h"))
                    .child(NodeBuilder("other").cell("A3").formula("=sum(children)")
                               .child(NodeBuilder("h2").hidden()))
                    .build();
    export_tree_cells(root);
    CHECK_EQ(show(root.children[0].cells), "'=SUM(A2)'");
    CHECK_EQ(show(root.children[1].cells), "'REF!'");
    CHECK_EQ(show(root.children[2].cells), "'REF!'");
}

}  // namespace
