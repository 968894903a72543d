// Formula expansion: trees written as text, expanded, and their formulas
// dumped in pre-order.
#include <new>
#include <string>
#include <string_view>

#include "check.hpp"
#include "tree/expand.hpp"
#include "tree_text.hpp"

namespace {

using morvax::Node;
using morvax::TextBudget;
using morvax::test::dump_formulas;
using morvax::test::tree_from_text;

std::string expanded(std::string_view tree_text) {
    TextBudget budget;
    return dump_formulas(morvax::expand_tree_formulas(tree_from_text(tree_text), budget));
}

struct Row {
    std::string_view tree;
    std::string_view formulas;
};

TEST(expansion_inserts_computed_formulas) {
    const Row rows[] = {
        // An inserted formula loses its "=" and gains parentheses; the
        // node's own formula keeps its "=".
        {"R\n A =@B*2\n B =@C+1\n C 5", "R: A:=(@C+1)*2 B:=@C+1 C:5"},
        // Without "=" it goes in as it is.
        {"R\n A =@B*2\n B @C+1\n C 5", "R: A:=@C+1*2 B:@C+1 C:5"},
        // Spaces before the "=" keep it, and the parentheses away.
        {"R\n A =@B*2\n B  =@C\n C 5", "R: A:= =@C*2 B: =@C C:5"},
        // Chains go down to the input nodes.
        {"R\n A =@B\n B =@C*@D\n C =@D+1\n D 2", "R: A:=((@D+1)*@D) B:=(@D+1)*@D C:=@D+1 D:2"},
        // Every reference form of the name reads the same cache entry.
        {"R\n A =@B+@{B}+@B[1]\n B =@C\n C 1", "R: A:=(@C)+(@C)+(@C) B:=@C C:1"},
        // Text outside tokens is copied exactly.
        {"R\n A   =  @B   *2  \n B =@C\n C 1", "R: A:  =  (@C)   *2   B:=@C C:1"},
        {"R\n A    \n B", "R: A:    B:"},
        // Hidden nodes are expanded like any other.
        {"R\n ~A =@B\n B =@C\n C 1", "R: A:=(@C) B:=@C C:1"},
    };
    for (const Row& row : rows) CHECK_EQ(expanded(row.tree), row.formulas) << row.tree;
}

TEST(expansion_leaves_references_it_cannot_resolve) {
    const Row rows[] = {
        // Two visible nodes share the name.
        {"R\n A =@B\n B =@C\n B =@C\n C 1", "R: A:=@B B:=@C B:=@C C:1"},
        // Only a hidden node has it.
        {"R\n A =@B\n ~B =@C\n C 1", "R: A:=@B B:=@C C:1"},
        // A visible input node has it, even beside a computed one.
        {"R\n A =@B\n B 5\n B =@C\n C 1", "R: A:=@B B:5 B:=@C C:1"},
        // No node has it, a right reference, a malformed reference.
        {"R\n A =@Z+right+@{B", "R: A:=@Z+right+@{B"},
        // A formula whose expansion is empty gives the reference back.
        {"R\n A =@T*2\n T children\n  a}b 1", "R: A:=@T*2 T: a}b:1"},
    };
    for (const Row& row : rows) CHECK_EQ(expanded(row.tree), row.formulas) << row.tree;
}

TEST(expansion_ends_in_cycles) {
    const Row rows[] = {
        {"R\n A =@B+1\n B =@A*2", "R: A:=((@B+1)*2)+1 B:=(@B+1)*2"},
        {"R\n A =@A+1", "R: A:=(@A+1)+1"},
        {"R\n A =@B\n B =@C\n C =@A", "R: A:=(((@B))) B:=((@B)) C:=(@B)"},
    };
    for (const Row& row : rows) CHECK_EQ(expanded(row.tree), row.formulas) << row.tree;
}

TEST(expansion_of_children_references) {
    const Row rows[] = {
        {"R =sum(children)\n X 1\n Y 2", "R:=sum(@X; @Y) X:1 Y:2"},
        {"R =sum(children)\n X =@Z\n Y 2\n Z 3", "R:=sum((@Z); @Y; @Z) X:=@Z Y:2 Z:3"},
        // In an inserted formula, children are the referenced node's.
        {"R\n A =@T\n T =sum(children)\n  X 1\n  Y 2", "R: A:=(sum(@X; @Y)) T:=sum(@X; @Y) X:1 Y:2"},
        // Hidden children count; children without a written form are left out.
        {"R =sum(children)\n ~X 1\n a}b 2\n Y 3", "R:=sum(@X; @Y) X:1 a}b:2 Y:3"},
        {"R =sum(children)\n a}b 2", "R:=sum() a}b:2"},
        {"R =sum(children)", "R:=sum(children)"},
        // Indexed: the N-th child, counted from 1; unreadable or out of range stays.
        {"R =children[2]\n X 1\n Y =@X", "R:=(@X) X:1 Y:=@X"},
        {"R =children[01]\n X 1", "R:=@X X:1"},
        {"R =children[2]+children[0]\n X 1", "R:=children[2]+children[0] X:1"},
        {"R =children[18446744073709551616]\n X 1", "R:=children[18446744073709551616] X:1"},
        {"R =children[1]\n a}b 1", "R:=children[1] a}b:1"},
    };
    for (const Row& row : rows) CHECK_EQ(expanded(row.tree), row.formulas) << row.tree;
}

TEST(expansion_per_dimension) {
    const Row rows[] = {
        {"R\n A [=@B|=@B]\n B [=@C|=@D]\n C 1\n D 2", "R: A:[=(@C)|=(@D)] B:[=@C|=@D] C:1 D:2"},
        // A single formula serves every dimension.
        {"R\n A [=@B|=@B]\n B =@C+1\n C 1", "R: A:[=(@C+1)|=(@C+1)] B:=@C+1 C:1"},
        // A shorter list leaves the reference past its end.
        {"R\n A [=@B|=@B]\n B [=@C]\n C 1", "R: A:[=(@C)|=@B] B:[=@C] C:1"},
        // A dimension without references: kept, though the name is computed.
        {"R\n A [=@B|=@B]\n B [1|=@C]\n C 1", "R: A:[=@B|=(@C)] B:[1|=@C] C:1"},
        {"R\n A []", "R: A:[]"},
    };
    for (const Row& row : rows) CHECK_EQ(expanded(row.tree), row.formulas) << row.tree;
}

// A chain N0 -> N1 -> ... -> N(length) of references, each node a child of the
// one before: as deep a tree as a chain of expansions.
Node deep_chain(std::size_t length, std::string_view link) {
    Node root;
    root.name = "N0";
    Node* last = &root;
    for (std::size_t i = 1; i <= length; ++i) {
        last->formula = morvax::AnyDim<std::string>::single(std::string(link) + std::to_string(i));
        last = &last->children.emplace_back();
        last->name = "N" + std::to_string(i);
    }
    last->formula = morvax::AnyDim<std::string>::single("1");
    return root;
}

TEST(expansion_of_a_chain_deeper_than_the_native_stack) {
    constexpr std::size_t kLength = 100000;
    TextBudget budget;
    const Node expanded = morvax::expand_tree_formulas(deep_chain(kLength, "@N"), budget);
    const std::string last = "@N" + std::to_string(kLength);
    const Node* node = &expanded;
    std::size_t checked = 0;
    for (; !node->children.empty(); node = &node->children.front(), ++checked) {
        if (node->formula.single_value() != last) break;
    }
    CHECK_EQ(checked, kLength);
    CHECK_EQ(node->formula.single_value(), "1");
}

TEST(expansion_past_the_budget_throws_bad_alloc) {
    // Each level doubles the text: 2^60 references at the top.
    std::string text = "R";
    for (int level = 0; level < 60; ++level) {
        text += "\n L" + std::to_string(level) + " =@L" + std::to_string(level + 1) + "+@L" +
                std::to_string(level + 1);
    }
    text += "\n L60 1";
    const Node tree = tree_from_text(text);
    TextBudget budget(1 << 20);
    bool thrown = false;
    try {
        morvax::expand_tree_formulas(tree, budget);
    } catch (const std::bad_alloc&) {
        thrown = true;
    }
    CHECK(thrown);
}

TEST(non_reference_names) {
    const Node tree = tree_from_text("R\n A 5\n B =@A\n C [1|=children]\n ~H 2\n  D\n E []");
    const auto names = morvax::collect_non_reference_nodes(tree);
    for (const std::string_view name : {"R", "A", "D", "E"}) CHECK(names.contains(name)) << name;
    for (const std::string_view name : {"B", "C", "H"}) CHECK(!names.contains(name)) << name;
}

}  // namespace
