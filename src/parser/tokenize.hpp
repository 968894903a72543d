// The token scanner: cuts a formula text into classified tokens for display
// and for the reference machinery, without building a syntax tree.  It has no
// lexer of its own: at each position it asks the grammar to match single token
// rules, and text that no rule accepts becomes an "unexpected" token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace morvax {

enum class TokenKind : std::uint8_t {
    Number,
    Operator,
    NodeReference,
    Modifier,
    Function,
    Aggregation,
    Conditional,
    Parenthesis,
    Unexpected,
};

inline constexpr int kTokenKindCount = 9;

// The name a caller sees for each kind, in kind order.
inline constexpr std::string_view kTokenKindNames[kTokenKindCount] = {
    "number",      "operator",    "nodereference", "modifier",   "function",
    "aggregation", "conditional", "parenthesis",   "unexpected",
};

constexpr std::string_view display_name(TokenKind kind) {
    return kTokenKindNames[static_cast<int>(kind)];
}

struct Token {
    std::string text;
    std::size_t start;  // byte offsets into the scanned text, end exclusive
    std::size_t end;
    TokenKind kind;

    bool operator==(const Token&) const = default;
};

// The tokens of `text` in text order.  Never fails; whitespace between tokens
// belongs to none.  Linear in the length of the text, whatever it holds.
// Asks `stop` before each token and ends early, with the tokens so far, once
// it says true: a text can hold millions of them.
std::vector<Token> scan_tokens(std::string_view text, const std::function<bool()>& stop = {});

}  // namespace morvax
