// The small tables of the formula language, each written once: the names of
// functions, aggregations, modifiers and conditionals, a function's argument
// count, the shape of `if`, the comparison operators and the other keywords,
// with the one ASCII case folding that every keyword match uses.  All are
// constexpr, so the readers that loop over them cost what their hand-written
// copies did.
//
// Adding a function touches:
//   - FunctionName, kFunctionKeywords and kFunctionArity, here: the grammar, the one-pass parser, the syntax-tree
//     builder, the token scanner, the dump and the diagnosis hints read them;
//   - the evaluators: src/eval/functions.cpp (its value) and the compiled
//     steps and src/diagnose/tree.cpp where they switch over FunctionName;
//   - function_format in src/excel/convert.cpp (its spreadsheet form);
//   - docs/language.md.
// An aggregation is the same with AggregationName, kAggregationKeywords and
// aggregation_function in src/excel/convert.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "parser/rules.hpp"

namespace morvax {

// -- ASCII case folding ----------------------------------------------------------
// Keywords and the name hints ignore the case of ASCII letters only: any
// other byte, UTF-8 included, compares as it is.

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `text` holds `lower` (lower case) from `at` on, ignoring ASCII
// case; `at` is at most the size of `text`.
constexpr bool matches_ignoring_case(std::string_view text, std::size_t at, std::string_view lower) {
    if (text.size() - at < lower.size()) return false;
    for (std::size_t i = 0; i < lower.size(); ++i) {
        if (ascii_lower(text[at + i]) != lower[i]) return false;
    }
    return true;
}

// Whether `text` begins with `lower` (lower case), ignoring ASCII case.
constexpr bool starts_with_ignoring_case(std::string_view text, std::string_view lower) {
    return matches_ignoring_case(text, 0, lower);
}

constexpr bool equals_ignoring_case(std::string_view text, std::string_view lower) {
    return text.size() == lower.size() && starts_with_ignoring_case(text, lower);
}

constexpr bool contains_ignoring_case(std::string_view text, std::string_view lower) {
    for (std::size_t at = 0; at + lower.size() <= text.size(); ++at) {
        if (matches_ignoring_case(text, at, lower)) return true;
    }
    return false;
}

inline std::string ascii_lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = ascii_lower(c);
    return out;
}

// -- keywords --------------------------------------------------------------------

inline constexpr std::string_view kChildrenKeyword = "children";
inline constexpr std::string_view kRightKeyword = "right";
inline constexpr std::string_view kEmptyKeyword = "empty";
inline constexpr std::string_view kNotKeyword = "not";
inline constexpr std::string_view kAndKeyword = "and";
inline constexpr std::string_view kOrKeyword = "or";

enum class ModifierName : std::uint8_t { Total, Ratio };
enum class FunctionName : std::uint8_t { Abs, Round, Ceil, Floor, Pow, Root, Log, Mod, Sign, IfError };
enum class AggregationName : std::uint8_t { Sum, Mult, Avg, Median, Stdev, Max, Min, Count, Coalesce };
enum class ConditionalName : std::uint8_t { If, When };

// The keywords of each name enumeration, in its order, which is also the order
// the grammar tries them in.
inline constexpr std::array<std::string_view, 2> kModifierKeywords = {"total", "ratio"};
inline constexpr std::array<std::string_view, 10> kFunctionKeywords = {
    "abs", "round", "ceil", "floor", "pow", "root", "log", "mod", "sign", "iferror"};
inline constexpr std::array<std::string_view, 9> kAggregationKeywords = {
    "sum", "mult", "avg", "median", "stdev", "max", "min", "count", "coalesce"};
inline constexpr std::array<std::string_view, 2> kConditionalKeywords = {"if", "when"};

template <class E>
constexpr const auto& keywords() {
    if constexpr (std::is_same_v<E, ModifierName>) {
        return kModifierKeywords;
    } else if constexpr (std::is_same_v<E, FunctionName>) {
        return kFunctionKeywords;
    } else if constexpr (std::is_same_v<E, AggregationName>) {
        return kAggregationKeywords;
    } else {
        static_assert(std::is_same_v<E, ConditionalName>);
        return kConditionalKeywords;
    }
}

template <class E>
constexpr std::string_view keyword(E name) {
    return keywords<E>()[static_cast<std::size_t>(name)];
}

// Name-table lookup: the whole text, ASCII letters compared without case.  No
// trimming happens here.
template <class E>
constexpr std::optional<E> lookup(std::string_view text) {
    const auto& table = keywords<E>();
    for (std::size_t v = 0; v < table.size(); ++v) {
        if (equals_ignoring_case(text, table[v])) return static_cast<E>(v);
    }
    return std::nullopt;
}

// -- functions and conditionals ----------------------------------------------------

