#include "diagnose/spans.hpp"

#include <vector>

#include "parser/language.hpp"
#include "parser/tokenize.hpp"

namespace morvax {
namespace {

// Every part of the tree is visited in text order; each looks for its own
// token from where the previous one ended, so tokens of parts that keep no
// span are passed over.
class Walk {
public:
    explicit Walk(std::string_view text) : tokens_(scan_tokens(text)) {}

    std::unordered_map<const void*, ByteSpan> spans;

    void value(const Value& v) {
        if (v.kind == Value::Kind::Expression) expression(*v.expression);
    }

private:
    template <class Match>
    const Token* next(Match&& match) {
        while (at_ < tokens_.size()) {
            const Token& token = tokens_[at_++];
            if (match(token)) return &token;
        }
        return nullptr;
    }
    const Token* next_kind(TokenKind kind) {
        return next([&](const Token& t) { return t.kind == kind; });
    }
    const Token* next_text(std::string_view text) {
        return next([&](const Token& t) { return t.text == text; });
    }
    // A reference token: `@...` for a node reference, else the keyword's, whose
    // token keeps the spaces that follow it.
    void reference(const void* part, std::string_view keyword) {
        const Token* t = next([&](const Token& token) {
            if (token.kind != TokenKind::NodeReference) return false;
            return keyword.empty() ? token.text.starts_with('@')
                                   : !token.text.starts_with('@') && starts_with_ignoring_case(token.text, keyword);
        });
        if (t == nullptr) return;
        std::size_t end = t->end;
        while (end > t->start && (t->text[end - t->start - 1] == ' ' || t->text[end - t->start - 1] == '\t' ||
                                  t->text[end - t->start - 1] == '\r' || t->text[end - t->start - 1] == '\n')) {
            --end;
        }
        spans[part] = {t->start, end};
    }
    // A call: its name token, the parts inside, then its closing parenthesis.
    template <class Inside>
    void call(const void* part, TokenKind kind, Inside&& inside) {
        const Token* name = next_kind(kind);
        inside();
        const Token* close = next_text(")");
        if (name != nullptr && close != nullptr) spans[part] = {name->start, close->end};
    }

    void expression(const Expression& e) {
        multiplication(e.first);
        for (const AdditionOperation& op : e.rest) multiplication(op.operand);
    }
    void multiplication(const MultiplicationExpression& e) {
        power(e.first);
        for (const MultiplicationOperation& op : e.rest) {
            if (op.op != MulOperator::Multiply) {
                if (const Token* t = next_text(op.op == MulOperator::Divide ? "/" : "%")) spans[&op] = {t->start, t->end};
            }
            power(op.operand);
        }
    }
    void power(const PowerExpression& e) {
        atomic(e.base.operand);
        for (const UnaryExpression& x : e.exponents) atomic(x.operand);
    }
    void arguments(const List<Expression>& args) {
        for (const Expression& arg : args) expression(arg);
    }
    void atomic(const AtomicExpression& a) {
        if (const auto* ref = std::get_if<NodeReference>(&a)) {
            reference(ref, {});
        } else if (const auto* children = std::get_if<ChildrenReference>(&a)) {
            reference(children, kChildrenKeyword);
        } else if (const auto* right = std::get_if<RightReference>(&a)) {
            reference(right, kRightKeyword);
        } else if (const auto* modifier = std::get_if<ModifierCall>(&a)) {
            call(modifier, TokenKind::Modifier, [&] { reference(&modifier->reference, {}); });
        } else if (const auto* function = std::get_if<FunctionCall>(&a)) {
            call(function, TokenKind::Function, [&] { arguments(function->args); });
        } else if (const auto* aggregation = std::get_if<AggregationCall>(&a)) {
            call(aggregation, TokenKind::Aggregation, [&] {
                if (aggregation->args) arguments(*aggregation->args);
            });
        } else if (const auto* conditional = std::get_if<ConditionalCall>(&a)) {
            call(conditional, TokenKind::Conditional, [&] {
                for (const CaseClause& clause : conditional->clauses) {
                    condition(clause.condition.or_expression);
                    expression(*clause.result);
                }
                if (conditional->default_value != nullptr) expression(*conditional->default_value);
            });
        } else if (const auto* inner = std::get_if<Parenthesised>(&a)) {
            next_text("(");
            expression(*inner->inner);
            next_text(")");
        }
    }
    void condition(const OrExpression& e) {
        conjunction(e.first);
        for (const AndExpression& next : e.rest) conjunction(next);
    }
    void conjunction(const AndExpression& e) {
        comparison(e.first.comparison);
        for (const NegationExpression& next : e.rest) comparison(next.comparison);
    }
    void comparison(const ComparisonExpression& c) {
        if (const auto* cmp = std::get_if<Comparison>(&c)) {
            expression(*cmp->left);
            const Token* op = next([](const Token& t) { return t.kind == TokenKind::Operator && is_comparison_spelling(t.text); });
            if (op != nullptr) spans[cmp] = {op->start, op->end};
            expression(*cmp->right);
        } else if (const auto* bare = std::get_if<BareCondition>(&c)) {
            expression(*bare->expression);
        } else {
            next_text("(");
            condition(std::get<ParenthesisedCondition>(c).inner->or_expression);
            next_text(")");
        }
    }

    std::vector<Token> tokens_;
    std::size_t at_ = 0;
};

}  // namespace

std::unordered_map<const void*, ByteSpan> locate_parts(std::string_view text, const Value& value) {
    Walk walk(text);
    walk.value(value);
    return std::move(walk.spans);
}

}  // namespace morvax
