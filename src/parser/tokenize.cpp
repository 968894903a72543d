#include "parser/tokenize.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <utility>

#include "parser/ast.hpp"
#include "parser/grammar.hpp"
#include "parser/unicode.hpp"

namespace morvax {
namespace {

struct Candidate {
    Rule rule;
    TokenKind kind;         // IDENTIFIER's is decided by its name
    bool whole_word;        // rejected when a letter, digit or "_" follows the match
    std::string_view first; // the bytes a match can begin with
    bool non_ascii = false; // ... and any byte of a multi-byte character
};

// The comparison operators, in the order of their table.
constexpr Candidate comparison(std::size_t i) {
    return {kComparisonTokens[i].rule, TokenKind::Operator, false, kComparisonTokens[i].first_bytes};
}
static_assert(std::size(kComparisonTokens) == 6);

constexpr std::string_view kIdentifierStart =
    "_ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The rules tried at each position, in order; the first that matches decides,
// so two-character operators come before one-character ones, references before
// identifiers, and the keywords before IDENTIFIER.
constexpr Candidate kCandidates[] = {
    {Rule::CHILDREN_REFERENCE, TokenKind::NodeReference, true, "cC"},
    {Rule::RIGHT_REFERENCE, TokenKind::NodeReference, true, "rR"},
    {Rule::NODE_REFERENCE, TokenKind::NodeReference, false, "@"},
    {Rule::POWER, TokenKind::Operator, false, "*^"},
    comparison(0), comparison(1), comparison(2), comparison(3), comparison(4), comparison(5),
    {Rule::NOT, TokenKind::Operator, true, "nN"},
    {Rule::AND, TokenKind::Operator, true, "aA"},
    {Rule::OR, TokenKind::Operator, true, "oO"},
    {Rule::NUMBER_OR_PERCENT, TokenKind::Number, false, "0123456789"},
    {Rule::EMPTY, TokenKind::Unexpected, true, "eE"},
    {Rule::IDENTIFIER, TokenKind::Unexpected, false, kIdentifierStart, true},
    {Rule::LPAREN, TokenKind::Parenthesis, false, "("},
    {Rule::RPAREN, TokenKind::Parenthesis, false, ")"},
    {Rule::EQUALS, TokenKind::Operator, false, "="},
    {Rule::PLUS, TokenKind::Operator, false, "+"},
    {Rule::MINUS, TokenKind::Operator, false, "-"},
    {Rule::MULTIPLY, TokenKind::Operator, false, "*"},
    {Rule::DIVIDE, TokenKind::Operator, false, "/"},
    {Rule::MODULO, TokenKind::Operator, false, "%"},
    {Rule::SEMICOLON, TokenKind::Operator, false, ";"},
};
constexpr int kCandidateCount = static_cast<int>(std::size(kCandidates));
static_assert(kCandidateCount == 25);

// Bit i: candidate i can match text that begins with this byte.  Only an
// optimisation: a rule that cannot start here is not asked, every other is
// asked the grammar in order as usual.
using CandidateSet = std::uint32_t;

constexpr std::array<CandidateSet, 256> starts_table() {
    std::array<CandidateSet, 256> table{};
    for (int i = 0; i < kCandidateCount; ++i) {
        const CandidateSet bit = CandidateSet{1} << i;
        for (char c : kCandidates[i].first) table[static_cast<unsigned char>(c)] |= bit;
        if (kCandidates[i].non_ascii) {
            for (int b = 0x80; b < 0x100; ++b) table[b] |= bit;
        }
    }
    return table;
}
constexpr std::array<CandidateSet, 256> kStartsWith = starts_table();

TokenKind classify_name(std::string_view name) {
    if (lookup<ModifierName>(name)) return TokenKind::Modifier;
    if (lookup<FunctionName>(name)) return TokenKind::Function;
    if (lookup<AggregationName>(name)) return TokenKind::Aggregation;
    if (lookup<ConditionalName>(name)) return TokenKind::Conditional;
    return TokenKind::Unexpected;
}

// The candidates that come after `candidate` in the order of trying.
constexpr CandidateSet after(int candidate) { return ~((CandidateSet{2} << candidate) - 1); }

// One scan of one text.
class Scanner {
public:
    Scanner(std::string_view text, const std::function<bool()>& stop) : text_(text), matcher_(text), stop_(stop) {
        tokens_.reserve(std::min<std::size_t>(text.size(), 64));
    }

