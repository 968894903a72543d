#include "eval/evaluator.hpp"

#include <cmath>

namespace morvax {
namespace {

EvalNote fail(EvalError e) { return EvalResult::error(e); }
EvalNote number(double x) { return EvalResult::number(x); }

EvalNote evaluate_node_reference(const NodeReference& ref, const EvalContext& ctx) {
    if (EvalNote kept = EvalResult(); !ref.index && ctx.kept_reference(ref.name, kept)) return kept;
    ResultList values = ctx.get_reference_value(ref.name, ref.index);
    if (values.empty()) return fail(EvalError::Ref);
    // With an index the context has already picked one node.
    if (ref.index || values.size() == 1) return values.front();
    return EvalNote::many(std::move(values).to_vector());
}

EvalNote evaluate_listed(ResultList values, const Index& index) {
    if (index) return extract_indexed_value(values, *index);
    return EvalNote::many(std::move(values).to_vector());
}

// total of the values of nodes read in dimension 0: their sum, or the
// first error among them.
EvalResult total_values(int, const ResultList& base) {
    double total = -0.0;
    for (const EvalResult& r : base) {
        if (r.is_error()) return r;
        if (r.is_number()) total += r.value();
    }
    return EvalResult::number(total);
}

EvalNote evaluate_modifier(const ModifierCall& call, const EvalContext& ctx) {
    const NodeReference& ref = call.reference;
    // All the nodes of a name: their total as the context may keep it.
    const EvalResult total = ref.index ? total_values(0, ctx.get_cross_dimensional_values(ref.name, ref.index))
                                       : ctx.reduce_named(ref.name, true, EvalContext::kTotalOf, total_values);
    if (total.is_error() || call.name == ModifierName::Total) return total;
    if (total.value() == 0) return fail(EvalError::Value);
    const EvalNote now = evaluate_node_reference(ref, ctx);
    if (now.is_many()) return fail(EvalError::Many);
    const EvalResult& r = now.single();
    if (r.is_number()) return number(r.value() / total.value());
    if (r.is_empty()) return number(0);
    return r;
}

EvalNote evaluate_conditional(const ConditionalCall& call, const EvalContext& ctx) {
    for (const CaseClause& clause : call.clauses) {
        const Truth t = evaluate_boolean(clause.condition, ctx);
        if (t.failed) return fail(t.error);
        if (t.value) return evaluate(*clause.result, ctx);
    }
    if (call.default_value != nullptr) return evaluate(*call.default_value, ctx);
    return EvalResult::empty();
}

EvalNote evaluate_atomic(const AtomicExpression& a, const EvalContext& ctx) {
    switch (a.index()) {
        case atomic_index<NumberLiteral>: return number(std::get<NumberLiteral>(a).value);
        case atomic_index<NodeReference>: return evaluate_node_reference(std::get<NodeReference>(a), ctx);
        case atomic_index<ChildrenReference>: return evaluate_listed(ctx.get_children_values(), std::get<ChildrenReference>(a).index);
        case atomic_index<RightReference>: {
            const Index& index = std::get<RightReference>(a).index;
            if (index) return ctx.get_right_value(*index);
            return evaluate_listed(ctx.get_right_values(), index);
        }
        case atomic_index<ModifierCall>: return evaluate_modifier(std::get<ModifierCall>(a), ctx);
        case atomic_index<FunctionCall>: return evaluate_function(std::get<FunctionCall>(a), ctx);
        case atomic_index<AggregationCall>: return evaluate_aggregation(std::get<AggregationCall>(a), ctx);
        case atomic_index<ConditionalCall>: return evaluate_conditional(std::get<ConditionalCall>(a), ctx);
        case atomic_index<EmptyLiteral>: return EvalResult::empty();
        default: return evaluate(*std::get<Parenthesised>(a).inner, ctx);
    }
}

bool compare(double l, ComparisonOperator op, double r) {
    switch (op) {
        case ComparisonOperator::EqualTo: return l == r;
        case ComparisonOperator::NotEqual: return l != r;
        case ComparisonOperator::GreaterThan: return l > r;
        case ComparisonOperator::LessThan: return l < r;
        case ComparisonOperator::GreaterOrEqual: return l >= r;
        case ComparisonOperator::LessOrEqual: return l <= r;
    }
    return false;
}

Truth evaluate_comparison(const ComparisonExpression& c, const EvalContext& ctx) {
    if (const auto* cmp = std::get_if<Comparison>(&c)) {
        const EvalNote left = evaluate(*cmp->left, ctx);
        const EvalNote right = evaluate(*cmp->right, ctx);
        if (left.is_many() || right.is_many()) return Truth::fail(EvalError::Many);
        const EvalResult& l = left.single();
        const EvalResult& r = right.single();
        if (l.is_error()) return Truth::fail(l.error_kind());
        if (l.is_empty()) return Truth::fail(EvalError::Value);
        if (r.is_error()) return Truth::fail(r.error_kind());
        if (r.is_empty()) return Truth::fail(EvalError::Value);
        return Truth::of(compare(l.value(), cmp->op, r.value()));
    }
    if (const auto* bare = std::get_if<BareCondition>(&c)) {
        const EvalNote note = evaluate(*bare->expression, ctx);
        if (note.is_many()) return Truth::fail(EvalError::Many);
        const EvalResult& r = note.single();
        if (r.is_error()) return Truth::fail(r.error_kind());
        if (r.is_empty()) return Truth::of(false);
        return Truth::of(r.value() != 0);
    }
    return evaluate_boolean(*std::get<ParenthesisedCondition>(c).inner, ctx);
}

}  // namespace

EvalNote extract_indexed_value(std::span<const EvalResult> values, std::size_t index) {
    if (index == 0 || index > values.size()) return fail(EvalError::Ref);
    return values[index - 1];
}

EvalNote evaluate(const Value& value, const EvalContext& ctx) {
    switch (value.kind) {
        case Value::Kind::Number: return number(value.number);
        case Value::Kind::Expression: return evaluate(*value.expression, ctx);
        case Value::Kind::Empty: break;
    }
    return EvalResult::empty();
}

EvalNote evaluate(const Expression& e, const EvalContext& ctx) {
    if (e.rest.empty()) return evaluate(e.first, ctx);
    const NumberRead first = read_number(evaluate(e.first, ctx));
    if (first.failed) return fail(first.error);
    double acc = first.value;
    for (const AdditionOperation& op : e.rest) {
        const NumberRead b = read_number(evaluate(op.operand, ctx));
        if (b.failed) return fail(b.error);
        acc = op.op == AddOperator::Add ? acc + b.value : acc - b.value;
    }
    return number(acc);
}

EvalNote evaluate(const MultiplicationExpression& e, const EvalContext& ctx) {
    if (e.rest.empty()) return evaluate(e.first, ctx);
    const NumberRead first = read_number(evaluate(e.first, ctx));
    if (first.failed) return fail(first.error);
    double acc = first.value;
    for (const MultiplicationOperation& op : e.rest) {
        const NumberRead b = read_number(evaluate(op.operand, ctx));
        if (b.failed) return fail(b.error);
        if (!multiply_step(op.op, acc, b.value)) return fail(EvalError::Value);
    }
    return number(acc);
}

EvalNote evaluate(const PowerExpression& e, const EvalContext& ctx) {
    if (e.exponents.empty()) return evaluate(e.base, ctx);
    const NumberRead base = read_number(evaluate(e.base, ctx));
    if (base.failed) return fail(base.error);
    double acc = base.value;
    for (const UnaryExpression& exponent : e.exponents) {
        const NumberRead x = read_number(evaluate(exponent, ctx));
        if (x.failed) return fail(x.error);
        acc = std::pow(acc, x.value);
    }
    return number(acc);
}

EvalNote evaluate(const UnaryExpression& e, const EvalContext& ctx) {
    EvalNote note = evaluate_atomic(e.operand, ctx);
    if (e.sign != Sign::Minus) return note;
    if (note.is_many()) return fail(EvalError::Many);
    const EvalResult& r = note.single();
    if (r.is_error()) return r;
    if (r.is_empty()) return number(-0.0);
    return number(-r.value());
}

Truth evaluate_boolean(const BooleanExpression& b, const EvalContext& ctx) {
    return evaluate_boolean(b.or_expression, ctx);
}

Truth evaluate_boolean(const OrExpression& e, const EvalContext& ctx) {
    Truth t = evaluate_boolean(e.first, ctx);
    if (t.failed || t.value) return t;
    for (const AndExpression& next : e.rest) {
        t = evaluate_boolean(next, ctx);
        if (t.failed || t.value) return t;
    }
    return Truth::of(false);
}

Truth evaluate_boolean(const AndExpression& e, const EvalContext& ctx) {
    Truth t = evaluate_boolean(e.first, ctx);
    if (t.failed || !t.value) return t;
    for (const NegationExpression& next : e.rest) {
        t = evaluate_boolean(next, ctx);
        if (t.failed || !t.value) return t;
    }
    return Truth::of(true);
}

Truth evaluate_boolean(const NegationExpression& e, const EvalContext& ctx) {
    const Truth t = evaluate_comparison(e.comparison, ctx);
    if (t.failed || !e.negated) return t;
    return Truth::of(!t.value);
}

}  // namespace morvax
