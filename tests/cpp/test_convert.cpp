// Formula translation to spreadsheet syntax: every construct over a fixed
// laid-out tree, the reference rules and their failures, and which failures
// are embedded in the text and which end the translation.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "check.hpp"
#include "excel/convert.hpp"
#include "node_builder.hpp"
#include "parser/parse.hpp"

namespace {

using namespace morvax;
using testing::NodeBuilder;

// a, b, c at A1, B1, C1; two Revenue nodes; Plan over three dimensions; a
// hidden node; `cur` laid out over three dimensions with three children (the
// last hidden); nodes with one child, an address gap, and a child without
// an address.
Node fixture() {
    return NodeBuilder("root")
        .child(NodeBuilder("a").cell("A1"))
        .child(NodeBuilder("b").cell("B1"))
        .child(NodeBuilder("c").cell("C1"))
        .child(NodeBuilder("Revenue").cell("B2"))
        .child(NodeBuilder("Revenue").cell("B7"))
        .child(NodeBuilder("Plan").cells({"B5", "C5", "D5"}))
        .child(NodeBuilder("Secret").cell("S1").hidden())
        .child(NodeBuilder("NoCell"))
        .child(NodeBuilder("cur")
                   .cells({"B3", "C3", "D3"})
                   .child(NodeBuilder("k1").cell("K1"))
                   .child(NodeBuilder("k2").cell("K2"))
                   .child(NodeBuilder("k3").cell("K3").hidden()))
        .child(NodeBuilder("one").cell("E1").child(NodeBuilder("only").cell("F1")))
        .child(NodeBuilder("gap").cells({"G1", "", "G3"}))
        .child(NodeBuilder("lone").cell("H1").child(NodeBuilder("blank")))
        .build();
}

// Parses `formula` and translates it at `node_name` for `dimension`; failures
// are shown as "fail:" and the error text, so they differ from embedded ones.
class Translation {
public:
    Translation() : root_(fixture()), names_(root_) {}

    std::string show(std::string_view formula, std::string_view node_name = "cur",
                     std::size_t dimension = 0) {
        Arena arena;
        const ParseResult<Value> parsed = FormulaParser::parse_formula(formula, arena);
        if (!parsed.ok() || parsed.value.kind != Value::Kind::Expression) return "unparsed";
        const Converted c = convert_expression(*parsed.value.expression, context(node_name, dimension));
        return c.ok() ? c.text : "fail:" + std::string(error_text(*c.error));
    }

    ConversionContext context(std::string_view node_name, std::size_t dimension) const {
        return ConversionContext{*testing::find_node(root_, std::string(node_name)), dimension, &names_,
                                 false};
    }

