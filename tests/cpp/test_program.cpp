// The compiled steps against the oracle: generated trees whose formulas mix
// every construct (references that designate none, one or several nodes,
// children and right with and without index, aggregations of lists, the
// modifiers, functions, the constructs left to the syntax-tree evaluator,
// cycles) must get exactly the oracle's values, which the syntax-tree
// evaluator computes in the oracle's order.
#include <string>
#include <vector>

#include "check.hpp"
#include "eval/tree_evaluation.hpp"
#include "generated_trees.hpp"
#include "parser/ast_dump.hpp"
#include "parser/direct.hpp"
#include "parser/parse.hpp"
#include "plain_tree.hpp"
#include "tree_text.hpp"

namespace {

using namespace morvax;
using test::Formulas;
using test::generated_tree;

std::string joined(const std::vector<std::string>& values) {
    std::string out;
    for (const std::string& v : values) out += v + " ";
    return out;
}

TEST(program_agrees_with_the_oracle_on_generated_trees) {
    Formulas formulas(20261208);
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        const std::string text = generated_tree(formulas, random);
        Node tree = test::tree_from_text(text);
        const std::vector<std::string> expected = test::plain_values(tree);
        evaluate_tree_values(tree);
        CHECK_EQ(joined(test::saved_values(tree)), joined(expected)) << text;
    }
}

// Trees of hundreds of formula texts: the table reads them in blocks, and a
// text that repeats the one before may fall in the next block.
TEST(program_agrees_with_the_oracle_on_larger_generated_trees) {
    Formulas formulas(20261209);
    std::mt19937 random(11);
    for (int round = 0; round < 40; ++round) {
        const std::string text = generated_tree(formulas, random, 600);
        Node tree = test::tree_from_text(text);
        const std::vector<std::string> expected = test::plain_values(tree);
        evaluate_tree_values(tree);
        CHECK_EQ(joined(test::saved_values(tree)), joined(expected)) << text;
    }
}

// `levels` nested calls and parentheses around a reference: each level
// reads like the next but flips or keeps the sign, so a level lost or added
// shows in the value.
std::string nested(int levels) {
    std::string text = "=";
    for (int l = 0; l < levels; ++l) text += l % 2 == 0 ? "abs(" : "-(";
    return text + "@A" + std::string(static_cast<std::size_t>(levels), ')');
}

// A sum nested to the right: the machine's stack holds one more value per level.
std::string tall(int levels) {
    std::string text = "=";
    for (int l = 0; l < levels; ++l) text += "@A+(";
    return text + "@A" + std::string(static_cast<std::size_t>(levels), ')');
}

// Around each depth where a formula changes hands (the one-pass parser gives
// texts nested past 64 to the full grammar; the compiler leaves syntax trees
// nested past 48, or needing a stack of more than 12 values, to the
// syntax-tree evaluator), both sides parse to the same tree and evaluate to
// the oracle's values.
TEST(results_agree_across_the_hand_over_depths) {
    std::vector<std::string> rows;
    for (int levels : {63, 64, 65, 66, 46, 47, 48, 49, 50}) rows.push_back(nested(levels));
    for (int levels : {10, 11, 12, 13, 14}) rows.push_back(tall(levels));
    for (const std::string& formula : rows) {
        Arena arena;
        const auto first = FormulaParser::parse_formula(formula, arena);
        const auto full = FormulaParser::parse_formula_by_grammar(formula, arena);
        CHECK(first.ok() && full.ok()) << formula;
        if (first.ok() && full.ok()) {
            CHECK_EQ(dump(first.value), dump(full.value)) << formula;
        }
        Node tree = test::tree_from_text("R\n A [2|-3]\n B " + formula);
        const std::vector<std::string> expected = test::plain_values(tree);
        evaluate_tree_values(tree);
        CHECK_EQ(joined(test::saved_values(tree)), joined(expected)) << formula;
    }
    // The one-pass parser's own limit sits where the rows above cross it.
    Arena arena;
    Value unused;
    CHECK(direct::parse_formula(nested(direct::kMaxDirectNesting), arena, unused));
    CHECK(!direct::parse_formula(nested(direct::kMaxDirectNesting + 1), arena, unused));
}

}  // namespace
