// Construction of syntax trees from parse nodes, and the checks the grammar
// leaves open: numbers, indexes, names, argument counts and case clauses.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "parser/ast.hpp"
#include "parser/direct.hpp"
#include "parser/grammar.hpp"
#include "parser/numbers.hpp"

namespace morvax {

// A failed parse or construction: one heap record, built only on failure.  A
// default-constructed FormulaError means "no error".
class FormulaError {
public:
    enum class Kind : std::uint8_t { Mismatch, Custom };

    struct Record {
        Kind kind;
        RuleSet expected;    // Mismatch: rules expected at `start`
        RuleSet unexpected;  // Mismatch: rules not expected there
        std::string message; // Custom: the message
        std::size_t start;
        std::size_t end;     // == start for a position
        bool is_span;
        std::size_t line;    // from 1
        std::size_t column;  // from 1, in characters
        std::string line_text;
    };

    FormulaError() = default;
    static FormulaError mismatch(std::string_view text, const GrammarFailure& failure);
    static FormulaError custom(std::string_view text, std::string message, std::size_t start,
                               std::size_t end);

    explicit operator bool() const { return record_ != nullptr; }
    const Record& record() const { return *record_; }

    // The custom message, or for a mismatch a sentence naming the rules.
    std::string message() const;

private:
    explicit FormulaError(std::unique_ptr<Record> r) : record_(std::move(r)) {}
    std::unique_ptr<Record> record_;
};

template <class T>
struct ParseResult {
    T value{};
    FormulaError error;
    // Parsed with StackRoom::Shallow, the text nests deeper than
    // kShallowNesting: neither parsed nor failed, it is to be parsed again
    // with StackRoom::Deep.
    bool needs_deep_stack = false;
    // Read by the direct reading, not by the full grammar.
    bool direct = false;
    bool ok() const { return !error && !needs_deep_stack; }
};

// The stack a parse runs on, and that the syntax tree it builds is used on
// (construction, evaluation and translation all recurse once per nesting
// level).  Deep: room for kMaxNesting levels, which a text nested deeper
// fails.  Shallow: any thread's stack, however small; a text nested deeper
// than kShallowNesting comes back with `needs_deep_stack`.  Both give the same
// result for every text they parse.
enum class StackRoom : std::uint8_t { Shallow, Deep };

struct FormulaParser {
    // A stored formula: empty, a bare number, or "=" and an expression.
    // `literals`, when given, gets where the direct reading took the
    // tree's literals from (meaningful when the result is `direct`).
    static ParseResult<Value> parse_formula(std::string_view text, Arena& arena,
                                            StackRoom room = StackRoom::Deep,
                                            std::vector<direct::Literal>* literals = nullptr);
    // A condition text (no leading "=").
    static ParseResult<const BooleanExpression*> parse_condition(
        std::string_view text, Arena& arena, StackRoom room = StackRoom::Deep);

    // The same through the full grammar and parse nodes only, skipping the
    // direct reading; the two must agree on every text.
    static ParseResult<Value> parse_formula_by_grammar(std::string_view text, Arena& arena,
                                                       StackRoom room = StackRoom::Deep);
    static ParseResult<const BooleanExpression*> parse_condition_by_grammar(
        std::string_view text, Arena& arena, StackRoom room = StackRoom::Deep);
};

// Builders over the nodes of a successful parse of `tree.text`.
ParseResult<const BooleanExpression*> parse_boolean_expression(const ParseTree& tree,
                                                               NodeId boolean_expression,
                                                               Arena& arena);
ParseResult<NodeReference> parse_node_reference(const ParseTree& tree, NodeId node_reference);

}  // namespace morvax
