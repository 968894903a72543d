// The grammar's rule identifiers.  Their order is the sort order of failure
// reports, and their names are the printable names.
#pragma once

#include <cstdint>
#include <string_view>

namespace morvax {

#define MORVAX_RULES(X)                                                                        \
    X(EOI) X(value) X(boolean_value) X(expression) X(addition_expression)                     \
    X(multiplication_expression) X(power_expression) X(unary_expression) X(atomic_expression) \
    X(modifier_expression) X(modifier_name) X(function_expression) X(function_name)           \
    X(function_args) X(aggregation_expression) X(aggregation_name) X(aggregator_args)         \
    X(conditional_expression) X(conditional_name) X(conditional_args) X(boolean_expression)   \
    X(or_expression) X(and_expression) X(negation_expression) X(atomic_boolean_expression)    \
    X(EQUALS) X(PLUS) X(MINUS) X(MULTIPLY) X(DIVIDE) X(MODULO) X(POWER) X(COMPARISON_OP)      \
    X(EQUAL_TO) X(NOT_EQUAL) X(GREATER_THAN) X(LESS_THAN) X(GREATER_OR_EQUAL)                 \
    X(LESS_OR_EQUAL) X(NOT) X(AND) X(OR) X(NODE_REFERENCE) X(CHILDREN_REFERENCE)              \
    X(RIGHT_REFERENCE) X(INDEX) X(NUMBER) X(NUMBER_OR_PERCENT) X(OPERAND_START)               \
    X(SIGNED_NUMBER) X(IDENTIFIER) X(CURLY_IDENTIFIER) X(LPAREN) X(RPAREN) X(LBRACKET)        \
    X(RBRACKET) X(AT) X(LCURLYAT) X(RCURLY) X(SEMICOLON) X(EMPTY) X(WHITESPACE)

enum class Rule : std::uint8_t {
#define MORVAX_RULE_ENUM(name) name,
    MORVAX_RULES(MORVAX_RULE_ENUM)
#undef MORVAX_RULE_ENUM
};

inline constexpr int kRuleCount = 62;
static_assert(static_cast<int>(Rule::WHITESPACE) + 1 == kRuleCount);

inline constexpr std::string_view kRuleNames[kRuleCount] = {
#define MORVAX_RULE_NAME(name) #name,
    MORVAX_RULES(MORVAX_RULE_NAME)
#undef MORVAX_RULE_NAME
};

constexpr std::string_view rule_name(Rule r) { return kRuleNames[static_cast<int>(r)]; }

// A set of rules, iterated in rule order.
using RuleSet = std::uint64_t;
constexpr RuleSet rule_bit(Rule r) { return RuleSet{1} << static_cast<int>(r); }

}  // namespace morvax
