// The scanning algorithm read literally, as the oracle for scan_tokens: every
// rule is asked at every position, on the rest of the text, with
// grammar::match_length alone (no table of first bytes, no shared memo).  It
// is quadratic on texts such as "@{@{@{...", so it is only run on short ones.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/ast.hpp"
#include "parser/grammar.hpp"
#include "parser/tokenize.hpp"
#include "parser/unicode.hpp"

namespace morvax::literal {

struct TokenRule {
    Rule rule;
    TokenKind kind;
    bool boundary;
};

inline constexpr TokenRule kRules[] = {
    {Rule::CHILDREN_REFERENCE, TokenKind::NodeReference, true},
    {Rule::RIGHT_REFERENCE, TokenKind::NodeReference, true},
    {Rule::NODE_REFERENCE, TokenKind::NodeReference, false},
    {Rule::POWER, TokenKind::Operator, false},
    {Rule::GREATER_OR_EQUAL, TokenKind::Operator, false},
    {Rule::LESS_OR_EQUAL, TokenKind::Operator, false},
    {Rule::EQUAL_TO, TokenKind::Operator, false},
    {Rule::NOT_EQUAL, TokenKind::Operator, false},
    {Rule::GREATER_THAN, TokenKind::Operator, false},
    {Rule::LESS_THAN, TokenKind::Operator, false},
    {Rule::NOT, TokenKind::Operator, true},
    {Rule::AND, TokenKind::Operator, true},
    {Rule::OR, TokenKind::Operator, true},
    {Rule::NUMBER_OR_PERCENT, TokenKind::Number, false},
    {Rule::EMPTY, TokenKind::Unexpected, true},
    {Rule::IDENTIFIER, TokenKind::Unexpected, false},
    {Rule::LPAREN, TokenKind::Parenthesis, false},
    {Rule::RPAREN, TokenKind::Parenthesis, false},
    {Rule::EQUALS, TokenKind::Operator, false},
    {Rule::PLUS, TokenKind::Operator, false},
    {Rule::MINUS, TokenKind::Operator, false},
    {Rule::MULTIPLY, TokenKind::Operator, false},
    {Rule::DIVIDE, TokenKind::Operator, false},
    {Rule::MODULO, TokenKind::Operator, false},
    {Rule::SEMICOLON, TokenKind::Operator, false},
};

inline std::optional<std::size_t> match_at(Rule rule, std::string_view text, std::size_t pos) {
    return grammar::match_length(rule, text.substr(pos));
}

inline bool rejected_by_boundary(std::string_view text, std::size_t end) {
    if (end >= text.size()) return false;
    return text[end] == '_' || unicode::is_alphanumeric(unicode::decode(text, end).cp);
}

inline TokenKind identifier_kind(std::string_view name) {
    if (lookup<ModifierName>(name)) return TokenKind::Modifier;
    if (lookup<FunctionName>(name)) return TokenKind::Function;
    if (lookup<AggregationName>(name)) return TokenKind::Aggregation;
    if (lookup<ConditionalName>(name)) return TokenKind::Conditional;
    return TokenKind::Unexpected;
}

inline bool token_at(std::string_view text, std::size_t pos, std::vector<Token>& out) {
    for (const TokenRule& r : kRules) {
        const auto length = match_at(r.rule, text, pos);
        if (!length || (r.boundary && rejected_by_boundary(text, pos + *length))) continue;
        std::string_view matched = text.substr(pos, *length);
        std::size_t end = pos + *length;
        TokenKind kind = r.kind;
        if (r.rule == Rule::NUMBER_OR_PERCENT) {
            const std::string_view trimmed = unicode::trim(matched);
            end = static_cast<std::size_t>(trimmed.data() - text.data()) + trimmed.size();
            matched = trimmed;
        }
        if (r.rule == Rule::IDENTIFIER) kind = identifier_kind(matched);
        out.push_back({std::string(matched), pos, end, kind});
        return true;
    }
    return false;
}

inline std::size_t gap_length(std::string_view text, std::size_t pos) {
    for (std::size_t i = pos; i < text.size(); i = unicode::next_boundary(text, i)) {
        for (const TokenRule& r : kRules) {
            if (!match_at(r.rule, text, i)) continue;
            return i > pos ? i - pos : unicode::next_boundary(text, pos) - pos;
        }
    }
    return text.size() - pos;
}

inline std::vector<Token> scan(std::string_view text) {
    std::vector<Token> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (token_at(text, pos, out)) {
            pos = out.back().end;
            continue;
        }
        const std::size_t gap = gap_length(text, pos);
        const std::string_view piece = text.substr(pos, gap);
        if (!unicode::trim(piece).empty()) {
            out.push_back({std::string(piece), pos, pos + gap, TokenKind::Unexpected});
        }
        pos += gap;
    }
    return out;
}

}  // namespace morvax::literal
