// The grammar alone: which texts each rule accepts, the spans and nesting of
// parse nodes, and where a failed parse is reported.
#include <optional>
#include <string>
#include <string_view>

#include "check.hpp"
#include "parser/grammar.hpp"
#include "parser/parse.hpp"

namespace {

using morvax::GrammarFailure;
using morvax::NodeId;
using morvax::ParseTree;
using morvax::Rule;
namespace grammar = morvax::grammar;

constexpr std::optional<std::size_t> kNoMatch = std::nullopt;

// Compact form of a parse: rule(children) with leaves written rule"text".
void dump_node(const ParseTree& t, NodeId id, std::string& out) {
    out += morvax::rule_name(t.rule_of(id));
    auto kids = t.children(id);
    if (kids.empty()) {
        out += '"';
        out += t.text_of(id);
        out += '"';
        return;
    }
    out += '(';
    for (std::size_t i = 0; i < kids.size(); ++i) {
        if (i > 0) out += ' ';
        dump_node(t, kids[i], out);
    }
    out += ')';
}

std::string dump(Rule start, std::string_view text) {
    ParseTree tree;
    GrammarFailure failure;
    if (!grammar::parse(start, text, tree, failure)) return "<no match>";
    std::string out;
    for (NodeId id : tree.top) dump_node(tree, id, out);
    return out;
}

bool accepts(Rule start, std::string_view text) {
    ParseTree tree;
    GrammarFailure failure;
    return grammar::parse(start, text, tree, failure);
}

// Text of the first node of `rule` in pre-order, or "<none>".
std::string first_text(std::string_view text, Rule rule) {
    ParseTree tree;
    GrammarFailure failure;
    if (!grammar::parse(Rule::value, text, tree, failure)) return "<no match>";
    std::vector<NodeId> todo(tree.top.rbegin(), tree.top.rend());
    while (!todo.empty()) {
        NodeId id = todo.back();
        todo.pop_back();
        if (tree.rule_of(id) == rule) return std::string(tree.text_of(id));
        auto kids = tree.children(id);
        for (auto it = kids.rbegin(); it != kids.rend(); ++it) todo.push_back(*it);
    }
    return "<none>";
}

TEST(token_rules_match_alone) {
    struct Row {
        Rule rule;
        std::string_view text;
        std::optional<std::size_t> length;
    };
    const Row rows[] = {
        // numbers: the six alternatives in order, greedy groups never given back
        {Rule::NUMBER_OR_PERCENT, "1,234.56", 8},
        {Rule::NUMBER_OR_PERCENT, "1234,567.8", 10},
        {Rule::NUMBER_OR_PERCENT, "1.234,56", 8},
        {Rule::NUMBER_OR_PERCENT, "1,234,567", 9},
        {Rule::NUMBER_OR_PERCENT, "1.234.567", 9},
        {Rule::NUMBER_OR_PERCENT, "1.5", 3},
        {Rule::NUMBER_OR_PERCENT, "12,34", 5},
        {Rule::NUMBER_OR_PERCENT, "1.2345", 6},
        {Rule::NUMBER_OR_PERCENT, "1,234,5678", 9},
        {Rule::NUMBER_OR_PERCENT, "1,234,56.7", 5},
        {Rule::NUMBER_OR_PERCENT, "1.2.3", 3},
        {Rule::NUMBER_OR_PERCENT, "1.", 1},
        {Rule::NUMBER_OR_PERCENT, "1e5", 1},
        {Rule::NUMBER_OR_PERCENT, ".5", kNoMatch},
        {Rule::NUMBER_OR_PERCENT, "-5", kNoMatch},
        // the percent look-ahead
        {Rule::NUMBER_OR_PERCENT, "50%", 3},
        {Rule::NUMBER_OR_PERCENT, "50% + 1", 3},
        {Rule::NUMBER_OR_PERCENT, "50%3", 2},
        {Rule::NUMBER_OR_PERCENT, "50% 3", 2},
        {Rule::NUMBER_OR_PERCENT, "50%(1)", 2},
        {Rule::NUMBER_OR_PERCENT, "50%@a", 2},
        {Rule::NUMBER_OR_PERCENT, "50%_", 2},
        {Rule::NUMBER_OR_PERCENT, "50%\xc3\xa9", 2},  // é starts an identifier
        {Rule::NUMBER_OR_PERCENT, "50%%3", 3},
        {Rule::NUMBER_OR_PERCENT, "50%-3", 3},
        {Rule::NUMBER_OR_PERCENT, "50%.5", 3},
        {Rule::SIGNED_NUMBER, "- 5", 3},
        {Rule::SIGNED_NUMBER, "+1,5", 4},
        // references
        {Rule::NODE_REFERENCE, "@Revenue", 8},
        {Rule::NODE_REFERENCE, "@_x9", 4},
        {Rule::NODE_REFERENCE, "@1a", kNoMatch},
        {Rule::NODE_REFERENCE, "@ a", kNoMatch},
        {Rule::NODE_REFERENCE, "@a.b", 2},
        {Rule::NODE_REFERENCE, "@a [2]", 2},
        {Rule::NODE_REFERENCE, "@a[2]", 5},
        {Rule::NODE_REFERENCE, "@a[1 2]", 2},
        {Rule::NODE_REFERENCE, "@a[-1]", 2},
        {Rule::NODE_REFERENCE, "@{Gross margin}", 15},
        {Rule::NODE_REFERENCE, "@{a[1]}[2]", 10},
        {Rule::NODE_REFERENCE, "@{a{b}c}", 8},
        {Rule::NODE_REFERENCE, "@{a}}", 4},
        {Rule::NODE_REFERENCE, "@{}", 3},
        {Rule::NODE_REFERENCE, "@{a{b}", kNoMatch},  // the group eats the only "}"
        {Rule::NODE_REFERENCE, "@{a{b}}", 7},
        {Rule::NODE_REFERENCE, "@{{}", kNoMatch},
        {Rule::NODE_REFERENCE, "@{", kNoMatch},
        {Rule::NODE_REFERENCE, "@\xd0\x92\xd1\x8b\xd1\x80\xd1\x83\xd1\x87\xd0\xba\xd0\xb0", 15},
        {Rule::CHILDREN_REFERENCE, "children + 1", 9},
        {Rule::CHILDREN_REFERENCE, "CHILDREN[2]", 11},
        {Rule::CHILDREN_REFERENCE, "children [ 1 ]", 14},
        {Rule::CHILDREN_REFERENCE, "children[1 2]", 13},
        {Rule::CHILDREN_REFERENCE, "childrenx", 8},
        {Rule::CHILDREN_REFERENCE, "children[-1]", 8},
        {Rule::RIGHT_REFERENCE, "right  x", 7},
        {Rule::RIGHT_REFERENCE, "Right[3]", 8},
        {Rule::IDENTIFIER, "_", 1},
        {Rule::IDENTIFIER, "a\xcc\x81x", 4},  // combining mark continues
        {Rule::IDENTIFIER, "\xcc\x81x", kNoMatch},
        {Rule::IDENTIFIER, "9a", kNoMatch},
        // keywords and operators
        {Rule::POWER, "**", 2},
        {Rule::POWER, "^", 1},
        {Rule::POWER, "*", kNoMatch},
        {Rule::NOT_EQUAL, "<>", 2},
        {Rule::NOT_EQUAL, "!=", 2},
        {Rule::GREATER_OR_EQUAL, ">=", 2},
        {Rule::AND, "AnD", 3},
        {Rule::AND, "ANDROID", 3},
        {Rule::EMPTY, "Empty", 5},
        {Rule::NOT, "no", kNoMatch},
        {Rule::WHITESPACE, "\t", 1},
        {Rule::EOI, "", 0},
        {Rule::EOI, "x", kNoMatch},
    };
    for (const Row& row : rows) {
        CHECK_EQ(grammar::match_length(row.rule, row.text), row.length)
            << morvax::rule_name(row.rule) << " on " << row.text;
    }
}

TEST(formula_texts_accepted) {
    struct Row {
        std::string_view text;
        bool accepted;
    };
    const Row rows[] = {
        {"5", true},
        {"  5  ", true},
        {"-50%", true},
        {"+1,5", true},
        {"- 5", true},  // the grammar takes it; the number conversion rejects it
        {"=5", true},
        {"= 1 + 2", true},
        {"", true},
        {"   ", true},
        {"\t\r\n", true},
        {"1+2", false},
        {"5 + 3", false},
        {"5=", false},
        {"=", false},
        {"abc", false},
        {"=1=2", false},
        {"--1", false},
        {"=--1", false},
        {"=-+1", false},
        {"=1--2", true},
        {"=1 - -2", true},
        {"=- 1", true},
        {"=2^3^2", true},
        {"=2 ** 3", true},
        {"=abs()", false},
        {"=total(1)", false},
        {"=total(@a)", true},
        {"=sumx(children)", false},
        {"=SUM( children ; 1 )", true},
        {"=IF(1>0;1;2)", true},
        {"=Round(1;2)", true},
        {"=ratio(@{x})", true},
        {"=when(@a>1;2;@b<3;4;5)", true},
        {"=if(@a>1;2;3;4)", true},
        {"=1,2", true},
        {"=abs(1,2)", true},
        {"=@{Net income (2024)}", true},
        {"=@{a}}", false},
        {"=@{}", true},
        {"=children[1 2]", true},
        {"=@a[1 2]", false},
        {"=childrenx", false},
        {"=iferror(1;2)", true},
        {"=emptyx", false},
        {"=empty", true},
        {"=50%%3", true},
        {"=1e5", false},
        {"=.5", false},
        {"= ( 1 )", true},
        {"=\xc2\xa0" "1", false},  // no-break space is not grammar whitespace
    };
    for (const Row& row : rows) CHECK_EQ(accepts(Rule::value, row.text), row.accepted) << row.text;
}

TEST(condition_texts_accepted) {
    struct Row {
        std::string_view text;
        bool accepted;
    };
    const Row rows[] = {
        {"", false},
        {"1==2", true},
        {"1!=2", true},
        {"1<>2", true},
        {"1=2", false},
        {"1 < 2 < 3", false},
        {"1<2AND2<3", true},
        {"not1<2", true},
        {"not not not 1<2", true},
        {"notx", false},
        {"nota<2", false},
        {"(1+2) > 3", true},
        {"((1 > 2))", true},
        {"5", true},
        {"=5", false},
        {"1 > 2 or (2 > 1 and not 3)", true},
    };
    for (const Row& row : rows)
        CHECK_EQ(accepts(Rule::boolean_value, row.text), row.accepted) << row.text;
}

TEST(parse_node_shapes) {
    struct Row {
        std::string_view text;
        std::string_view dump;
    };
    const Row rows[] = {
        {"", R"(value(EOI""))"},
        {" 5 ", R"(value(SIGNED_NUMBER(NUMBER_OR_PERCENT"5") EOI""))"},
        {"-5%", R"(value(SIGNED_NUMBER(MINUS"-" NUMBER_OR_PERCENT"5%") EOI""))"},
        {"=@a[2]",
         R"(value(EQUALS"=" expression(addition_expression(multiplication_expression(power_expression()"
         R"(unary_expression(atomic_expression(NODE_REFERENCE(AT"@" IDENTIFIER"a" LBRACKET"[" INDEX"2" )"
         R"(RBRACKET"]"))))))) EOI""))"},
        {"=@{x}",
         R"(value(EQUALS"=" expression(addition_expression(multiplication_expression(power_expression()"
         R"(unary_expression(atomic_expression(NODE_REFERENCE(LCURLYAT"@{" CURLY_IDENTIFIER"x" )"
         R"(RCURLY"}"))))))) EOI""))"},
    };
    for (const Row& row : rows) CHECK_EQ(dump(Rule::value, row.text), row.dump) << row.text;

    CHECK_EQ(dump(Rule::boolean_value, "1<2"),
             R"(boolean_value(boolean_expression(or_expression(and_expression(negation_expression()"
             R"(atomic_boolean_expression(expression(addition_expression(multiplication_expression()"
             R"(power_expression(unary_expression(atomic_expression(NUMBER_OR_PERCENT"1")))))) )"
             R"(LESS_THAN"<" expression(addition_expression(multiplication_expression()"
             R"(power_expression(unary_expression(atomic_expression(NUMBER_OR_PERCENT"2"))))))))))) EOI""))");
}

TEST(node_spans_keep_trailing_whitespace) {
    struct Row {
        std::string_view text;
        Rule rule;
        std::string_view span;
    };
    const Row rows[] = {
        {"=children + 1", Rule::CHILDREN_REFERENCE, "children "},
        {"=sum(right  )", Rule::RIGHT_REFERENCE, "right  "},
        {"=1 + 2 ", Rule::expression, "1 + 2 "},
        {"=1 + 2 ", Rule::addition_expression, "1 + 2 "},
        {"=2 ", Rule::power_expression, "2 "},
        {"=children[1 2]", Rule::INDEX, "1 2"},
        {"=children [ 7 ]", Rule::CHILDREN_REFERENCE, "children [ 7 ]"},
        {"=- 1", Rule::unary_expression, "- 1"},
        {"=@{ a }", Rule::CURLY_IDENTIFIER, " a "},
        {"=sum( 1 ; 2 )", Rule::aggregator_args, "1 ; 2 "},
        {"=SUM(1)", Rule::aggregation_name, "SUM"},
    };
    for (const Row& row : rows)
        CHECK_EQ(first_text(row.text, row.rule), row.span) << row.text << " / " << morvax::rule_name(row.rule);
}

TEST(failure_reports_furthest_attempt) {
    struct Row {
        std::string_view text;
        std::size_t pos;
        std::size_t line;
        std::size_t column;
        std::string_view line_text;
    };
    const Row rows[] = {
        {"=1+", 3, 1, 4, "=1+"},
        {"=", 1, 1, 2, "="},
        {"abc", 0, 1, 1, "abc"},
        {"=1\n+\n(2", 7, 3, 3, "(2"},
        {"=1\r\n+ )", 6, 2, 3, "+ )"},
        {"=\xc3\xa9+", 1, 1, 2, "=\xc3\xa9+"},
        {"=@a + \xc3\xa9\xc3\xa9$", 6, 1, 7, "=@a + \xc3\xa9\xc3\xa9$"},
    };
    for (const Row& row : rows) {
        morvax::Arena arena;
        auto parsed = morvax::FormulaParser::parse_formula(row.text, arena);
        CHECK(!parsed.ok()) << row.text;
        if (parsed.ok()) continue;
        const auto& r = parsed.error.record();
        CHECK(r.kind == morvax::FormulaError::Kind::Mismatch) << row.text;
        CHECK_EQ(r.start, row.pos) << row.text;
        CHECK_EQ(r.line, row.line) << row.text;
        CHECK_EQ(r.column, row.column) << row.text;
        CHECK_EQ(r.line_text, row.line_text) << row.text;
    }
}

TEST(failure_lists_expected_rules_in_rule_order) {
    morvax::Arena arena;
    auto parsed = morvax::FormulaParser::parse_formula("=1 +", arena);
    CHECK(!parsed.ok());
    if (parsed.ok()) return;
    const auto expected = parsed.error.record().expected;
    for (Rule r : {Rule::multiplication_expression, Rule::atomic_expression, Rule::NUMBER_OR_PERCENT,
                   Rule::NODE_REFERENCE, Rule::LPAREN, Rule::function_name})
        CHECK((expected & morvax::rule_bit(r)) != 0) << morvax::rule_name(r);
    // Rules inside atomic rules and silent rules are not listed.
    for (Rule r : {Rule::NUMBER, Rule::OPERAND_START, Rule::WHITESPACE, Rule::IDENTIFIER})
        CHECK((expected & morvax::rule_bit(r)) == 0) << morvax::rule_name(r);
    const std::string message = parsed.error.message();
    CHECK(message.starts_with("expected multiplication_expression, power_expression")) << message;
    CHECK(message.find(", or ") != std::string::npos) << message;
}

TEST(nesting_guard) {
    auto nested = [](int depth) {
        return "=" + std::string(static_cast<std::size_t>(depth), '(') + "1" +
               std::string(static_cast<std::size_t>(depth), ')');
    };
    CHECK(accepts(Rule::value, nested(morvax::kMaxNesting)));
    CHECK(!accepts(Rule::value, nested(morvax::kMaxNesting + 1)));
    CHECK(!accepts(Rule::value, nested(200000)));

    std::string calls = "=";
    for (int i = 0; i < morvax::kMaxNesting; ++i) calls += "if(1>0;";
    calls += "1";
    for (int i = 0; i < morvax::kMaxNesting; ++i) calls += ";2)";
    CHECK(accepts(Rule::value, calls));

    morvax::Arena arena;
    auto parsed = morvax::FormulaParser::parse_formula(nested(300), arena);
    CHECK(!parsed.ok());
    if (!parsed.ok()) CHECK_EQ(parsed.error.message(), "Formula nested more than 256 levels deep");
}

TEST(suffix_matcher_answers_like_match_length) {
    // Braced names left open, closed, nested and grouped, asked from the
    // front and from the back: what one answer remembers must not change another.
    const std::string_view texts[] = {
        "@{@{@{", "@{x@{y}z", "@{{a{b}@{c", "@{a}@{b", "{}@{{}}@{", "@{a{b@{c}}", "=@{x}+1",
    };
    for (std::string_view text : texts) {
        for (bool backwards : {false, true}) {
            grammar::SuffixMatcher matcher(text);
            for (std::size_t i = 0; i <= text.size(); ++i) {
                const std::size_t from = backwards ? text.size() - i : i;
                for (Rule rule : {Rule::NODE_REFERENCE, Rule::CURLY_IDENTIFIER, Rule::expression}) {
                    const std::size_t length = matcher.match_length(rule, from);
                    const std::optional<std::size_t> alone = grammar::match_length(rule, text.substr(from));
                    CHECK_EQ(length, alone.value_or(grammar::SuffixMatcher::kNoMatch))
                        << text << " from " << from << " " << morvax::rule_name(rule);
                }
            }
        }
    }
}

}  // namespace
