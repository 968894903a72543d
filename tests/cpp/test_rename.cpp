// Node renaming: an old and a new tree written as text ('#' gives ids), the
// new tree's formulas rewritten and dumped in pre-order.
#include <cstddef>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "tree/rename.hpp"
#include "tree_text.hpp"

namespace {

using morvax::Node;
using morvax::TextBudget;
using morvax::test::dump_formulas;
using morvax::test::tree_from_text;

std::string renamed(std::string_view old_text, std::string_view new_text) {
    const Node old_tree = tree_from_text(old_text);
    Node new_tree = tree_from_text(new_text);
    TextBudget budget;
    morvax::replace_references_in_tree(new_tree, morvax::build_rename_table(old_tree, new_tree),
                                       budget);
    return dump_formulas(new_tree);
}

struct Row {
    std::string_view old_tree;
    std::string_view new_tree;
    std::string_view formulas;
};

TEST(renaming_follows_nodes_by_id) {
    const Row rows[] = {
        {"R\n Cost#a 5\n S#s =@Cost*2", "R\n Price#a 5\n S#s =@Cost*2", "R: Price:5 S:=@Price*2"},
        // Moved: the node keeps its name but changes place among its namesakes.
        {"R\n Cost#a 1\n Cost#b 2", "R =@Cost[1]-@Cost[2]\n Cost#b 2\n Cost#a 1",
         "R:=@Cost[2]-@Cost[1] Cost:2 Cost:1"},
        // Swapped names: each token is looked up once, so nothing chains.
        {"R\n A#a 1\n B#b 2", "R =@A+@B\n B#a 1\n A#b 2", "R:=@B+@A B:1 A:2"},
        // Nodes without an id: the last of each tree are matched.
        {"R\n Foo 1", "R =@Foo\n Bar 1", "R:=@Bar Bar:1"},
        // Only the exact unambiguous form is rewritten; other text stays as it is.
        {"R\n Cost#a 5", "R  =@{Cost}+@Cost[1]+ @Cost +children+children[1]\n Price#a 5",
         "R: =@{Cost}+@Cost[1]+ @Price +children+children[1] Price:5"},
        // Every formula of the list form.
        {"R\n Cost#a 5", "R [=@Cost|=@Cost|1|1|=@Cost*2]\n Price#a 5",
         "R:[=@Price|=@Price|1|1|=@Price*2] Price:5"},
        // A name that only the braced form holds, one whose plain form would
        // read back as another node.
        {"R\n Cost#a 5", "R =@Cost\n x[1]#a 5", "R:=@{x[1]} x[1]:5"},
    };
    for (const Row& row : rows) {
        CHECK_EQ(renamed(row.old_tree, row.new_tree), row.formulas) << row.new_tree;
    }
}

TEST(renaming_with_shared_names) {
    const std::string_view cost_ab = "R\n Cost#a 1\n Cost#b 2";
    const std::string_view cost_abc = "R\n Cost#a 1\n Cost#b 2\n Cost#c 3";
    const Row rows[] = {
        // The second of two renamed: the first's name is unique now.
        {cost_ab, "R =@Cost[1]+@Cost[2]\n Cost#a 1\n Price#b 2", "R:=@Cost+@Price Cost:1 Price:2"},
        // The first deleted: its old form is not the survivor's new form, so it stays.
        {cost_ab, "R =@Cost[1]+@Cost[2]\n Cost#b 2", "R:=@Cost[1]+@Cost Cost:2"},
        // The first deleted of three: its old form would now reach "b".
        {cost_abc, "R =@Cost[1]+@Cost[2]+@Cost[3]\n Cost#b 2\n Cost#c 3",
         "R:=REF!+@Cost[1]+@Cost[2] Cost:2 Cost:3"},
        // Hidden in the new tree counts as deleted.
        {cost_ab, "R =@Cost[1]+@Cost[2]\n ~Cost#a 1\n Cost#b 2", "R:=@Cost[1]+@Cost Cost:1 Cost:2"},
        // Deleted without a collision: references to it stay.
        {"R\n Cost#a 1", "R =@Cost*2", "R:=@Cost*2"},
        // A node that only the new tree has takes part in its occurrences.
        {"R\n Cost#a 1", "R =@Cost\n Cost#n 0\n Cost#a 1", "R:=@Cost[2] Cost:0 Cost:1"},
    };
    for (const Row& row : rows) {
        CHECK_EQ(renamed(row.old_tree, row.new_tree), row.formulas) << row.new_tree;
    }
}

TEST(renaming_to_a_name_without_written_form) {
    Node old_tree = tree_from_text("R\n Cost#a 5\n S#s =@Cost*2");
    Node new_tree = tree_from_text("R\n X#a 5\n S#s =@Cost*2+@Cost[1]");
    new_tree.children[0].name = "a}b";
    TextBudget budget;
    morvax::replace_references_in_tree(new_tree, morvax::build_rename_table(old_tree, new_tree),
                                       budget);
    CHECK_EQ(dump_formulas(new_tree), "R: a}b:5 S:=REF!*2+@Cost[1]");
}

TEST(renaming_tables) {
    const Node tree = tree_from_text("R#r\n Cost#a\n ~Cost#h\n  Cost#b\n Tax#a\n Cost");
    const morvax::NodesById nodes(tree);
    CHECK_EQ(nodes.count("Cost"), 3u);
    CHECK_EQ(nodes.count("Tax"), 1u);
    CHECK_EQ(nodes.count("Price"), 0u);
    CHECK(nodes.find("h") == nullptr);
    CHECK_EQ(nodes.find("b")->occurrence, 2u);
    CHECK_EQ(nodes.find("a")->name, "Tax");  // the last in pre-order wins
    CHECK_EQ(nodes.find("")->occurrence, 3u);
    CHECK_EQ(nodes.size(), 4u);  // r, a, b and the empty id
}

// A formula said to hold no key holds none of them anywhere: the filter
// that spares the scans never drops a formula that needs one.
TEST(a_formula_without_a_key_is_told_so) {
    std::mt19937 random(11);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    const std::string_view pieces[] = {"@", "a", "b", "Co", "st", "{", "}", "[1]", "[2]", "1", "+", " ", "Ü", "_"};
    auto text = [&](std::size_t most) {
        std::string out;
        for (std::size_t i = pick(most); i-- > 0;) out += pieces[pick(std::size(pieces))];
        return out;
    };
    std::size_t told_none = 0;
    for (int round = 0; round < 300; ++round) {
        morvax::RenameTable table;
        std::vector<std::string> keys;
        for (std::size_t k = pick(4); k-- > 0;) {
            keys.push_back(pick(8) == 0 ? text(3) : "@" + text(4));
            table.set(keys.back(), "@x");
        }
        for (int f = 0; f < 40; ++f) {
            const std::string formula = text(12);
            if (table.may_hold_key(formula)) continue;
            ++told_none;
            for (const std::string& key : keys) CHECK(key.empty() || formula.find(key) == std::string::npos) << key;
        }
    }
    CHECK(told_none > 1000u);
}

TEST(renaming_past_the_budget_throws_bad_alloc) {
    const Node old_tree = tree_from_text("R\n a#a 1");
    std::string formula = "=@a";
    for (int i = 0; i < 1000; ++i) formula += "+@a";
    Node new_tree = tree_from_text("R " + formula + "\n" + " b#a 1");
    new_tree.children[0].name = std::string(4096, 'b');
    TextBudget budget(1 << 20);
    bool thrown = false;
    try {
        morvax::replace_references_in_tree(new_tree, morvax::build_rename_table(old_tree, new_tree),
                                           budget);
    } catch (const std::bad_alloc&) {
        thrown = true;
    }
    CHECK(thrown);
}

}  // namespace