    const Node& node(std::string_view name) const {
        return *testing::find_node(root_, std::string(name));
    }

private:
    Node root_;
    NameIndex names_;
};

struct Row {
    std::string_view formula;
    std::string_view expected;
    std::string_view node = "cur";
    std::size_t dimension = 0;
};

void check_rows(std::initializer_list<Row> rows) {
    Translation t;
    for (const Row& row : rows) {
        CHECK_EQ(t.show(row.formula, row.node, row.dimension), row.expected)
            << row.formula << " at " << row.node << " dimension " << row.dimension;
    }
}

TEST(convert_arithmetic) {
    check_rows({
        {"=1+2-3", "1+2-3"},
        {"=@a*@b/@c", "A1*B1/C1"},
        {"=-2^2", "-2^2"},
        {"=2**3^2", "2^3^2"},
        {"=+@a", "+A1"},
        {"=-@a", "-A1"},
        {"=5%", "0.05"},
        {"=(1+2)*3", "(1+2)*3"},
        {"=((@a))", "((A1))"},
        {"=1.5 + 0.1234567890123", "1.5+0.123456789"},
        {"=empty", ""},
        {"=1+empty", "1+"},
        {"= 1 +  2", "1+2"},  // no spaces of its own
    });
}

TEST(convert_modulo_folds_into_mod) {
    check_rows({
        {"=@a%@b", "MOD(A1,B1)"},
        {"=@a%@b*@c", "MOD(A1,B1)*C1"},
        {"=@a*@b%@c", "MOD(A1*B1,C1)"},
        {"=@a+@b%@c", "A1+MOD(B1,C1)"},
        {"=@a%@b%@c", "MOD(MOD(A1,B1),C1)"},
        {"=@a*@b%@c/2%3", "MOD(MOD(A1*B1,C1)/2,3)"},
        {"=50%3", "MOD(50,3)"},
        {"=-@a^2%(1+@b)", "MOD(-A1^2,(1+B1))"},
    });
}

TEST(convert_functions) {
    check_rows({
        {"=abs(@a)", "ABS(A1)"},
        {"=ROUND(@a)", "ROUND(A1,0)"},
        {"=round(@a; 2)", "ROUND(A1,2)"},
        {"=ceil(@a)", "CEILING(A1,1)"},
        {"=floor(@a)", "FLOOR(A1,1)"},
        {"=pow(@a; 2)", "POWER(A1,2)"},
        {"=root(@a; 3)", "(A1)^(1/(3))"},
        {"=log(@a)", "LOG10(A1)"},
        {"=log(@a; 2)", "LOG(A1,2)"},
        {"=mod(@a; @b)", "MOD(A1,B1)"},
        {"=sign(@a)", "SIGN(A1)"},
        {"=iferror(@a)", "IFERROR(A1,\"\")"},
        {"=iferror(@a; 0)", "IFERROR(A1,0)"},
        {"=abs(abs(-@a))", "ABS(ABS(-A1))"},
    });
}

TEST(convert_function_arguments_embed_errors) {
    check_rows({
        {"=abs(@missing)", "ABS(REF!)"},
        {"=@missing + 1", "fail:REF!"},
        {"=pow(@Revenue; children)", "POWER(MANY!,VALUE!)"},
        {"=iferror(@missing + 1; @a)", "IFERROR(REF!,A1)"},
        {"=abs(@missing) + @missing", "fail:REF!"},
        {"=abs(children)", "ABS(VALUE!)"},
    });
}

TEST(convert_aggregations) {
    check_rows({
        {"=sum(@a; @b)", "SUM(A1,B1)"},
        {"=mult(@a; @b)", "PRODUCT(A1,B1)"},
        {"=avg(@a; @b)", "AVERAGE(A1,B1)"},
        {"=median(@a; @b; @c)", "MEDIAN(A1,B1,C1)"},
        {"=stdev(@a; @b)", "STDEV.S(A1,B1)"},
        {"=max(@a; 1)", "MAX(A1,1)"},
        {"=min(@a; 1)", "MIN(A1,1)"},
        {"=count(@a; @b)", "COUNT(A1,B1)"},
        {"=sum(children)", "SUM(K1,K2,K3)"},  // a hidden child counts
        {"=sum(children[2])", "SUM(K2)"},
        {"=sum(children; @a)", "SUM(K1,K2,K3,A1)"},
        {"=sum(right)", "SUM(C3,D3)"},
        {"=sum(right)", "SUM(D3)", "cur", 1},
        {"=sum(right)", "fail:REF!", "cur", 2},
        {"=sum(@Revenue)", "fail:MANY!"},  // only total sums same-named nodes
        {"=sum(children + 1)", "SUM(K1,K2,K3+1)"},  // the flag holds for nested references
        {"=sum(abs(children))", "SUM(ABS(K1,K2,K3))"},
        {"=sum(children)", "fail:REF!", "lone"},
        {"=sum(children)", "fail:REF!", "a"},
        {"=sum(@a; @missing)", "fail:REF!"},
    });
}

TEST(convert_coalesce) {
    check_rows({
        {"=coalesce(@a; @b)", "IF(A1<>\"\",A1,B1)"},
        {"=coalesce(@a)", "A1"},
        {"=coalesce(@a; @b; @c)", "IF(A1<>\"\",A1,IF(B1<>\"\",B1,C1))"},
        {"=coalesce(@a + 1; 2)", "IF(A1+1<>\"\",A1+1,2)"},
        {"=coalesce(@a; @missing)", "fail:REF!"},
        {"=coalesce(children)", "fail:VALUE!"},  // keeps the context's flag
        {"=sum(coalesce(children; 1))", "SUM(IF(K1,K2,K3<>\"\",K1,K2,K3,1))"},
    });
}

TEST(convert_conditionals) {
    check_rows({
        {"=when(@a > 0; 1)", "IF(A1>0,1,\"\")"},
        {"=if(@a > 0; 1; 2)", "IF(A1>0,1,2)"},
        {"=when(@a > 0; 1; @b > 0; 2; 3)", "IF(A1>0,1,IF(B1>0,2,3))"},
        {"=when(@a > 0; 1; @b > 0; 2)", "IF(A1>0,1,IF(B1>0,2,\"\"))"},
        {"=if(@missing > 0; 1; 2)", "fail:REF!"},
        {"=if(@a > 0; @missing; @Revenue)", "IF(A1>0,REF!,MANY!)"},
        {"=when(@a > 0; 1; @missing > 0; 2)", "fail:REF!"},
    });
}

TEST(convert_conditions) {
    check_rows({
        {"=if(@a == 1 and @a != 1 and @a <> 1 and @a > 1 and @a < 1 and @a >= 1 and @a <= 1; 1; 0)",
         "IF(AND(A1=1,A1<>1,A1<>1,A1>1,A1<1,A1>=1,A1<=1),1,0)"},
        {"=if(not @a > 1; 1; 0)", "IF(NOT(A1>1),1,0)"},
        {"=if(not not @a > 1; 1; 0)", "IF(A1>1,1,0)"},
        {"=if(@a; 1; 0)", "IF((A1<>0),1,0)"},
        {"=if(@a > 1 or @b > 1; 1; 0)", "IF(OR(A1>1,B1>1),1,0)"},
        {"=if(@a > 1 and @b > 1 and @c; 1; 0)", "IF(AND(A1>1,B1>1,(C1<>0)),1,0)"},
        {"=if((@a > 1 or @b > 1) and not @c < 1; 1; 0)",
         "IF(AND((OR(A1>1,B1>1)),NOT(C1<1)),1,0)"},
        {"=if(@a + 1 > @b * 2; 1; 0)", "IF(A1+1>B1*2,1,0)"},
        {"=if(@a > @Revenue; 1; 0)", "fail:MANY!"},
    });
}

TEST(convert_node_references) {
    check_rows({
        {"=@Revenue", "fail:MANY!"},
        {"=@Revenue[1]", "B2"},
        {"=@{Revenue}[2]", "B7"},
        {"=@Revenue[3]", "fail:REF!"},
        {"=@Revenue[0]", "fail:REF!"},
        {"=@a[1]", "A1"},
        {"=@missing", "fail:REF!"},
        {"=@revenue", "fail:REF!"},  // names match case-sensitively
        {"=@Secret", "fail:REF!"},   // hidden
        {"=@NoCell", "fail:REF!"},
        {"=@Plan", "B5"},
        {"=@Plan", "C5", "cur", 1},
        {"=@Plan", "fail:REF!", "cur", 3},  // past the end of its list
        {"=@a", "A1", "cur", 2},            // one address serves every dimension
        {"=@gap", "fail:REF!", "cur", 1},   // an empty address
        {"=@Self", "B3"},
        {"=@Self", "D3", "cur", 2},
        {"=@Self", "A1", "a", 1},
        {"=@Self[1]", "fail:REF!"},
        {"=@Self", "fail:REF!", "gap", 1},
    });
}

TEST(convert_children_and_right_references) {
    check_rows({
        {"=children", "fail:VALUE!"},
        {"=children", "F1", "one"},
        {"=children[2]", "K2"},
        {"=children[3]", "K3"},
        {"=children[4]", "fail:REF!"},
        {"=children[0]", "fail:REF!"},
        {"=children", "fail:REF!", "a"},
        {"=children", "fail:REF!", "lone"},
        {"=right", "fail:VALUE!"},
        {"=right", "D3", "cur", 1},
        {"=right", "fail:REF!", "cur", 2},
        {"=right[1]", "C3"},
        {"=right[2]", "D3"},
        {"=right[3]", "fail:REF!"},
        {"=right[0]", "fail:REF!"},
        {"=right", "fail:REF!", "a"},       // a single address has nothing to the right
        {"=right", "fail:REF!", "NoCell"},  // no addresses at all
        {"=sum(right)", "SUM(,G3)", "gap"}, // used as stored
    });
}

TEST(convert_modifiers) {
    check_rows({
        {"=total(@Revenue)", "SUM(B2,B7)"},
        {"=total(@Revenue[2])", "B7"},
        {"=total(@Plan)", "B5", "cur", 2},
        {"=total(@Self)", "B3", "cur", 2},
        {"=total(@Self[1])", "fail:REF!"},
        {"=total(@missing)", "fail:REF!"},
        {"=total(@Revenue[3])", "fail:REF!"},
        {"=ratio(@Plan)", "C5/B5", "cur", 1},
        {"=8/ratio(@Plan)", "8/(C5/B5)", "cur", 1},
        {"=ratio(@Plan)^2", "(C5/B5)^2", "cur", 1},
        {"=-ratio(@Plan)", "-(C5/B5)", "cur", 1},
        {"=abs(ratio(@Plan))", "ABS(C5/B5)", "cur", 1},
        {"=(ratio(@Plan))", "(C5/B5)", "cur", 1},
        {"=if(ratio(@Plan) > 1; ratio(@Plan); 0)", "IF(C5/B5>1,C5/B5,0)", "cur", 1},
        {"=ratio(@Plan)", "B5/B5"},
        {"=ratio(@Revenue)", "fail:MANY!"},
        {"=ratio(@Revenue[2])", "B7/B7"},
        {"=ratio(@Revenue[3])", "fail:REF!"},
        {"=ratio(@missing)", "fail:REF!"},
        {"=ratio(@Self)", "fail:REF!"},  // no Self rule: there is no node named Self
        {"=ratio(@gap)", "fail:REF!", "cur", 1},
        {"=ratio(@Plan)", "fail:REF!", "cur", 3},
    });
}

TEST(cell_at_table) {
    Translation t;
    struct CellRow {
        std::string_view node;
        std::size_t dimension;
        std::optional<std::string_view> expected;
    };
    const CellRow rows[] = {
        {"a", 0, "A1"},  {"a", 7, "A1"},          {"Plan", 2, "D5"},
        {"Plan", 3, {}}, {"gap", 1, {}},          {"gap", 2, "G3"},
        {"NoCell", 0, {}}, {"blank", 0, {}},
    };
    for (const CellRow& row : rows) {
        CHECK(cell_at(t.node(row.node), row.dimension) == row.expected)
            << row.node << " dimension " << row.dimension;
    }
}

TEST(expr_as_atomic_table) {
    struct AtomRow {
        std::string_view formula;
        bool bare;
    };
    const AtomRow rows[] = {
        {"=children", true},   {"=right[2]", true},    {"=@a", true},
        {"=(children)", true},  // bare, but a parenthesised operand
        {"=-children", false}, {"=+children", false},  {"=children+1", false},
        {"=2*children", false}, {"=children^2", false},
    };
    for (const AtomRow& row : rows) {
        Arena arena;
        const Value v = FormulaParser::parse_formula(row.formula, arena).value;
        CHECK_EQ(expr_as_atomic(*v.expression) != nullptr, row.bare) << row.formula;
    }
}

TEST(missing_root_is_a_programming_error) {
    Translation t;
    ConversionContext ctx = t.context("cur", 0);
    ctx.root = nullptr;
    Arena arena;
    auto translate = [&](std::string_view formula) {
        return convert_expression(*FormulaParser::parse_formula(formula, arena).value.expression, ctx);
    };
    bool threw = false;
    try {
        (void)translate("=@a");
    } catch (const std::logic_error&) {
        threw = true;
    }
    CHECK(threw);
    // Nothing else needs the root.
    CHECK_EQ(translate("=children[2]").text, "K2");
}

}  // namespace
