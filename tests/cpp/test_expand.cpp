// Formula expansion: trees written as text, expanded, and their formulas
// dumped in pre-order.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <string_view>

#include "check.hpp"
#include "expansion_property.hpp"
#include "generated_trees.hpp"
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
        // Blanks before the "=" go with it.
        {"R\n A =@B*2\n B  =@C\n C 5", "R: A:=(@C)*2 B: =@C C:5"},
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

// Trees on which expansion once gave a node a formula that computes another
// number, or none: one dimension's formula for all of them, children that
// became a name other nodes carry too, `right` moved into another node, a
// modifier's argument replaced, an index ignored.  Now each expanded tree
// computes what the tree computes, and with the old text it would not.
TEST(expansion_keeps_what_each_node_computes) {
    const struct {
        std::string_view tree;
        std::string_view node;
        std::string_view old_text;
        std::string_view text;
    } rows[] = {
        {"R\n Units [10|20|30]\n Rev [=@Units*2|=@Units*3|=@Units*4]\n Total =@Rev + 1", "Total",
         "=(@Units*2) + 1", "=@Rev + 1"},
        {"R\n A =sum(children)\n  Cost 2\n Cost 20\n T =@A * 2", "T", "=(sum(@Cost)) * 2",
         "=(sum(@Cost[1])) * 2"},
        {"R\n Twice =@Units * 2\n Units [=sum(right)|1|2]", "Twice", "=(sum(right)) * 2", "=@Units * 2"},
        {"R\n Revenue =@Units * @Price\n Units 10\n Price 3\n Share =ratio(@Revenue)", "Share",
         "=ratio((@Units * @Price))", "=ratio(@Revenue)"},
        {"R\n X =@Y + 1\n Y 5\n W =@X[2]", "W", "=(@Y + 1)", "=@X[2]"},
    };
    for (const auto& row : rows) {
        const Node tree = tree_from_text(row.tree);
        TextBudget budget;
        Node expanded = morvax::expand_tree_formulas(tree, budget);
        Node* node = nullptr;
        morvax::for_each_preorder(expanded, [&](Node& n) { if (n.name == row.node) node = &n; });
        CHECK_EQ(node->formula.single_value(), row.text) << row.tree;
        CHECK_EQ(morvax::test::expansion_difference(tree, expanded), "") << row.tree;
        node->formula = morvax::AnyDim<std::string>::single(std::string(row.old_text));
        CHECK(!morvax::test::expansion_difference(tree, expanded).empty()) << row.tree;
    }
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
        // A formula that does not parse is an error where it stands, and
        // keeps its text: inserted or rewritten, it might compute something.
        {"R\n A =@B*2\n B @C+1\n C 5", "R: A:=@B*2 B:@C+1 C:5"},
        {"R\n A =abs@B\n B =@C\n C 1", "R: A:=abs@B B:=@C C:1"},
        {"R\n A =@T*2\n T children\n  a}b 1", "R: A:=@T*2 T:children a}b:1"},
        // Names several visible nodes carry: an index picks one, a name
        // alone reads all of them, and where it is no aggregation argument
        // that is an error the inserted formula would not have.
        {"R\n A =sum(@B; 1)\n B =iferror(@S; 0)\n S 1\n S 2", "R: A:=sum(@B; 1) B:=iferror(@S; 0) S:1 S:2"},
        {"R\n A =@B\n B =@S[2]\n S 1\n S 2", "R: A:=(@S[2]) B:=@S[2] S:1 S:2"},
        // An index other than 1 reads no node when one carries the name.
        {"R\n A =@B[1]+@B[2]\n B =@C\n C 1", "R: A:=(@C)+@B[2] B:=@C C:1"},
        // A modifier takes a node, not a value.
        {"R\n A =ratio(@B)+total(@B)+@B\n B =@C\n C 1", "R: A:=ratio(@B)+total(@B)+(@C) B:=@C C:1"},
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
        // Children that no reference finds alone (hidden, or without a
        // written form) keep the token; shared names take their index.
        {"R =sum(children)\n ~X 1\n Y 3", "R:=sum(children) X:1 Y:3"},
        {"R =sum(children)\n a}b 2", "R:=sum(children) a}b:2"},
        {"R =children[1]+children[2]\n ~X 1\n Y 3", "R:=children[1]+@Y X:1 Y:3"},
        {"R =sum(children)", "R:=sum(children)"},
        {"R\n A =max(children; 1)\n  Net-price 1\n  B 2\n Net-price 3\n B 4",
         "R: A:=max(@{Net-price}[1]; @B[1]; 1) Net-price:1 B:2 Net-price:3 B:4"},
        // A formula that keeps its children token is not moved elsewhere.
        {"R\n A =@T\n T =sum(children)\n  ~X 1", "R: A:=@T T:=sum(children) X:1"},
        // Bare children is a list: only a whole aggregation argument takes
        // the references in its place.
        {"R =children + sum(2; children)\n X 1", "R:=children + sum(2; @X) X:1"},
        {"R =sum(children * 2) + abs(children)\n X 1", "R:=sum(children * 2) + abs(children) X:1"},
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
        // A single formula holds for every dimension, so it takes in only
        // what is one text in all of them: a list of equal entries covering
        // them all, where everything inserted in turn is the same.
        {"R\n A =@B\n B [=@C|=@C]\n C [1|2]", "R: A:=(@C) B:[=@C|=@C] C:[1|2]"},
        {"R\n A =@B\n B [=@C|=@D]\n C 1\n D 2", "R: A:=@B B:[=@C|=@D] C:1 D:2"},
        {"R\n A =@B\n B [=@C]\n C [1|2]", "R: A:=@B B:[=@C] C:[1|2]"},
        {"R\n A =@B\n B =@C+1\n C [=@D|=@E]\n D 1\n E 2", "R: A:=(@C+1) B:=@C+1 C:[=@D|=@E] D:1 E:2"},
        // A tree of one dimension: a list of one entry is that dimension.
        {"R\n A =@B\n B [=@C]\n C 1", "R: A:=(@C) B:[=@C] C:1"},
        // A right reference means the node's own later dimensions.
        {"R\n A [=@B|=@B|1]\n B [=sum(right)|=right[1]|2]", "R: A:[=@B|=@B|1] B:[=sum(right)|=right[1]|2]"},
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
    // The first link's formula holds the whole chain; only it is spelt out.
    constexpr std::size_t kLength = 100000;
    const Node chain = deep_chain(kLength, "=@N");
    TextBudget budget;
    morvax::Expander expander(chain, budget);
    const std::string first = expander.expand_node_formulas(chain).single_value();
    const std::string nested(kLength - 1, '(');
    CHECK_EQ(first, "=" + nested + "@N" + std::to_string(kLength) + std::string(kLength - 1, ')'));
    CHECK(!expander.met_cycle());
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

// How many generated trees the property is checked on: MORVAX_EXPANSION_TREES,
// or a number that keeps the suite quick (tests/test_native.py runs more).
std::size_t generated_tree_count() {
    const char* wanted = std::getenv("MORVAX_EXPANSION_TREES");
    return wanted != nullptr ? std::strtoull(wanted, nullptr, 10) : 6000;
}

// Names that repeat, one written in braces, one that no node has; formulas
// that do not parse or have blanks before their "=".
TEST(expanded_trees_compute_what_the_trees_compute) {
    morvax::test::Vocabulary vocabulary;
    vocabulary.names = {"A", "B", "C", "D", "E", "Net-price"};
    vocabulary.references = {"@A", "@B", "@C", "@D", "@E", "@{Net-price}", "@Z"};
    vocabulary.careless = true;
    morvax::test::Formulas formulas(15, vocabulary);
    std::mt19937 random(1515);
    const std::size_t count = generated_tree_count();
    std::size_t without_cycles = 0;
    std::size_t rewritten = 0;
    for (std::size_t round = 0; round < count; ++round) {
        const std::string text = morvax::test::generated_tree(formulas, random);
        const Node tree = tree_from_text(text);
        if (morvax::test::has_reference_cycle(tree)) continue;
        ++without_cycles;
        TextBudget budget;
        const Node expanded = morvax::expand_tree_formulas(tree, budget);
        if (dump_formulas(expanded) == dump_formulas(tree)) continue;
        ++rewritten;
        const std::string difference = morvax::test::expansion_difference(tree, expanded);
        CHECK_EQ(difference, "") << text;
        if (!difference.empty()) break;
    }
    // Most trees take part, and most of those are rewritten.
    CHECK(without_cycles > count / 2) << without_cycles;
    CHECK(rewritten > without_cycles / 2) << rewritten;
    std::printf("  %zu generated trees, %zu without cycles, %zu rewritten: each computes what it did\n", count,
                without_cycles, rewritten);
}

}  // namespace
