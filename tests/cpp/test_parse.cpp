// Syntax-tree construction: number and index conversion, name tables, the
// shapes the builders produce, and every input-caused error message.
#include <cmath>
#include <string>
#include <string_view>
#include <variant>

#include "check.hpp"
#include "parser/parse.hpp"

namespace {

using namespace morvax;

// variant_index gives each alternative the index that a value of it holds.
static_assert([]<class... Ts>(std::variant<Ts...>*) {
    return ((AtomicExpression(Ts{}).index() == variant_index<Ts, AtomicExpression>) && ...);
}(static_cast<AtomicExpression*>(nullptr)));
static_assert([]<class... Ts>(std::variant<Ts...>*) {
    return ((ComparisonExpression(Ts{}).index() == variant_index<Ts, ComparisonExpression>) && ...);
}(static_cast<ComparisonExpression*>(nullptr)));

struct Parsed {
    Arena arena;
    ParseResult<Value> result;
    explicit Parsed(std::string_view text) : result(FormulaParser::parse_formula(text, arena)) {}
    const Expression& expr() const { return *result.value.expression; }
    const AtomicExpression& first_atom() const { return expr().first.first.base.operand; }
};

TEST(normalize_number_string_table) {
    struct Row {
        std::string_view in;
        std::string_view out;
    };
    const Row rows[] = {
        {"12", "12"},
        {"1,5", "1.5"},
        {"1,234", "1.234"},
        {"1.5", "1.5"},
        {"1,234,567", "1234567"},
        {"1.234.567", "1234567"},
        {"1.234,56", "1234.56"},
        {"1,234.56", "1234.56"},
        {"1.2.3,4", "123.4"},
        {"1,2,3.4", "123.4"},
        {"  1,5\t", "1.5"},
        {"\xe2\x80\x83" "2,5\xc2\xa0", "2.5"},  // em space and no-break space trimmed
        {"- 5", "- 5"},
    };
    for (const Row& row : rows) CHECK_EQ(normalize_number_string(row.in), row.out) << row.in;
}

TEST(bare_number_values) {
    struct Row {
        std::string_view text;
        double value;
    };
    const Row rows[] = {
        {"5", 5},
        {" 5 ", 5},
        {"-50%", -0.5},
        {"+1,5", 1.5},
        {"1.234,56", 1234.56},
        {"1,5", 1.5},
        {"1,234", 1.234},
        {"1.234", 1.234},
        {"1,234,567", 1234567},
        {"1,5%", 0.015},
        {"007", 7},
        {"123456789012345678", 123456789012345678.0},
        {"0.1", 0.1},
        {"9007199254740993", 9007199254740992.0},  // correctly rounded, ties to even
    };
    for (const Row& row : rows) {
        Parsed p(row.text);
        CHECK(p.result.ok()) << row.text;
        if (!p.result.ok()) continue;
        CHECK(p.result.value.kind == Value::Kind::Number) << row.text;
        CHECK_EQ(p.result.value.number, row.value) << row.text;
    }
    const std::string huge = std::string(400, '9');
    Parsed big(huge);
    CHECK(big.result.ok() && std::isinf(big.result.value.number));
    Parsed tiny("0," + std::string(400, '0') + "1");
    CHECK(tiny.result.ok() && tiny.result.value.number == 0);
}

TEST(empty_values) {
    for (std::string_view text : {"", " ", "\t\n "}) {
        Parsed p(text);
        CHECK(p.result.ok() && p.result.value.kind == Value::Kind::Empty) << text;
    }
}

TEST(construction_errors) {
    struct Row {
        std::string_view text;
        std::string_view message;
        std::size_t start;
        std::size_t end;
    };
    const Row rows[] = {
        {"- 5", "Failed to parse number '- 5': invalid float literal", 0, 3},
        {" + 5 ", "Failed to parse number '+ 5': invalid float literal", 1, 4},
        {"=children[1 2]", "Invalid index", 10, 13},
        {"=@a[99999999999999999999]", "Invalid index", 4, 24},
        {"=right[18446744073709551616]", "Invalid index", 7, 27},
        {"=ABS(1;2)", "Function 'ABS' expects 1 argument, but got 2", 1, 9},
        {"=abs(1;2)", "Function 'abs' expects 1 argument, but got 2", 1, 9},
        {"=pow(2)", "Function 'pow' expects 2 arguments, but got 1", 1, 7},
        {"=Mod(1;2;3)", "Function 'Mod' expects 2 arguments, but got 3", 1, 11},
        {"=round(1;2;3)", "Function 'round' expects one of [1, 2] arguments, but got 3", 1, 13},
        {"=sign( 1 ; 2 ) + 1", "Function 'sign' expects 1 argument, but got 2", 1, 14},
        {"=if(1>0;1)", "Conditional 'if' requires an else clause, but none was provided", 1, 10},
        {"=IF(@a>1;2;@b>1;3;4)", "Conditional 'IF' expects 1 case clause, but got 2", 1, 20},
        {"=if(@a>1;2;3;4)", "Conditional 'if' expects 1 case clause, but got 2", 1, 15},
        // the first failure in text order wins
        {"=abs(1;2) + pow(1)", "Function 'abs' expects 1 argument, but got 2", 1, 9},
        {"=sum(children[1 2]; pow(1))", "Invalid index", 14, 17},
    };
    for (const Row& row : rows) {
        Parsed p(row.text);
        CHECK(!p.result.ok()) << row.text;
        if (p.result.ok()) continue;
        const auto& r = p.result.error.record();
        CHECK(r.kind == FormulaError::Kind::Custom) << row.text;
        CHECK_EQ(p.result.error.message(), row.message) << row.text;
        CHECK_EQ(r.start, row.start) << row.text;
        CHECK_EQ(r.end, row.end) << row.text;
        CHECK_EQ(r.line, std::size_t{1}) << row.text;
        CHECK_EQ(r.line_text, row.text) << row.text;
    }
}

TEST(accepted_calls) {
    for (std::string_view text :
         {"=round(1)", "=round(1;2)", "=log(8;2)", "=iferror(1/0)", "=if(1>0;1;2)",
          "=when(1>0;1)", "=when(@a>1;2;@b>1;3;4)", "=sum(children)", "=children[0]"}) {
        Parsed p(text);
        CHECK(p.result.ok()) << text << ": " << p.result.error.message();
    }
}

TEST(operation_lists_keep_text_order) {
    Parsed pow("=2^3^2");
    CHECK(pow.result.ok());
    CHECK_EQ(pow.expr().first.first.exponents.size(), std::size_t{2});

    Parsed sub("=1-2-3");
    CHECK(sub.result.ok());
    CHECK_EQ(sub.expr().rest.size(), std::size_t{2});
    CHECK(sub.expr().rest[0].op == AddOperator::Subtract);
    CHECK(sub.expr().rest[1].op == AddOperator::Subtract);

    Parsed mul("=1*2/3%4");
    const auto& rest = mul.expr().first.rest;
    CHECK_EQ(rest.size(), std::size_t{3});
    CHECK(rest[0].op == MulOperator::Multiply && rest[1].op == MulOperator::Divide &&
          rest[2].op == MulOperator::Modulo);

    Parsed pct("=50%");
    CHECK(std::get<NumberLiteral>(pct.first_atom()).value == 0.5);
    Parsed mod("=50%3");
    CHECK_EQ(mod.expr().first.rest.size(), std::size_t{1});

    Parsed sign("=-2^2");
    CHECK(sign.expr().first.first.base.sign == Sign::Minus);
}

TEST(references) {
    struct Row {
        std::string_view text;
        std::string_view name;
        Index index;
    };
    const Row rows[] = {
        {"=@{ a }", " a ", std::nullopt},
        {"=@x[2]", "x", 2},
        {"=@{a[1]}[2]", "a[1]", 2},
        {"=@{a{b}c}", "a{b}c", std::nullopt},
        {"=@{}", "", std::nullopt},
        {"=@a[007]", "a", 7},
    };
    for (const Row& row : rows) {
        Parsed p(row.text);
        CHECK(p.result.ok()) << row.text;
        if (!p.result.ok()) continue;
        const auto* ref = std::get_if<NodeReference>(&p.first_atom());
        CHECK(ref != nullptr) << row.text;
        if (ref == nullptr) continue;
        CHECK_EQ(ref->name, row.name) << row.text;
        CHECK(ref->index == row.index) << row.text;
    }
    Parsed children("=children[0]");
    CHECK(std::get<ChildrenReference>(children.first_atom()).index == Index{0});
    Parsed right("=right");
    CHECK(!std::get<RightReference>(right.first_atom()).index);
    Parsed ratio("=RATIO(@{x}[3])");
    const auto& call = std::get<ModifierCall>(ratio.first_atom());
    CHECK(call.name == ModifierName::Ratio && call.reference.name == "x" &&
          call.reference.index == Index{3});
}

TEST(conditional_shapes) {
    Parsed when("=when(@a>1;2;@b>1;3;4)");
    const auto& w = std::get<ConditionalCall>(when.first_atom());
    CHECK(w.name == ConditionalName::When);
    CHECK_EQ(w.clauses.size(), std::size_t{2});
    CHECK(w.default_value != nullptr);

    Parsed bare("=when(1>0;1)");
    const auto& b = std::get<ConditionalCall>(bare.first_atom());
    CHECK_EQ(b.clauses.size(), std::size_t{1});
    CHECK(b.default_value == nullptr);

    Parsed bare_condition("=when(@x;1;2)");
    const auto& c = std::get<ConditionalCall>(bare_condition.first_atom());
    CHECK(std::holds_alternative<BareCondition>(c.clauses[0].condition.or_expression.first.first.comparison));
}

TEST(conditions) {
    struct Row {
        std::string_view text;
        bool negated;
    };
    const Row rows[] = {{"not not 1<2", false}, {"not 1<2", true}, {"NOT not NoT 1", true}, {"1", false}};
    for (const Row& row : rows) {
        Arena arena;
        auto parsed = FormulaParser::parse_condition(row.text, arena);
        CHECK(parsed.ok()) << row.text;
        if (!parsed.ok()) continue;
        CHECK_EQ(parsed.value->or_expression.first.first.negated, row.negated) << row.text;
    }
    Arena arena;
    auto cmp = FormulaParser::parse_condition("(1+2) > 3", arena);
    CHECK(cmp.ok() && std::holds_alternative<Comparison>(cmp.value->or_expression.first.first.comparison));
    auto paren = FormulaParser::parse_condition("(1 > 3) or 1 <> 2 and 3", arena);
    CHECK(paren.ok());
    if (paren.ok()) {
        const OrExpression& o = paren.value->or_expression;
        CHECK(std::holds_alternative<ParenthesisedCondition>(o.first.first.comparison));
        CHECK_EQ(o.rest.size(), std::size_t{1});
        CHECK_EQ(o.rest[0].rest.size(), std::size_t{1});
        CHECK(std::get<Comparison>(o.rest[0].first.comparison).op == ComparisonOperator::NotEqual);
    }
}

TEST(name_tables) {
    CHECK(lookup<FunctionName>("IfError") == FunctionName::IfError);
    CHECK(lookup<FunctionName>("abs ") == std::nullopt);  // no trimming inside lookup
    CHECK(lookup<AggregationName>("COALESCE") == AggregationName::Coalesce);
    CHECK(lookup<ModifierName>("Ratio") == ModifierName::Ratio);
    CHECK(lookup<ConditionalName>("wheN") == ConditionalName::When);
    CHECK(lookup<ConditionalName>("iff") == std::nullopt);
    CHECK(lookup<FunctionName>("\xc3\xa1" "bs") == std::nullopt);
    CHECK_EQ(keyword(AggregationName::Stdev), "stdev");
}

TEST(node_reference_builder) {
    ParseTree tree;
    GrammarFailure failure;
    CHECK(grammar::parse(Rule::NODE_REFERENCE, "@Revenue[2] + 1", tree, failure));
    auto ref = parse_node_reference(tree, tree.top[0]);
    CHECK(ref.ok());
    CHECK_EQ(ref.value.name, "Revenue");
    CHECK(ref.value.index == Index{2});

    ParseTree big;
    CHECK(grammar::parse(Rule::NODE_REFERENCE, "@a[99999999999999999999]", big, failure));
    auto bad = parse_node_reference(big, big.top[0]);
    CHECK(!bad.ok());
    if (!bad.ok()) CHECK_EQ(bad.error.message(), "Invalid index");
}

}  // namespace
