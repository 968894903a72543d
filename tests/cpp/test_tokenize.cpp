// The token scanner: kinds and texts of tokens, their byte spans, the gaps that
// become "unexpected" tokens, and agreement with the algorithm read literally.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "literal_scan.hpp"
#include "parser/tokenize.hpp"

namespace {

using morvax::Token;
using morvax::scan_tokens;

// Tokens as `"text":kind`, separated by spaces.
std::string dump(const std::vector<Token>& tokens) {
    std::string out;
    for (const Token& t : tokens) {
        if (!out.empty()) out += ' ';
        out += '"' + t.text + "\":" + std::string(morvax::display_name(t.kind));
    }
    return out;
}

// Token spans as `start-end`, separated by spaces.
std::string spans(const std::vector<Token>& tokens) {
    std::string out;
    for (const Token& t : tokens) {
        if (!out.empty()) out += ' ';
        out += std::to_string(t.start) + '-' + std::to_string(t.end);
    }
    return out;
}

struct Row {
    std::string_view text;
    std::string_view tokens;
};

void check_rows(std::initializer_list<Row> rows) {
    for (const Row& row : rows) CHECK_EQ(dump(scan_tokens(row.text)), row.tokens) << row.text;
}

TEST(tokens_of_every_kind) {
    check_rows({
        {"=1 + 2", R"t("=":operator "1":number "+":operator "2":number)t"},
        {"@a;children;right", R"t("@a":nodereference ";":operator "children":nodereference ";":operator )t"
                             R"t("right":nodereference)t"},
        {"total RATIO", R"t("total":modifier "RATIO":modifier)t"},
        {"abs round Ceil floor pow root log mod sign IfError",
         R"t("abs":function "round":function "Ceil":function "floor":function "pow":function )t"
         R"t("root":function "log":function "mod":function "sign":function "IfError":function)t"},
        {"sum mult avg median stdev max min count COALESCE",
         R"t("sum":aggregation "mult":aggregation "avg":aggregation "median":aggregation )t"
         R"t("stdev":aggregation "max":aggregation "min":aggregation "count":aggregation )t"
         R"t("COALESCE":aggregation)t"},
        {"if When", R"t("if":conditional "When":conditional)t"},
        {"( )", R"t("(":parenthesis ")":parenthesis)t"},
        {"foo sumx _x", R"t("foo":unexpected "sumx":unexpected "_x":unexpected)t"},
        {"empty EMPTY", R"t("empty":unexpected "EMPTY":unexpected)t"},
        {"=sum(children)/count(children)",
         R"t("=":operator "sum":aggregation "(":parenthesis "children":nodereference )t"
         R"t(")":parenthesis "/":operator "count":aggregation "(":parenthesis )t"
         R"t("children":nodereference ")":parenthesis)t"},
        {"=if(@a>1;2;3)",
         R"t("=":operator "if":conditional "(":parenthesis "@a":nodereference ">":operator )t"
         R"t("1":number ";":operator "2":number ";":operator "3":number ")":parenthesis)t"},
    });
}

TEST(operators_in_both_spellings) {
    check_rows({
        {">= <= == != <> > <",
         R"t(">=":operator "<=":operator "==":operator "!=":operator "<>":operator )t"
         R"t(">":operator "<":operator)t"},
        {"2**3^4", R"t("2":number "**":operator "3":number "^":operator "4":number)t"},
        {"***", R"t("**":operator "*":operator)t"},
        {"=<", R"t("=":operator "<":operator)t"},
        {"<==", R"t("<=":operator "=":operator)t"},
        {"+-*/%;", R"t("+":operator "-":operator "*":operator "/":operator "%":operator ";":operator)t"},
        {"not AND Or", R"t("not":operator "AND":operator "Or":operator)t"},
        {"!", R"t("!":unexpected)t"},
    });
}

TEST(keywords_are_whole_words) {
    check_rows({
        {"ANDROID", R"t("ANDROID":unexpected)t"},
        {"children_total", R"t("children_total":unexpected)t"},
        {"AND2", R"t("AND2":unexpected)t"},
        {"1<2AND2<3", R"t("1":number "<":operator "2":number "AND2":unexpected "<":operator "3":number)t"},
        {"order notx or_ emptyx", R"t("order":unexpected "notx":unexpected "or_":unexpected "emptyx":unexpected)t"},
        {"childrenx right2", R"t("childrenx":unexpected "right2":unexpected)t"},
        // the whitespace the keyword's match keeps is followed by a letter
        {"children right", R"t("children":unexpected "right":nodereference)t"},
        // a letter after a non-ASCII letter or digit
        {"and\xc3\xa9 or\xd9\xa3", "\"and\xc3\xa9\":unexpected \"or\xd9\xa3\":unexpected"},
        // the word ends at a character that is neither: the keyword stands
        {"and.", R"t("and":operator ".":unexpected)t"},
        {"or(", R"t("or":operator "(":parenthesis)t"},
        {"ifx if(", R"t("ifx":unexpected "if":conditional "(":parenthesis)t"},
    });
}

TEST(numbers_and_percent_signs) {
    check_rows({
        {"50%", R"t("50%":number)t"},
        {"50% + 1", R"t("50%":number "+":operator "1":number)t"},
        {"50%3", R"t("50":number "%":operator "3":number)t"},
        {"50% 3", R"t("50":number "%":operator "3":number)t"},
        {"50%(1)", R"t("50":number "%":operator "(":parenthesis "1":number ")":parenthesis)t"},
        {"50%@a", R"t("50":number "%":operator "@a":nodereference)t"},
        {"50%_", R"t("50":number "%":operator "_":unexpected)t"},
        {"50%%3", R"t("50%":number "%":operator "3":number)t"},
        {"50%-3", R"t("50%":number "-":operator "3":number)t"},
        {"50 % 3", R"t("50":number "%":operator "3":number)t"},
        {"50%\n", R"t("50%":number)t"},
        {"1,5% - 2.5%", R"t("1,5%":number "-":operator "2.5%":number)t"},
        {"1,234.56 1.234,56 1,234,567", R"t("1,234.56":number "1.234,56":number "1,234,567":number)t"},
        {"1,234,5678", R"t("1,234,567":number "8":number)t"},
        {"1. .5", R"t("1":number ". .":unexpected "5":number)t"},
        {"1e5", R"t("1":number "e5":unexpected)t"},
    });
}

TEST(references_with_braces_brackets_and_indexes) {
    check_rows({
        {"@Revenue[2]", R"t("@Revenue[2]":nodereference)t"},
        {"@{Gross margin}", R"t("@{Gross margin}":nodereference)t"},
        {"@{a[1]}[2]", R"t("@{a[1]}[2]":nodereference)t"},
        {"@{a{b}c}", R"t("@{a{b}c}":nodereference)t"},
        {"@{}", R"t("@{}":nodereference)t"},
        {"@{a}}", R"t("@{a}":nodereference "}":unexpected)t"},
        {"@a [2]", R"t("@a":nodereference " [":unexpected "2":number "]":unexpected)t"},
        {"@a[1 2]", R"t("@a":nodereference "[":unexpected "1":number "2":number "]":unexpected)t"},
        {"@ a", R"t("@ ":unexpected "a":unexpected)t"},
        {"@{", R"t("@{":unexpected)t"},
        {"@{@{@{", R"t("@{@{@{":unexpected)t"},
        {"@{x@{y}z", R"t("@{":unexpected "x":unexpected "@{y}":nodereference "z":unexpected)t"},
        {"children + 1", R"t("children ":nodereference "+":operator "1":number)t"},
        {"CHILDREN [ 1 ]", R"t("CHILDREN [ 1 ]":nodereference)t"},
        {"children[1 2]", R"t("children[1 2]":nodereference)t"},
        {"children[-1]", R"t("children":nodereference "[":unexpected "-":operator "1":number "]":unexpected)t"},
        {"right[2]*2", R"t("right[2]":nodereference "*":operator "2":number)t"},
        // whitespace kept by the match is followed by a letter: not the keyword
        {"right  x", R"t("right":unexpected "x":unexpected)t"},
        {"children [1]x", R"t("children":unexpected " [":unexpected "1":number "]":unexpected "x":unexpected)t"},
        {"children [1] x", R"t("children [1]":nodereference "x":unexpected)t"},
    });
}

TEST(gaps_whitespace_and_non_ascii) {
    check_rows({
        {"", ""},
        {" \t\r\n", ""},
        {"\xc2\xa0\xe2\x80\x83", ""},  // no-break space, em space
        {"1 $ 2", R"t("1":number " $ ":unexpected "2":number)t"},
        {"1 + $$", R"t("1":number "+":operator " $$":unexpected)t"},
        {"$", R"t("$":unexpected)t"},
        {"=\xc3\xbcn\xc3\xaf + \xe6\x97\xa5\xe6\x9c\xac",
         "\"=\":operator \"\xc3\xbcn\xc3\xaf\":unexpected \"+\":operator "
         "\"\xe6\x97\xa5\xe6\x9c\xac\":unexpected"},
        {"a\xcc\x81 \xe2\x82\xac 1", "\"a\xcc\x81\":unexpected \" \xe2\x82\xac \":unexpected \"1\":number"},
        {"\xff" "1", "\"\xff\":unexpected \"1\":number"},  // a byte that is no UTF-8
    });
}

TEST(token_spans_are_byte_offsets) {
    const struct {
        std::string_view text;
        std::string_view spans;
    } rows[] = {
        {"1 $ 2", "0-1 1-4 4-5"},
        {"=\xc3\xbcn\xc3\xaf + 1", "0-1 1-6 7-8 9-10"},
        {"@{\xe6\x97\xa5} \xe2\x82\xac 50%", "0-6 6-11 11-14"},
        {"children  + right[1]", "0-10 10-11 12-20"},
        {"  x  ", "2-3"},
    };
    for (const auto& row : rows) CHECK_EQ(spans(scan_tokens(row.text)), row.spans) << row.text;
}

// Texts built from pieces that meet every rule and every boundary case, so
// that the scanner's shortcuts (rules skipped by their first byte, braced
// names remembered across positions) can be compared with the literal reading.
const std::string_view kPieces[] = {
    "@", "@{", "{", "}", "[", "]", "1", "2,345", ".6", "%", " ", "\t", "children", "RIGHT",
    "and", "Or", "not", "empty", "sum", "total", "if", "x", "_", "*", "^", "<", ">", "=", "!",
    "(", ")", ";", "-", "+", "/", "$", "\xc3\xa9", "\xe2\x82\xac", "\xd9\xa3", "\xff",
};

TEST(scanner_agrees_with_the_literal_reading) {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state] {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        return state;
    };
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const std::size_t count = 1 + next() % 12;
        for (std::size_t i = 0; i < count; ++i) text += kPieces[next() % std::size(kPieces)];
        CHECK_EQ(dump(scan_tokens(text)), dump(morvax::literal::scan(text))) << text;
        CHECK_EQ(spans(scan_tokens(text)), spans(morvax::literal::scan(text))) << text;
    }
}

TEST(every_first_byte_agrees_with_the_literal_reading) {
    for (int byte = 0; byte < 256; ++byte) {
        for (std::string_view rest : kPieces) {
            const std::string text = std::string(1, static_cast<char>(byte)) + std::string(rest);
            CHECK(scan_tokens(text) == morvax::literal::scan(text)) << "byte " << byte << " then " << rest;
        }
    }
}

}  // namespace
