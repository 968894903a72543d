// Tree evaluation: references in trees, cycles, the memo table's forms, the
// dimension count, and deep on-demand chains.
#include <string>
#include <string_view>

#include "check.hpp"
#include "eval/names.hpp"
#include "eval/tree_evaluation.hpp"
#include "parser/grammar.hpp"
#include "tree_text.hpp"

namespace {

using namespace morvax;

struct Row {
    std::string tree;
    std::string values;
};

std::string evaluated(std::string_view text) {
    Node root = test::tree_from_text(text);
    evaluate_tree_values(root);
    return test::dump_values(root);
}

void check_rows(std::initializer_list<Row> rows) {
    for (const Row& row : rows) CHECK_EQ(evaluated(row.tree), row.values) << row.tree;
}

TEST(tree_name_references) {
    check_rows({
        {"R\n A =@B * 2\n B 5", "R: A:10 B:5"},
        {"R =@Nobody", "R:REF!"},
        {"R =@B\n B =@C\n C =1/0", "R:REF! B:REF! C:VALUE!"},  // errors arrive as REF!
        {"R =iferror(@X; 0)\n X =1/0", "R:0 X:VALUE!"},
        // Two visible nodes of one name: ambiguous alone, addressable by index.
        {"R\n N 1\n N 2\n M =@N", "R: N:1 N:2 M:MANY!"},
        {"R\n N 1\n N 2\n M =sum(@N)", "R: N:1 N:2 M:3"},
        {"R\n N 1\n N 2\n M =@N[2]", "R: N:1 N:2 M:2"},
        {"R\n N 1\n N 2\n M =@N[0]", "R: N:1 N:2 M:REF!"},
        {"R\n N 1\n N 2\n M =@N[3]", "R: N:1 N:2 M:REF!"},
        {"R\n N 1\n  N 2\n M =@N[2]", "R: N:1 N:2 M:2"},  // index in pre-order, any depth
        // Hidden nodes: evaluated, found as children, not by name; their
        // visible children are found.
        {"R =@H\n ~H 4", "R:REF! H:4"},
        {"R =children[1]\n ~H 4", "R:4 H:4"},
        {"R =@V\n ~H 4\n  V 6", "R:6 H:4 V:6"},
        {"R =@N\n ~N 1\n N 2", "R:2 N:1 N:2"},
        {"R\n n 1\n M =@N", "R: n:1 M:REF!"},  // names are case-sensitive
        {"R =@R + 1", "R:REF!"},
    });
}

TEST(tree_children_references) {
    check_rows({
        {"R =children\n A 1", "R:MANY! A:1"},
        {"R =children[1]\n A 1", "R:1 A:1"},
        {"R =children[2]\n A 1", "R:REF! A:1"},
        {"R =sum(children)\n A 1\n B 2\n  C 10", "R:3 A:1 B:2 C:10"},
        {"R =sum(children)", "R:0"},
        {"R =count(children)\n A 1\n B\n C =1/0", "R:REF! A:1 B: C:VALUE!"},
        {"R =sum(children)\n A =sum(children)\n  B 2\n  C 3", "R:5 A:5 B:2 C:3"},
    });
}

TEST(tree_right_references) {
    check_rows({
        {"R [=sum(right)|=2|=3]", "R:[5|2|3]"},
        {"R [=right[1]|=7|=8]", "R:[7|7|8]"},
        {"R [=1|=sum(right)]", "R:[1|0]"},
        {"R [=1|=right[1]]", "R:[1|REF!]"},
        {"R =sum(right)\n A [1|2]", "R:REF! A:[1|2]"},
        {"R [=right[1]|=1/0]", "R:[VALUE!|VALUE!]"},  // not turned into REF!
        {"R [=sum(right)|=right[1]|=@R]", "R:[REF!|REF!|REF!]"},
    });
}

TEST(tree_total_and_ratio) {
    check_rows({
        {"R\n P [=2|=4|=6]\n T =total(@P)", "R: P:[2|4|6] T:2"},
        {"R\n P [=2|=4|=6]\n Q =ratio(@P)", "R: P:[2|4|6] Q:[1|2|3]"},
        {"R\n P [=0|=4]\n Q =ratio(@P)", "R: P:[0|4] Q:VALUE!"},
        {"R\n P [=2|=4]\n P [=2|=4]\n Q =total(@P)", "R: P:[2|4] P:[2|4] Q:4"},
        {"R\n P [=2|=4]\n P [=2|=4]\n Q =ratio(@P)", "R: P:[2|4] P:[2|4] Q:MANY!"},
        {"R\n P [=2|=4]\n P [=2|=4]\n Q =ratio(@P[2])", "R: P:[2|4] P:[2|4] Q:[1|2]"},
        {"R\n P [=1/0|=4]\n Q =total(@P)", "R: P:[VALUE!|4] Q:REF!"},
    });
}

TEST(tree_circular_references) {
    check_rows({
        {"R\n A =@B\n B =@A", "R: A:REF! B:REF!"},
        // Which node of a cycle the pre-order reaches first decides.
        {"R\n A =iferror(@B; 0)\n B =@A + 1", "R: A:0 B:REF!"},
        {"R\n B =@A + 1\n A =iferror(@B; 0)", "R: B:1 A:0"},
        // A cycle through the children, and one only in another dimension.
        {"R =sum(children)\n A =@R", "R:REF! A:REF!"},
        {"R\n A [=1|=@B]\n B [=@A|=2]", "R: A:[1|2] B:[1|2]"},
        {"R\n A [=1|=@B]\n B [=2|=@A]", "R: A:[1|REF!] B:[2|REF!]"},
    });
}

TEST(tree_formula_results) {
    check_rows({
        {"R", "R:"},
        {"R    ", "R:"},
        {"R =empty", "R:"},
        {"R =", "R:ERROR!"},
        {"R =1+", "R:ERROR!"},
        {"R\n A =@B\n B =", "R: A:REF! B:ERROR!"},
        {"R 12,5%", "R:0.125"},
        {"R [=1|=2]\n A [=1|=2|=3]", "R:[1|2|] A:[1|2|3]"},
    });
}

// What the written values show of the memo table's two forms.
TEST(tree_memo_forms) {
    check_rows({
        // A single formula with the same result everywhere keeps one value.
        {"R =5\n A [1|2|3]", "R:5 A:[1|2|3]"},
        {"R =sum(children)\n A [=1|=2]\n B [=3|=4]", "R:[4|6] A:[1|2] B:[3|4]"},
        // Subtotals with single formulas over per-month inputs read each month.
        {"Root =sum(children)\n A =@P * 2\n P [=1|=2]", "Root:[3|6] A:[2|4] P:[1|2]"},
        // Dimensions evaluated before the change to the list form keep their result.
        {"R\n S =@P\n P [=1|=1|=2]", "R: S:[1|1|2] P:[1|1|2]"},
        {"R\n S =@P\n P [=1|=2|=2]", "R: S:[1|2|2] P:[1|2|2]"},
        // First read in a later dimension: the list form at once, even if all equal.
        {"R\n A [=1|=@S]\n S =7", "R: A:[1|7] S:[7|7]"},
        {"R\n A [=1|=@S]\n S =@Z\n Z 3", "R: A:[1|3] S:[3|3] Z:[3|3]"},
        // An empty formula list counts no dimension.
        {"R []\n A [1|2]", "R:[|] A:[1|2]"},
        {"R []", "R:[]"},
    });
}

// More dimensions than fit the entry's own bits.
TEST(tree_memo_forms_in_many_dimensions) {
    std::string inputs = "[";
    std::string expected = "[";
    for (int d = 0; d < 70; ++d) {
        inputs += d < 69 ? "=1|" : "=2]";
        expected += d < 69 ? "1|" : "2]";
    }
    check_rows({
        {"R =5\n P " + inputs, "R:5 P:" + expected},
        {"R =@P\n P " + inputs, "R:" + expected + " P:" + expected},
    });
}

// Many dimensions, few formulas in them: list entries then get a run of slots
// each rather than a slot for every node in every dimension; the forms must
// behave as they do with the slots laid out by dimension.
TEST(tree_memo_forms_in_separate_runs) {
    const int dims = 40;
    // A list of `count` items after `head`, the rest empty, up to `dims` items.
    auto list = [&](std::string head, int count, const std::string& item) {
        std::string out = "[" + head;
        for (int d = count; d < dims; ++d) out += (d > 0 ? "|" : "") + item;
        return out + "]";
    };
    const std::string wide = "\n X 0\n Y 0\n W " + list("", 0, "0");
    const std::string values = " X:0 Y:0 W:" + list("", 0, "0");
    check_rows({
        {"R =sum(children)\n A [=1|=2]\n B [=3|=4]" + wide,
         "R:" + list("4|6", 2, "0") + " A:" + list("1|2", 2, "") + " B:" + list("3|4", 2, "") + values},
        // Dimensions evaluated before the change to the list form keep their result.
        {"R\n S =@P\n P [=1|=1|=2]" + wide,
         "R: S:" + list("1|1|2", 3, "") + " P:" + list("1|1|2", 3, "") + values},
        // First read in a later dimension: the list form at once.
        {"R\n A [=1|=@S]\n S =7" + wide, "R: A:" + list("1|7", 2, "") + " S:" + list("7", 1, "7") + values},
    });
}

TEST(tree_dimension_count) {
    struct Count {
        std::string_view tree;
        std::size_t dims;
    };
    const Count rows[] = {
        {"R", 1},
        {"R []", 0},
        {"R []\n A []", 0},
        {"R [1|2]\n A 1", 2},
        {"R 1\n A\n  B [1|2|3|4]\n C [1]", 4},
    };
    for (const Count& row : rows) {
        CHECK_EQ(get_max_dimensions(test::tree_from_text(row.tree)), row.dims) << row.tree;
    }
}

TEST(tree_find_all_nodes_by_name) {
    const Node root = test::tree_from_text("R\n N 1\n ~N 2\n  N 3\n X\n  N 4\n n 5");
    std::string found;
    for (const Node* n : find_all_nodes_by_name(root, "N")) found += n->formula.single_value();
    CHECK_EQ(found, "134");
    CHECK(find_all_nodes_by_name(root, "N ").empty());
    CHECK_EQ(find_all_nodes_by_name(root.children[2], "N").size(), 1u);  // the subtree only
}

// Identical formula texts are parsed once for the whole tree; plain numbers
// are not parsed at all.
TEST(tree_formulas_parsed_once) {
    Node root = test::tree_from_text("R =sum(children)\n A =sum(children)\n  B 1\n  C =@B\n D [1|=sum(children)|=@B]");
    TreeEvaluation evaluation(root);
    CHECK_EQ(evaluation.formulas().distinct(), 2u);
}

// A chain each of whose links reads the next one on demand: far deeper than
// any native stack holds as plain recursion.
Node chain(std::size_t length) {
    Node root;
    root.name = "root";
    root.formula = AnyDim<std::string>::single("=@n0");
    for (std::size_t i = 0; i < length; ++i) {
        Node link;
        link.name = "n" + std::to_string(i);
        link.formula = AnyDim<std::string>::single(
            i + 1 < length ? "=@n" + std::to_string(i + 1) + " + 1" : "=1");
        root.children.push_back(std::move(link));
    }
    return root;
}

TEST(tree_deep_on_demand_chain) {
    const std::size_t length = 200000;
    Node root = chain(length);
    TreeEvaluation evaluation(root);
    evaluation.evaluate_all();
    evaluation.save_values();
    CHECK_EQ(root.value.single_value().to_string(), std::to_string(length));
    CHECK_EQ(root.children[length - 1].value.single_value().to_string(), "1");
    CHECK(evaluation.segments().segments_allocated() > 0);
}

// Shallow work stays on the thread's own stack: a segment is mapped only when
// a chain of on-demand evaluations, or a formula's nesting, needs one (or when
// the build's frames are too large for the thread's stack).
TEST(tree_segments_only_when_depth_needs_them) {
    auto nested = [](int levels) {
        std::string text = "=";
        for (int i = 0; i < levels; ++i) text += "abs(";
        return text + "1" + std::string(static_cast<std::size_t>(levels), ')');
    };
    const bool native = StackSegments::kNativeStep > 0;
    struct Case {
        std::size_t links;
        std::string formula;
        bool mapped;
    };
    const Case cases[] = {{1, "=1", !native},
                          {12, "=1", !native},  // a dozen compiled formulas, each read on demand
                          {1, nested(kShallowNesting), !native},
                          {1, nested(kShallowNesting + 1), true},
                          {2000, "=1", true}};
    for (const Case& c : cases) {
        Node root = chain(c.links);
        root.children.back().formula = AnyDim<std::string>::single(c.formula);
        TreeEvaluation evaluation(root);
        evaluation.evaluate_all();
        CHECK_EQ(evaluation.segments().segments_allocated() > 0, c.mapped) << c.links << " " << c.formula;
    }
}

// A series whose every dimension reads the next one: each right reference
// evaluates what it needs on demand, in order, and walks no further once the
// rest of the series is evaluated. The walks stay linear in the series.
TEST(tree_right_series_walks_linearly) {
    for (const char* formula : {"=right[1] + 1", "=iferror(right[1]; 0) + 1", "=max(right[2]; 0) + 1"}) {
        for (const std::size_t length : {10u, 1000u, 4000u}) {
            std::vector<std::string> series(length, formula);
            series.back() = "=0";
            Node root;
            root.name = "s";
            root.formula = AnyDim<std::string>::multi(series);
            TreeEvaluation evaluation(root);
            evaluation.evaluate_all();
            evaluation.save_values();
            CHECK(evaluation.right_steps() <= 2 * length) << formula << " " << length << ": " << evaluation.right_steps();
            const bool next = std::string_view(formula).find("[1]") != std::string_view::npos;
            CHECK_EQ(root.value.list()[0].to_string(), next ? std::to_string(length - 1) : "REF!") << formula;
        }
    }
}

// Every link of the chain holds a formula nested as deeply as the parser
// allows: each on-demand step needs a lot of stack, and the segments must
// still leave room for it.
TEST(tree_chain_of_deeply_nested_formulas) {
    const std::size_t length = 2000;
    const char* openers[] = {"abs(", "(", "sum("};
    Node root = chain(length);
    for (std::size_t i = 0; i + 1 < length; ++i) {
        std::string formula = "=";
        for (int level = 0; level < 250; ++level) formula += openers[level % 3];
        formula += "@n" + std::to_string(i + 1) + std::string(250, ')') + " + 1";
        root.children[i].formula = AnyDim<std::string>::single(formula);
    }
    evaluate_tree_values(root);
    CHECK_EQ(root.value.single_value().to_string(), std::to_string(length));
}

// A deep tree whose every node sums its only child: the walks do not recurse.
TEST(tree_deep_nesting) {
    const std::size_t depth = 100000;
    Node root;
    Node* at = &root;
    for (std::size_t i = 0; i < depth; ++i) {
        at->name = "d";
        at->formula = AnyDim<std::string>::single(i + 1 < depth ? "=sum(children) + 1" : "=1");
        if (i + 1 < depth) at = &at->children.emplace_back();
    }
    CHECK_EQ(get_max_dimensions(root), 1u);
    CHECK_EQ(find_all_nodes_by_name(root, "d").size(), depth);
    evaluate_tree_values(root);
    CHECK_EQ(root.value.single_value().to_string(), std::to_string(depth));
}

}  // namespace
