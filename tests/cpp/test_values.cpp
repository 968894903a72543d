// Results, notes, memo slots, per-dimension values and number printing.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "check.hpp"
#include "diagnose/diagnose.hpp"
#include "eval/anydim.hpp"
#include "eval/tree_evaluation.hpp"
#include "eval/types.hpp"
#include "excel/export.hpp"
#include "tree/expand.hpp"
#include "tree/explain.hpp"
#include "tree_text.hpp"

namespace {

using namespace morvax;

TEST(format_number_table) {
    struct Row {
        double x;
        std::string_view text;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Row rows[] = {
        {3, "3"},
        {0.125, "0.125"},
        {1.0 / 3, "0.3333333333"},
        {2.0 / 3, "0.6666666667"},
        {-2.50, "-2.5"},
        {-0.0, "0"},
        {0.1 + 0.2, "0.3"},
        {1e-11, "0"},
        {-1e-11, "0"},
        {5e-11, "0.0000000001"},  // half away from zero
        {-5e-11, "-0.0000000001"},
        {100, "100"},
        {1e20, "100000000000000000000"},
        {123456.7890123456, "123456.7890123456"},
        {499999.99999999994, "499999.9999999999"},
        {1234567.25, "1234567.25"},
        {-987654321.125, "-987654321.125"},
        {inf, "inf"},
        {-inf, "-inf"},
        {std::nan(""), "NaN"},
        {-std::nan(""), "NaN"},
        {1e300, "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786371"
                "3750804478640437044438328838781769425232353604305756447921847867069828483872009265758"
                "0373783023379478809005936895323497079994508111903896764088007465274278014249457925878"
                "8820056842838115669472196386865459400540160"},
        {-std::numeric_limits<double>::max(), "-" "1797693134862315708145274237317043567980705675258449965989174768031572607800285387605"
                "8955863276687817154045895351438246423432132688946418276846754670353751698604991057655"
                "1282076245490090389328944075868508455133942304583236903222948165808559332123348274797"
                "826204144723168738177180919299881250404026184124858368"},
    };
    for (const Row& row : rows) CHECK_EQ(format_number(row.x), row.text) << row.x;
}

// Below 5e5 a number is written from its integer count of 1e-10s: the same
// text the general way writes, x rounded to ten decimals, trailing zeros
// dropped.
TEST(format_number_short_way_agrees_with_the_general_one) {
    auto general = [](double x) {
        double r = std::round(x * 1e10) / 1e10;
        if (r == 0) r = 0;
        char buffer[64];
        char* end = std::to_chars(buffer, buffer + sizeof(buffer), r, std::chars_format::fixed, 10).ptr;
        while (end[-1] == '0') --end;
        if (end[-1] == '.') --end;
        return std::string(buffer, end);
    };
    std::mt19937_64 random(5);
    for (int i = 0; i < 200000; ++i) {
        double x = 0;
        switch (i % 4) {
            case 0:  // any digits, from 1e-12 up
                x = std::ldexp(static_cast<double>(random() >> 11), -53) *
                    std::pow(10.0, static_cast<int>(random() % 18) - 12);
                break;
            case 1: x = static_cast<double>(random() % 50000000) / 100; break;  // cents
            case 2: x = static_cast<double>(random() % 4000000) / 8; break;
            default: x = static_cast<double>(random() % 500000); break;
        }
        if ((random() & 1) != 0) x = -x;
        if (std::fabs(x) < 5e5) {
            CHECK_EQ(format_number(x), general(x)) << x;
        }
    }
}

TEST(result_texts_and_equality) {
    CHECK_EQ(EvalResult::empty().to_string(), "");
    CHECK_EQ(EvalResult::number(-0.0).to_string(), "0");
    CHECK_EQ(EvalResult::error(EvalError::Value).to_string(), "VALUE!");
    CHECK_EQ(EvalResult::error(EvalError::Many).to_string(), "MANY!");
    CHECK_EQ(EvalResult::error(EvalError::Ref).to_string(), "REF!");
    CHECK_EQ(EvalResult::error(EvalError::Error).to_string(), "ERROR!");

    CHECK(EvalResult::number(0) == EvalResult::number(-0.0));
    CHECK(!(EvalResult::number(std::nan("")) == EvalResult::number(std::nan(""))));
    CHECK(EvalResult::empty() == EvalResult::empty());
    CHECK(!(EvalResult::empty() == EvalResult::number(0)));
    CHECK(!(EvalResult::error(EvalError::Ref) == EvalResult::error(EvalError::Value)));

    CHECK(EvalResult::error(EvalError::Value).as_own() == EvalResult::error(EvalError::Ref));
    CHECK(EvalResult::empty().as_own() == EvalResult::empty());
    CHECK(EvalResult::number(3).as_own() == EvalResult::number(3));
}

TEST(notes) {
    CHECK(EvalNote::many({}).as_eval_result() == EvalResult::error(EvalError::Many));
    CHECK(EvalNote::many({EvalResult::number(1)}).as_eval_result() == EvalResult::error(EvalError::Many));
    CHECK(EvalNote(EvalResult::number(2)).as_eval_result() == EvalResult::number(2));
}

TEST(anydim_forms) {
    auto single = AnyDim<std::string>::single("x");
    CHECK_EQ(single.dimensions(), std::size_t{1});
    CHECK(single.at(7) != nullptr && *single.at(7) == "x");
    std::size_t seen = 0;
    for (const std::string& s : single) seen += s.size();
    CHECK_EQ(seen, std::size_t{1});

    auto multi = AnyDim<std::string>::multi({"a", "bb"});
    CHECK_EQ(multi.dimensions(), std::size_t{2});
    CHECK(multi.at(2) == nullptr);
    auto lengths = multi.map([](const std::string& s) { return s.size(); });
    CHECK(lengths.is_multi() && lengths.list()[1] == 2);

    AnyDim<int> none = AnyDim<int>::multi({});
    CHECK_EQ(none.dimensions(), std::size_t{0});
    CHECK(none.begin() == none.end());
}

}  // namespace

namespace {

using morvax::Node;

Node chain(std::size_t depth) {
    Node root;
    root.name = "0";
    Node* at = &root;
    for (std::size_t i = 1; i < depth; ++i) {
        at->children.emplace_back();
        at = &at->children.back();
        at->name = std::to_string(i);
    }
    return root;
}

TEST(deep_trees_clone_and_free_without_recursion) {
    Node root = chain(300000);
    Node copy = root.clone();
    const Node* a = &root;
    const Node* b = &copy;
    std::size_t depth = 1;
    while (!a->children.empty() && !b->children.empty()) {
        a = &a->children[0];
        b = &b->children[0];
        ++depth;
    }
    CHECK_EQ(depth, std::size_t{300000});
    CHECK_EQ(b->name, "299999");
}

}  // namespace

// Every allocation of the test program is counted, so that a test can tell
// that some work allocated nothing; once armed, one of them fails.
namespace {
std::size_t allocations = 0;
std::size_t live = 0;
std::size_t allocated_bytes = 0;
long allocations_until_failure = -1;  // negative: disarmed
}  // namespace

// The replacements hand out malloc's memory and give it back to free: g++
// sees the free inlined where a new-expression's pointer goes and warns.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (allocations_until_failure >= 0 && allocations_until_failure-- == 0) throw std::bad_alloc();
    ++allocations;
    allocated_bytes += size;
    ++live;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (p == nullptr) return;
    --live;
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
#pragma GCC diagnostic pop

namespace {

// Shapes that make a destruction walk go deep, wide, or back up often: a
// chain, a caterpillar (each spine node with leaves before and after it), and
// random trees.
Node shaped(int shape, std::mt19937& rng) {
    if (shape == 0) return chain(100000);
    Node root;
    root.name = "r";
    if (shape == 1) {
        Node* at = &root;
        for (int i = 0; i < 20000; ++i) {
            at->children.emplace_back().name = "leaf";
            at->children.emplace_back().name = "spine";
            at->children.emplace_back().name = "leaf";
            at = &at->children[1];
        }
        return root;
    }
    std::vector<Node*> open{&root};
    for (int i = 0; i < 5000; ++i) {
        Node* parent = open[rng() % open.size()];
        parent->children.emplace_back().name = std::to_string(i);
        // Pointers into children lists move when a list grows: take fresh ones.
        open.clear();
        std::vector<Node*> todo{&root};
        while (!todo.empty() && open.size() < 64) {
            Node* n = todo.back();
            todo.pop_back();
            open.push_back(n);
            for (Node& c : n->children) todo.push_back(&c);
        }
    }
    return root;
}

TEST(trees_are_freed_without_allocating) {
    std::mt19937 rng(17);
    for (int shape = 0; shape < 6; ++shape) {
        const std::size_t live_before = live;
        std::optional<Node> tree(shaped(shape, rng));
        const std::size_t allocated = allocations;
        tree.reset();
        CHECK_EQ(allocations, allocated) << "shape " << shape;
        CHECK_EQ(live, live_before) << "shape " << shape;
    }
}

TEST(clone_keeps_every_field) {
    Node n;
    n.id = "i";
    n.name = "N";
    n.formula = morvax::AnyDim<std::string>::multi({"=1", "=2"});
    n.value = morvax::AnyDim<morvax::EvalResult>::single(morvax::EvalResult::number(3));
    n.is_hidden = true;
    n.cells = morvax::AnyDim<std::string>::single("B2");
    n.children.emplace_back();
    n.children.back().name = "child";
    Node c = n.clone();
    CHECK_EQ(c.id, "i");
    CHECK_EQ(c.name, "N");
    CHECK(c.formula.is_multi() && c.formula.list()[1] == "=2");
    CHECK(c.value.single_value() == morvax::EvalResult::number(3));
    CHECK(c.is_hidden);
    CHECK_EQ(c.cells.single_value(), "B2");
    CHECK_EQ(c.children.size(), std::size_t{1});
    CHECK_EQ(c.children[0].name, "child");
}

}  // namespace

#include "eval/names.hpp"

namespace {

TEST(name_index_finds_visible_nodes_in_preorder) {
    // root(A, B(hidden A, A), A): the hidden node is skipped, its child is not.
    Node root;
    root.name = "root";
    root.children.resize(3);
    root.children[0].name = "A";
    root.children[0].id = "1";
    root.children[1].name = "B";
    root.children[1].children.resize(2);
    root.children[1].children[0].name = "A";
    root.children[1].children[0].is_hidden = true;
    root.children[1].children[1].name = "A";
    root.children[1].children[1].id = "2";
    root.children[2].name = "A";
    root.children[2].id = "3";

    morvax::NameIndex index(root);
    auto found = index.find("A");
    CHECK_EQ(found.size(), std::size_t{3});
    if (found.size() == 3) {
        CHECK_EQ(found[0]->id, "1");
        CHECK_EQ(found[1]->id, "2");
        CHECK_EQ(found[2]->id, "3");
    }
    CHECK(index.find("a").empty());  // exact and case-sensitive
    CHECK(index.find("A ").empty());
    CHECK_EQ(index.find("root").size(), std::size_t{1});
}

using morvax::test::dump_field;
using morvax::test::dump_formulas;
using morvax::test::tree_from_text;

// Formula lists, a cycle (whose explanation expands the whole tree), cells,
// errors and a hidden node.
constexpr std::string_view model =
    "R#r =sum(children)\n"
    " X#x [=@Y+1|=@Y*2|3]\n"
    " Y#y =@X*2\n"
    " N#n [=@X+@Z|=1/0|=@Nope]\n"
    " ~Z#z 5\n"
    " C#c =@N[1]+right";

std::string explained(const Node& tree, std::string_view id) {
    TextBudget budget;
    const std::optional<Node> node = morvax::explain_node(tree, id, budget);
    std::string out = dump_formulas(node->clone_fields());
    for (const Node& child : node->children) out += " / " + dump_formulas(child);
    return out;
}

std::string exported(const Node& tree) {
    Node copy = tree.clone();
    morvax::export_tree_cells(copy);
    return dump_field(copy, [](const Node& n) -> const morvax::AnyDim<std::string>& { return n.cells; });
}

// With the k-th allocation failing, each transformation throws bad_alloc or
// gives its usual result, for every k up to the first that no allocation
// reaches: the module makes MemoryError of bad_alloc, and a fault on the way
// out (a double free) would end the interpreter instead.
TEST(allocation_failure_throws_bad_alloc_or_changes_nothing) {
    Node tree = tree_from_text(model);
    for (Node* node : {&tree, &tree.children[0], &tree.children[2], &tree.children[4]}) {
        node->cells = morvax::AnyDim<std::string>::multi({"A" + node->name, "B" + node->name, "C" + node->name});
    }
    const struct {
        std::string_view name;
        std::function<std::string()> run;
    } rows[] = {
        {"copy", [&] {
             const auto list = AnyDim<std::string>::multi({std::string(40, 'a'), std::string(40, 'b')});
             const AnyDim<std::string> copy = list;
             return copy.list()[1];
         }},
        {"clone", [&] { return dump_formulas(tree.clone()); }},
        {"expand", [&] {
             TextBudget budget;
             return dump_formulas(morvax::expand_tree_formulas(tree, budget));
         }},
        {"explain in a cycle", [&] { return explained(tree, "y"); }},
        {"explain", [&] { return explained(tree, "n"); }},
        {"export", [&] { return exported(tree); }},
        {"diagnose_tree", [&] {
             Node copy = tree.clone();
             return std::to_string(morvax::diagnose_tree(copy).size());
         }},
    };
    for (const auto& row : rows) {
        const std::string expected = row.run();
        for (long k = 0;; ++k) {
            allocations_until_failure = k;
            std::optional<std::string> got;
            try {
                got = row.run();
            } catch (const std::bad_alloc&) {
            }
            const bool reached = allocations_until_failure < 0;
            allocations_until_failure = -1;
            if (got) {
                CHECK_EQ(*got, expected) << row.name << ", allocation " << k;
            }
            if (!reached) {
                CHECK(got.has_value()) << row.name << ", allocation " << k;
                break;
            }
        }
    }
}

// A series of dimensions that each read later ones: diagnose_tree allocates
// in proportion to the series, as the evaluation does, reading the values a
// reference needs (listing all later values in every dimension is quadratic).
TEST(diagnose_tree_of_a_right_series_allocates_linearly) {
    const std::size_t length = 2000;
    const struct {
        const char* formula;
        std::size_t errors;  // a bare right is MANY!
    } rows[] = {{"=right[1] + 1", 0}, {"=max(right[1]; 0) + 1", 0}, {"=right + 1", length - 1},
                {"=iferror(right; 0) + 1", length - 1}};
    for (const auto& row : rows) {
        Node root;
        root.name = "s";
        std::vector<std::string> series(length, row.formula);
        series.back() = "=0";
        root.formula = AnyDim<std::string>::multi(series);
        const std::size_t before = allocated_bytes;
        CHECK_EQ(morvax::diagnose_tree(root).size(), row.errors) << row.formula;
        CHECK(allocated_bytes - before < 4096 * length) << row.formula << ": " << allocated_bytes - before;
    }
}

// coalesce(right) needs the first later value that holds something: a series
// of them does not list every later value in every dimension.
TEST(coalesce_of_right_in_a_series_allocates_linearly) {
    const std::size_t length = 2000;
    Node root;
    root.name = "s";
    std::vector<std::string> series(length, "=coalesce(right) + 1");
    series.back() = "=0";
    root.formula = AnyDim<std::string>::multi(series);
    const std::size_t before = allocated_bytes;
    morvax::evaluate_tree_values(root);
    CHECK(allocated_bytes - before < 4096 * length) << allocated_bytes - before;
    CHECK_EQ(root.value.list()[0].value(), static_cast<double>(length - 1));
}

}  // namespace
