// diagnose_tree against the tree evaluation: the same values on generated
// trees, one problem for exactly each cell holding an error, sources that
// lead to a first cause, and chains far deeper than the native stack.
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "diagnose/diagnose.hpp"
#include "eval/tree_evaluation.hpp"
#include "generated_trees.hpp"
#include "parser/unicode.hpp"
#include "plain_tree.hpp"
#include "tree_text.hpp"

namespace {

using namespace morvax;

// The error cells of evaluated values, as diagnose_tree orders them.
std::vector<std::pair<std::size_t, std::size_t>> error_cells(const Node& root) {
    std::vector<std::pair<std::size_t, std::size_t>> cells;
    const std::vector<const Node*> order = test::preorder(root);
    for (std::size_t n = 0; n < order.size(); ++n) {
        const AnyDim<EvalResult>& value = order[n]->value;
        for (std::size_t d = 0; d < value.dimensions(); ++d) {
            if (value.at(d)->is_error()) cells.emplace_back(n, d);
        }
    }
    return cells;
}

// What every report must hold whatever the tree: a problem per error cell
// with that cell's error, spans inside the cell's formula, and sources that
// are themselves reported, so following them ends at a first cause.
void check_report(const Node& evaluated, const std::vector<CellProblem>& problems, const std::string& text) {
    const std::vector<const Node*> order = test::preorder(evaluated);
    std::vector<std::pair<std::size_t, std::size_t>> reported;
    std::set<std::pair<std::size_t, std::size_t>> cells;
    for (const CellProblem& p : problems) {
        reported.emplace_back(p.node, p.dimension);
        cells.emplace(p.node, p.dimension);
    }
    CHECK_EQ(reported.size(), error_cells(evaluated).size()) << text;
    CHECK(reported == error_cells(evaluated)) << text;
    for (const CellProblem& p : problems) {
        const Node& node = *order[p.node];
        CHECK(node.value.at(p.dimension)->error_kind() == p.value) << text;
        const std::string* formula = node.formula.at(p.dimension);
        const std::size_t length = formula != nullptr ? unicode::count_chars(*formula) : 0;
        CHECK(p.start <= p.end && p.end <= length) << text << " node " << p.node;
        CHECK(!p.detail.empty()) << text << " node " << p.node;
        CHECK_EQ(p.has_source, p.cause == Cause::Propagated) << text << " node " << p.node;
        CHECK(p.cause != Cause::Syntax || p.value == EvalError::Error) << text;
        if (p.has_source) {
            const Node& source = *order[p.source_node];
            const std::size_t d = source.value.is_single() ? 0 : p.source_dimension;
            CHECK(cells.contains({p.source_node, d})) << text << " node " << p.node;
        }
    }
}

void check_generated(unsigned seed, std::size_t rounds, std::size_t most) {
    test::Formulas formulas(seed);
    std::mt19937 random(seed + 1);
    for (std::size_t round = 0; round < rounds; ++round) {
        const std::string text = test::generated_tree(formulas, random, most);
        Node evaluated = test::tree_from_text(text);
        evaluate_tree_values(evaluated);
        Node diagnosed = test::tree_from_text(text);
        const std::vector<CellProblem> problems = diagnose_tree(diagnosed, true);
        CHECK(test::saved_values(diagnosed) == test::saved_values(evaluated)) << text;
        check_report(evaluated, problems, text);
    }
}

TEST(diagnose_agrees_with_the_evaluation_on_generated_trees) { check_generated(20261210, 20000, 7); }

TEST(diagnose_agrees_with_the_evaluation_on_larger_generated_trees) { check_generated(20261211, 40, 600); }

// Single formulas stored for every dimension at once where the result is the
// same in each, and where it is not after all: read first in a later
// dimension, a NaN, a total of a node in progress, a read of a node whose
// results are a list.
TEST(diagnose_stores_what_is_the_same_in_every_dimension_as_the_evaluation_does) {
    for (const char* text : {
             "R\n A =@B + 1\n B =@C * 2\n C =3\n L [=1|=2]",
             "R\n L [=1|=@U + 1]\n U =2 * 3",
             "R\n Z =10^400 - 10^400\n L [=1|=2]",
             "R\n T =iferror(@N; 5)\n N =total(@T)\n L [=1|=2|=3]",
             "R\n T =iferror(@N; 5)\n N =ratio(@T) + iferror(total(@T); 1)\n L [=1|=2|=3]",
             "R\n A =iferror(@A; 1)\n B =@A + 1\n L [=1|=2]",
             "R =sum(children)\n A =coalesce(@B; 4) + sum(children)\n  K =2\n B =when(@K > 1; 3; 4)\n L [=1|=2]",
         }) {
        Node evaluated = test::tree_from_text(text);
        evaluate_tree_values(evaluated);
        Node diagnosed = test::tree_from_text(text);
        diagnose_tree(diagnosed, true);
        CHECK(test::saved_values(diagnosed) == test::saved_values(evaluated)) << text;
    }
}

// One row per cause: the cell, its cause and the text its span covers.
TEST(diagnose_names_the_cause_and_its_place) {
    const std::string text =
        "R =sum(children)\n"
        " A =@B + 1\n"
        " B =@A * 2\n"
        " Sales 5\n"
        " Typo =@sales + 1\n"
        " ~Secret 1\n"
        " Peek =@Secret\n"
        " Cost 1\n"
        " Cost 2\n"
        " Both =@Cost\n"
        " Third =@Cost[3]\n"
        " Half =@Sales / (@Sales - 5)\n"
        " Log =2 + log(0)\n"
        " Many =children\n"
        " Bad =round(1,5, 2)\n"
        " Reads =10 * @Half\n";
    Node tree = test::tree_from_text(text);
    const std::vector<const Node*> order = test::preorder(tree);
    std::map<std::string, std::pair<std::string, std::string>> got;  // name -> cause, span text
    for (const CellProblem& p : diagnose_tree(tree)) {
        const std::string formula = order[p.node]->formula.single_value();
        got[order[p.node]->name] = {std::string(cause_text(p.cause)), formula.substr(p.start, p.end - p.start)};
    }
    struct Row {
        std::string name, cause, span;
    };
    for (const Row& row : {Row{"A", "cycle", "@B"}, Row{"B", "cycle", "@A"}, Row{"Typo", "unknown name", "@sales"},
                           Row{"Peek", "hidden", "@Secret"}, Row{"Both", "ambiguous", "@Cost"},
                           Row{"Third", "index out of range", "@Cost[3]"}, Row{"Half", "division by zero", "/"},
                           Row{"Log", "invalid argument", "log(0)"}, Row{"Many", "several values", "children"},
                           Row{"Bad", "syntax", ","}, Row{"Reads", "propagated", "@Half"},
                           Row{"R", "propagated", "children"}}) {
        CHECK(got.contains(row.name)) << row.name;
        CHECK_EQ(got[row.name].first, row.cause) << row.name;
        CHECK_EQ(got[row.name].second, row.span) << row.name;
    }
}

// A root reading n0, each link n(i) reading n(i + 1) through `link(i)`, the
// last one `last`.
template <class Link>
Node chain(std::size_t length, Link&& link, std::string last) {
    Node root;
    root.name = "root";
    root.formula = AnyDim<std::string>::single("=@n0");
    for (std::size_t i = 0; i < length; ++i) {
        Node& n = root.children.emplace_back();
        n.name = "n" + std::to_string(i);
        n.formula = AnyDim<std::string>::single(i + 1 < length ? link("@n" + std::to_string(i + 1)) : last);
    }
    return root;
}

// Far deeper than the native stack, ending in a division by zero that every
// link passes on.
TEST(diagnose_deep_on_demand_chain) {
    const std::size_t length = 200000;
    Node root = chain(length, [](const std::string& next) { return "=" + next + " + 1"; }, "=1/0");
    const std::vector<CellProblem> problems = diagnose_tree(root);
    CHECK_EQ(problems.size(), length + 1);
    CHECK(problems.front().cause == Cause::Propagated && problems.front().source_node == 1);
    CHECK(problems.back().cause == Cause::DivisionByZero);
}

// Every link nested as deeply as the parser allows: each on-demand step
// needs a lot of stack, and the segments must still leave room for it.
TEST(diagnose_chain_of_deeply_nested_formulas) {
    const std::size_t length = 500;
    const char* openers[] = {"abs(", "(", "sum("};
    std::string open;
    for (int level = 0; level < 250; ++level) open += openers[level % 3];
    Node root = chain(length, [&](const std::string& next) { return "=" + open + next + std::string(250, ')') + " + 1"; },
                      "=log(0)");
    const std::vector<CellProblem> problems = diagnose_tree(root);
    CHECK_EQ(problems.size(), length + 1);
    CHECK(problems.back().cause == Cause::InvalidArgument);
}

// A chain whose last link reads the first: every link says cycle, with the
// cycle shortened in its detail, and the root, which reads into it, does not.
TEST(diagnose_long_cycle) {
    const std::size_t length = 1000;
    Node root = chain(length, [](const std::string& next) { return "=" + next; }, "=@n0");
    const std::vector<CellProblem> problems = diagnose_tree(root);
    CHECK_EQ(problems.size(), length + 1);
    CHECK(problems.front().cause == Cause::Propagated);
    for (std::size_t i = 1; i < problems.size(); ++i) CHECK(problems[i].cause == Cause::Cycle) << i;
    CHECK(problems[1].detail.starts_with("circular reference: n0 -> n1 -> ")) << problems[1].detail;
    CHECK(problems[1].detail.ends_with("(1000 cells in all) -> n0")) << problems[1].detail;
}

}  // namespace
