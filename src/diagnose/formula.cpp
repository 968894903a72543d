// diagnose_formula: the parser's failure, stretched over the text it points
// at, and a hint for the slips that newcomers to the language make.
#include <string>

#include "diagnose/diagnose.hpp"
#include "eval/formula_stack.hpp"
#include "parser/language.hpp"
#include "parser/parse.hpp"
#include "parser/unicode.hpp"

namespace morvax {
namespace {

bool is_word_byte(char c) { return unicode::is_ascii_name_byte(static_cast<unsigned char>(c)); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A failure at one position points at the word there, or at one character.
std::size_t offending_end(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) return text.size();
    if (!is_word_byte(text[pos])) return unicode::next_boundary(text, pos);
    std::size_t end = pos;
    while (end < text.size() && is_word_byte(text[end])) ++end;
    return end;
}

// The keywords of a name table, joined by ", ".
template <class E>
std::string keyword_list() {
    std::string out;
    for (std::string_view word : keywords<E>()) {
        if (!out.empty()) out += ", ";
        out += word;
    }
    return out;
}

// Deeply nested texts are parsed on a stack segment: the calling thread's
// stack may be small.
ParseResult<Value> parse_anywhere(std::string_view text, Arena& arena) {
    StackSegments segments;
    StackRoom room;
    return parse_formula_where_it_fits(segments, text, arena, room);
}

bool parses(std::string_view text) {
    Arena arena;
    return parse_anywhere(text, arena).ok();
}

// Round brackets opened and not closed, outside `@{...}` names.
std::size_t unclosed_parentheses(std::string_view text) {
    std::size_t open = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "@{") == 0) {
            const std::size_t close = text.find('}', i + 2);
            if (close == std::string_view::npos) break;
            i = close;
        } else if (text[i] == '(') {
            ++open;
        } else if (text[i] == ')' && open > 0) {
            --open;
        }
    }
    return open;
}

std::string hint_for(std::string_view text, std::size_t pos, std::size_t end) {
    const std::string word = ascii_lowered(text.substr(pos, end - pos));
    const std::string_view trimmed = unicode::trim(text);
    if (!trimmed.empty() && trimmed.front() != '=' && parses("=" + std::string(trimmed))) {
        return "a calculation starts with '=': =" + std::string(trimmed);
    }
    if (pos < text.size() && text[pos] == ',') {
        return "arguments are separated by ';', not ',' (a ',' belongs to numbers: 1,5 is one and a half)";
    }
    if (pos > 0 && is_digit(text[pos - 1]) && !word.empty() && word.front() == 'e' &&
        (word.size() > 1 || (pos + 1 < text.size() && (text[pos + 1] == '-' || text[pos + 1] == '+')))) {
        return "numbers have no exponent: write the digits out (1e5 is 100000)";
    }
    if (word == "inf" || word == "infinity" || word == "nan") {
        return "'" + word + "' is a result, not a number a formula can hold";
    }
    if (const std::size_t open = unclosed_parentheses(text); open > 0) {
        return open == 1 ? "a '(' is not closed: add ')'" : std::to_string(open) + " '(' are not closed: add ')'";
    }
    std::size_t after = end;
    while (after < text.size() && text[after] == ' ') ++after;
    if (!word.empty() && is_word_byte(word.front()) && !is_digit(word.front()) && after < text.size() &&
        text[after] == '(') {
        return "'" + std::string(text.substr(pos, end - pos)) + "' is no function of the language (" +
               keyword_list<FunctionName>() + "), aggregation (" + keyword_list<AggregationName>() + "), " +
               keyword_list<ModifierName>() + ", " + std::string(keyword(ConditionalName::If)) + " or " +
               std::string(keyword(ConditionalName::When));
    }
    return {};
}

}  // namespace

std::optional<FormulaProblem> diagnose_formula(std::string_view text) {
    Arena arena;
    const ParseResult<Value> parsed = parse_anywhere(text, arena);
    if (parsed.ok()) return std::nullopt;
    const FormulaError::Record& record = parsed.error.record();
    std::size_t start = std::min(record.start, text.size());
    std::size_t end = record.is_span ? std::min(record.end, text.size()) : offending_end(text, start);
    FormulaProblem problem;
    problem.message = parsed.error.message();
    problem.hint = hint_for(text, start, end);
    problem.start = unicode::count_chars(text.substr(0, start));
    problem.end = problem.start + unicode::count_chars(text.substr(start, end - start));
    return problem;
}

}  // namespace morvax