    std::vector<Token> run() {
        std::size_t pos = 0;
        Hit found;  // the first match at `pos`, when a gap walk found it
        while (pos < text_.size()) {
            if (stop_ && stop_()) break;
            if (const Hit hit = token_at(pos, std::exchange(found, Hit{}))) {
                pos = append_token(pos, hit);
            } else {
                pos = append_gap(pos, found);
            }
        }
        return std::move(tokens_);
    }

private:
    // A match, or none (candidate -1). Not a std::optional: one is copied at
    // every token, and an optional's flag, written apart from the rest and
    // read back with it, stalls the processor at each copy.
    struct Hit {
        int candidate = -1;
        std::size_t length = 0;

        explicit operator bool() const { return candidate >= 0; }
    };

    CandidateSet candidates_at(std::size_t pos) const {
        return kStartsWith[static_cast<unsigned char>(text_[pos])];
    }

    // The first candidate of `set`, in order, that matches at `pos`.
    Hit first_match(std::size_t pos, CandidateSet set) {
        for (; set != 0; set &= set - 1) {
            const int i = std::countr_zero(set);
            const std::size_t length = matcher_.match_length(kCandidates[i].rule, pos);
            // An empty match would never advance; no token rule has one.
            if (length != grammar::SuffixMatcher::kNoMatch && length > 0) return Hit{i, length};
        }
        return {};
    }

    // The first match at `pos` that does not end in the middle of a word;
    // `hit` is the first match there when it is already known.
    Hit token_at(std::size_t pos, Hit hit) {
        if (!hit) hit = first_match(pos, candidates_at(pos));
        while (hit && kCandidates[hit.candidate].whole_word && continues_word(pos + hit.length)) {
            hit = first_match(pos, candidates_at(pos) & after(hit.candidate));
        }
        return hit;
    }

    bool continues_word(std::size_t at) const {
        if (at >= text_.size()) return false;
        return text_[at] == '_' || unicode::is_alphanumeric(unicode::decode(text_, at).cp);
    }

    std::size_t append_token(std::size_t pos, Hit hit) {
        const Candidate& c = kCandidates[hit.candidate];
        std::string_view matched = text_.substr(pos, hit.length);
        TokenKind kind = c.kind;
        std::size_t end = pos + hit.length;
        if (c.rule == Rule::NUMBER_OR_PERCENT) {
            const std::string_view trimmed = unicode::trim(matched);
            end = pos + static_cast<std::size_t>(trimmed.data() - matched.data()) + trimmed.size();
            matched = trimmed;
        } else if (c.rule == Rule::IDENTIFIER) {
            kind = classify_name(matched);
        }
        tokens_.push_back({std::string(matched), pos, end, kind});
        return end;
    }

    // Text no rule accepts at `pos` runs up to the next position where any rule
    // matches, whole word or not (that match is left in `found`).  It is kept,
    // surrounding whitespace and all, unless it is only whitespace.
    std::size_t append_gap(std::size_t pos, Hit& found) {
        std::size_t end = pos;
        while (end < text_.size() && !(found = first_match(end, candidates_at(end)))) {
            end = unicode::next_boundary(text_, end);
        }
        if (end == pos) {
            // Only a word rejected at `pos` matches there: the gap is its first character.
            end = unicode::next_boundary(text_, pos);
            found = {};
        }
        const std::string_view gap = text_.substr(pos, end - pos);
        if (!unicode::trim(gap).empty()) {
            tokens_.push_back({std::string(gap), pos, end, TokenKind::Unexpected});
        }
        return end;
    }

    std::string_view text_;
    grammar::SuffixMatcher matcher_;
    const std::function<bool()>& stop_;
    std::vector<Token> tokens_;
};

}  // namespace

std::vector<Token> scan_tokens(std::string_view text, const std::function<bool()>& stop) {
    return Scanner(text, stop).run();
}

}  // namespace morvax