// How many arguments a function takes: from `min` to `max`.
struct Arity {
    std::size_t min;
    std::size_t max;
    constexpr bool admits(std::size_t n) const { return n >= min && n <= max; }
};

inline constexpr std::array<Arity, kFunctionKeywords.size()> kFunctionArity = {{
    {1, 1},  // abs
    {1, 2},  // round: digits, by default 0
    {1, 1},  // ceil
    {1, 1},  // floor
    {2, 2},  // pow
    {2, 2},  // root
    {1, 2},  // log: base, by default 10
    {2, 2},  // mod
    {1, 1},  // sign
    {1, 2},  // iferror: fallback, by default empty
}};

constexpr Arity arity(FunctionName name) { return kFunctionArity[static_cast<std::size_t>(name)]; }

// The clauses a conditional takes: `if` exactly one and a default, `when` one
// or more and a default or none.
struct ConditionalShape {
    std::optional<std::size_t> clauses;  // nothing: any number
    bool needs_default;
};

constexpr ConditionalShape conditional_shape(ConditionalName name) {
    return name == ConditionalName::If ? ConditionalShape{1, true} : ConditionalShape{std::nullopt, false};
}

// -- comparisons -----------------------------------------------------------------

enum class ComparisonOperator : std::uint8_t {
    EqualTo,
    NotEqual,
    GreaterThan,
    LessThan,
    GreaterOrEqual,
    LessOrEqual,
};

struct ComparisonToken {
    ComparisonOperator op;
    Rule rule;                                 // the grammar's token rule
    std::array<std::string_view, 2> spellings; // the first is the canonical one; the second may be empty
    std::string_view first_bytes;              // the bytes a spelling begins with
    std::string_view spreadsheet;              // the spreadsheet's spelling
};

// In the order every reader tries them: a two-character spelling before the
// one-character spelling that is its prefix.
inline constexpr ComparisonToken kComparisonTokens[] = {
    {ComparisonOperator::GreaterOrEqual, Rule::GREATER_OR_EQUAL, {">="}, ">", ">="},
    {ComparisonOperator::LessOrEqual, Rule::LESS_OR_EQUAL, {"<="}, "<", "<="},
    {ComparisonOperator::EqualTo, Rule::EQUAL_TO, {"=="}, "=", "="},
    {ComparisonOperator::NotEqual, Rule::NOT_EQUAL, {"!=", "<>"}, "!<", "<>"},
    {ComparisonOperator::GreaterThan, Rule::GREATER_THAN, {">"}, ">", ">"},
    {ComparisonOperator::LessThan, Rule::LESS_THAN, {"<"}, "<", "<"},
};

constexpr bool first_bytes_agree() {
    for (const ComparisonToken& t : kComparisonTokens) {
        for (std::size_t i = 0; i < t.spellings.size(); ++i) {
            if (t.spellings[i].empty() != (i >= t.first_bytes.size())) return false;
            if (!t.spellings[i].empty() && t.spellings[i][0] != t.first_bytes[i]) return false;
        }
    }
    return true;
}
static_assert(first_bytes_agree());

struct ComparisonSpelling {
    std::string_view text;
    ComparisonOperator op;
};

constexpr std::size_t comparison_spelling_count() {
    std::size_t n = 0;
    for (const ComparisonToken& t : kComparisonTokens) n += t.first_bytes.size();
    return n;
}

constexpr std::array<ComparisonSpelling, comparison_spelling_count()> comparison_spellings() {
    std::array<ComparisonSpelling, comparison_spelling_count()> out{};
    std::size_t n = 0;
    for (const ComparisonToken& t : kComparisonTokens) {
        for (std::size_t i = 0; i < t.first_bytes.size(); ++i) {
            out[n].text = t.spellings[i];
            out[n].op = t.op;
            ++n;
        }
    }
    return out;
}

// Every spelling of the table, in its order, as one flat list: what a reader
// of the text loops over.
inline constexpr auto kComparisonSpellings = comparison_spellings();

constexpr const ComparisonToken& comparison_token(ComparisonOperator op) {
    for (const ComparisonToken& t : kComparisonTokens) {
        if (t.op == op) return t;
    }
    return kComparisonTokens[0];  // every operator has a row
}

constexpr std::optional<ComparisonOperator> comparison_of_rule(Rule rule) {
    for (const ComparisonToken& t : kComparisonTokens) {
        if (t.rule == rule) return t.op;
    }
    return std::nullopt;
}

// Whether `text` is one spelling of a comparison operator.
constexpr bool is_comparison_spelling(std::string_view text) {
    for (const ComparisonSpelling& s : kComparisonSpellings) {
        if (s.text == text) return true;
    }
    return false;
}

}  // namespace morvax
