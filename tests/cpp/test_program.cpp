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

}  // namespace
