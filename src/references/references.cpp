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
