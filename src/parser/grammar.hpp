// The formula grammar: a parsing-expression grammar (ordered choice, greedy
// repetition, no backtracking into a settled alternative) run by a hand-written
// matcher.  A parse yields flat parse nodes (rule, byte span, children) or a
// failure at the furthest position any rule was attempted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "parser/frames.hpp"
#include "parser/rules.hpp"

namespace morvax {

// The grammar's own whitespace (its WHITESPACE rule), skipped between the
// items of normal rules.
constexpr bool is_grammar_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Nesting deeper than this many parentheses, calls or parenthesised conditions
// fails the parse, on every thread: the one limit of the language.
inline constexpr int kMaxNesting = 256;

// Texts nested at most this deep are parsed, and their syntax trees used, on
// the calling thread's own stack, which may be small; deeper ones are parsed
// on a stack segment with room for kMaxNesting (see StackRoom in parse.hpp).
// Parsing takes about 1 KiB of stack a level, 10 KiB instrumented.
inline constexpr int kShallowNesting = MORVAX_LARGE_FRAMES ? 1 : 8;

using NodeId = std::uint32_t;

struct ParseNode {
    std::size_t start;
    std::size_t end;  // exclusive
    std::uint32_t first_child;  // index into ParseTree::child_ids
    std::uint32_t child_count;
    Rule rule;
};

// Parse nodes of one successful parse.  Nodes refer to the text by offsets;
// `text` views the parsed text, which must outlive the tree.  Short formulas
// are parsed without touching the heap: the node lists start in an inline
// buffer.  Not movable, since the lists point into that buffer.
class ParseTree {
public:
    ParseTree() = default;
    ParseTree(const ParseTree&) = delete;
    ParseTree& operator=(const ParseTree&) = delete;

    std::string_view text;
    std::pmr::vector<ParseNode> nodes{&scratch_};
    std::pmr::vector<NodeId> child_ids{&scratch_};
    std::pmr::vector<NodeId> top{&scratch_};  // the nodes matched by the start rule

    const ParseNode& node(NodeId id) const { return nodes[id]; }
    std::span<const NodeId> children(NodeId id) const {
        const ParseNode& n = nodes[id];
        return {child_ids.data() + n.first_child, n.child_count};
    }
    std::string_view text_of(NodeId id) const {
        const ParseNode& n = nodes[id];
        return text.substr(n.start, n.end - n.start);
    }
    Rule rule_of(NodeId id) const { return nodes[id].rule; }

    // Where the parser keeps its own working lists, freed with the tree.
    std::pmr::memory_resource* scratch() { return &scratch_; }

private:
    // Small: the parser's fallback runs on the caller's stack, which may be small.
    alignas(std::max_align_t) std::byte buffer_[1024];
    std::pmr::monotonic_buffer_resource scratch_{buffer_, sizeof(buffer_)};
};

struct GrammarFailure {
    std::size_t pos = 0;      // furthest position at which a rule was attempted
    RuleSet expected = 0;     // rules that failed there
    RuleSet unexpected = 0;   // rules that matched there inside a negative look-ahead
    bool too_deep = false;    // the text nests deeper than the parse allowed
};

namespace grammar {

// Parses `text` with `start` anchored at offset 0; the rule need not consume
// the whole text.  On success fills `tree` (its `text` is set to `text`).
// Nesting deeper than `max_nesting` stops the parse with `too_deep`.
bool parse(Rule start, std::string_view text, ParseTree& tree, GrammarFailure& failure,
           int max_nesting = kMaxNesting);

// Length of the match of `rule` parsed alone on `text` from offset 0, or
// nothing when it does not match.  Builds no nodes; any rule may be asked.
std::optional<std::size_t> match_length(Rule rule, std::string_view text);

// Matches single rules on the suffixes of one text, for a caller that asks at
// many positions (the token scanner).  Gives the same answers as
// `match_length(rule, text.substr(from))`, but remembers where the walk of a
// braced name ran to the end of the text without a closing "}": without that,
// a text like "@{@{@{..." is walked to its end again from every "@{", which
// is quadratic.  Allocates only when a braced name is left open.
class SuffixMatcher {
public:
    explicit SuffixMatcher(std::string_view text) : text_(text) {}

    // The length, or kNoMatch: not an optional, which the scanner asks for
    // at every candidate, and whose flag, stored apart from the length and
    // loaded back with it, stalls the processor at each answer.
    static constexpr std::size_t kNoMatch = static_cast<std::size_t>(-1);
    std::size_t match_length(Rule rule, std::size_t from);

private:
    std::string_view text_;
    std::vector<bool> open_name_;  // per byte: a braced name begun here is never closed
};

}  // namespace grammar
}  // namespace morvax
