#include "references/references.hpp"

#include <algorithm>
#include <vector>

#include "parser/grammar.hpp"
#include "parser/tokenize.hpp"

namespace morvax {
namespace {

bool is_operand(const Token& token) {
    return token.kind != TokenKind::Operator && token.kind != TokenKind::Unexpected;
}

// `written` reads back as the node `name` itself: `@x[1]` is a valid
// reference, but to the node `x`.
bool reads_back_as(std::string_view written, std::string_view name) {
    const ParseResult<OwnedNodeReference> parsed = parse_node_reference_from_str(written);
    return parsed.ok() && parsed.value.name == name && !parsed.value.index;
}

// The written form of the commonest names, decided from their bytes without
// scanning: a model can hold 10^5 distinct names, and the scans cost some
// microseconds each. An ASCII identifier is a whole reference after "@" and
// reads back as itself; a name without braces that holds an ASCII character
// no identifier allows (a space, a dot) or begins with a digit cannot follow
// "@", while "@{" takes every character up to the "}" that closes it. Other
// names (braces, or non-ASCII ones that may be identifiers) are scanned.
enum class QuickForm { plain, braced, unknown };

QuickForm quick_form(std::string_view name) {
    auto is_letter = [](unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    auto is_digit = [](unsigned char c) { return c >= '0' && c <= '9'; };
    const auto first = static_cast<unsigned char>(name.front());
    bool ascii = true;
    bool not_identifier = first < 0x80 && !is_letter(first);
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '{' || c == '}') return QuickForm::unknown;
        if (c >= 0x80) {
            ascii = false;
        } else if (!is_letter(c) && !is_digit(c)) {
            not_identifier = true;
        }
    }
    if (not_identifier) return QuickForm::braced;
    return ascii ? QuickForm::plain : QuickForm::unknown;
}

}  // namespace

bool is_valid_node_reference(std::string_view text) {
    if (text.empty()) return false;
    // Scanned as an operand after "=", the way references stand in formulas.
    const std::string formula = "=" + std::string(text);
    const std::vector<Token> tokens = scan_tokens(formula);
    if (tokens.empty() || tokens.back().kind == TokenKind::Unexpected) return false;
    const auto reference = std::find_if(tokens.begin(), tokens.end(), [](const Token& t) {
        return t.kind == TokenKind::NodeReference;
    });
    return reference != tokens.end() && reference->text == text &&
           std::count_if(tokens.begin(), tokens.end(), is_operand) == 1;
}

std::optional<std::string> get_preferred_reference_format(std::string_view name) {
    if (name.empty()) return std::nullopt;
    switch (quick_form(name)) {
        case QuickForm::plain: return "@" + std::string(name);
        case QuickForm::braced: return "@{" + std::string(name) + "}";
        case QuickForm::unknown: break;
    }
    const std::string plain = "@" + std::string(name);
    if (is_valid_node_reference(plain) && reads_back_as(plain, name)) return plain;
    const std::string braced = "@{" + std::string(name) + "}";
    if (is_valid_node_reference(braced) && reads_back_as(braced, name)) return braced;
    return std::nullopt;
}

std::string build_unambiguous_name(std::string_view name, std::size_t occurrence,
                                   std::size_t count) {
    return add_occurrence(get_preferred_reference_format(name).value_or(""), occurrence, count);
}

std::string add_occurrence(std::string written, std::size_t occurrence, std::size_t count) {
    if (count < 2 || written.empty()) return written;
    return written + "[" + std::to_string(occurrence) + "]";
}

ParseResult<OwnedNodeReference> parse_node_reference_from_str(std::string_view text) {
    ParseResult<OwnedNodeReference> result;
    ParseTree tree;
    GrammarFailure failure;
    if (!grammar::parse(Rule::NODE_REFERENCE, text, tree, failure)) {
        result.error = FormulaError::mismatch(text, failure);
        return result;
    }
    // A successful parse of the rule always leaves its node; kept as a value
    // rather than an assumption.
    if (tree.top.empty() || tree.rule_of(tree.top.front()) != Rule::NODE_REFERENCE) {
        result.error = FormulaError::custom(text, "No node reference found", 0, 0);
        return result;
    }
    ParseResult<NodeReference> reference = parse_node_reference(tree, tree.top.front());
    if (!reference.ok()) {
        result.error = std::move(reference.error);
        return result;
    }
    result.value = {std::string(reference.value.name), reference.value.index};
    return result;
}

}  // namespace morvax
