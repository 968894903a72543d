// The ten functions and nine aggregations.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <vector>

#include "eval/evaluator.hpp"

namespace morvax {
namespace {

EvalNote fail(EvalError e) { return EvalResult::error(e); }
EvalNote number(double x) { return EvalResult::number(x); }

// 10 to the integer power n by repeated squaring, as the rounding function
// defines its factor.
double power_of_ten(std::int64_t n) {
    std::uint64_t bits = n < 0 ? static_cast<std::uint64_t>(-n) : static_cast<std::uint64_t>(n);
    double r = 1;
    double b = 10;
    while (bits != 0) {
        if (bits & 1) r *= b;
        b *= b;
        bits >>= 1;
    }
    return n < 0 ? 1 / r : r;
}

// `no_places`: the second argument was Empty, which keeps the factor at 1.
EvalNote round_to(double x, bool no_places, double places) {
    double factor = 1;
    if (!no_places) {
        double n = std::round(places);
        if (std::isnan(n)) n = 0;
        n = std::clamp(n, -2147483648.0, 2147483647.0);
        factor = power_of_ten(static_cast<std::int64_t>(n));
    }
    return number(std::round(x * factor) / factor);
}

EvalNote iferror(const FunctionCall& call, const EvalContext& ctx) {
    EvalNote x = evaluate(call.args[0], ctx);
    if (x.is_many() || !x.single().is_error()) return x;
    if (call.args.size() == 1) return EvalResult::empty();
    return evaluate(call.args[1], ctx);
}

// IEEE total order: -NaN < -inf < ... < -0 < +0 < ... < inf < NaN.
std::int64_t total_order_key(double x) {
    auto bits = std::bit_cast<std::int64_t>(x);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// Whether `e` is nothing but `right` (or `+right`): all its later values,
// of which coalesce needs only the first that holds something.
bool bare_right(const Expression& e) {
    if (!e.rest.empty() || !e.first.rest.empty() || !e.first.first.exponents.empty()) return false;
    const UnaryExpression& u = e.first.first.base;
    const auto* right = std::get_if<RightReference>(&u.operand);
    return right != nullptr && !right->index && u.sign != Sign::Minus;
}

// What aggregation `how` makes of the values of all the nodes of a name,
// as it would of them as its only argument.
EvalResult reduce_named_values(int how, const ResultList& values) {
    // No node: the reference alone is a REF!.
    if (values.empty()) return EvalResult::error(EvalError::Ref);
    const auto name = static_cast<AggregationName>(how);
    if (name == AggregationName::Coalesce) {
        for (const EvalResult& r : values)
            if (!r.is_empty()) return r;
        return EvalResult::empty();
    }
    double inline_buffer[16];
    std::pmr::monotonic_buffer_resource pool(inline_buffer, sizeof(inline_buffer));
    std::pmr::vector<double> xs(&pool);
    xs.reserve(values.size());
    for (const EvalResult& r : values) {
        if (r.is_error()) return r;
        if (r.is_number()) xs.push_back(r.value());
    }
    return reduce_numbers(name, xs).as_eval_result();
}

EvalNote coalesce(const List<Expression>& args, const EvalContext& ctx) {
    for (const Expression& arg : args) {
        if (bare_right(arg)) {
            const EvalResult first = ctx.get_first_right_value();
            if (!first.is_empty()) return first;
            continue;
        }
        EvalNote note = evaluate(arg, ctx);
        if (!note.is_many()) {
            if (!note.single().is_empty()) return note;
            continue;
        }
        for (const EvalResult& r : note.list())
            if (!r.is_empty()) return r;
    }
    return EvalResult::empty();
}

}  // namespace

EvalNote evaluate_function(const FunctionCall& call, const EvalContext& ctx) {
    if (call.name == FunctionName::IfError) return iferror(call, ctx);

    const EvalNote first = evaluate(call.args[0], ctx);
    const NumberRead x = read_number(first);
    if (x.failed) return fail(x.error);
    // The second argument is evaluated only after the first read well.
    const bool two = call.args.size() > 1;
    const EvalNote second = two ? evaluate(call.args[1], ctx) : EvalNote(EvalResult::empty());
    const NumberRead y = read_number(second);
    if (two && y.failed) return fail(y.error);
    const bool second_empty = !second.is_many() && second.single().is_empty();
    return apply_function(call.name, x.value, two, second_empty, y.value);
}

EvalNote apply_function(FunctionName name, double x, bool two, bool second_empty, double y) {
    switch (name) {
        case FunctionName::Abs: return number(std::fabs(x));
        case FunctionName::Round:
            if (!two) return number(std::round(x));
            return round_to(x, second_empty, y);
        case FunctionName::Ceil: return number(std::ceil(x));
        case FunctionName::Floor: return number(std::floor(x));
        case FunctionName::Pow: return number(std::pow(x, y));
        case FunctionName::Root:
            if (y == 0) return fail(EvalError::Value);
            return number(std::pow(x, 1 / y));
        case FunctionName::Log:
            if (!two) {
                if (x <= 0) return fail(EvalError::Value);
                return number(std::log10(x));
            }
            if (y == 1 || x <= 0 || y <= 0) return fail(EvalError::Value);
            return number(std::log(x) / std::log(y));
        case FunctionName::Mod:
            if (y == 0) return fail(EvalError::Value);
            return number(std::fmod(x, y));
        case FunctionName::Sign:
            return number(x < 0 ? -1.0 : x > 0 ? 1.0 : 0.0);
        case FunctionName::IfError: break;
    }
    return fail(EvalError::Error);
}

const NodeReference* whole_name(const Expression& e) {
    if (!e.rest.empty() || !e.first.rest.empty() || !e.first.first.exponents.empty()) return nullptr;
    const UnaryExpression& u = e.first.first.base;
    if (u.sign == Sign::Minus) return nullptr;
    // Parentheses and a plus sign pass the reference's values on unchanged.
    if (const auto* inner = std::get_if<Parenthesised>(&u.operand)) return whole_name(*inner->inner);
    const auto* ref = std::get_if<NodeReference>(&u.operand);
    return ref != nullptr && !ref->index ? ref : nullptr;
}

EvalNote evaluate_aggregation(const AggregationCall& call, const EvalContext& ctx) {
    const List<Expression> args = call.args.value_or(List<Expression>{});
    if (args.size() == 1) {
        if (const NodeReference* ref = whole_name(args[0])) {
            return ctx.reduce_named(ref->name, false, static_cast<int>(call.name), reduce_named_values);
        }
    }
    if (call.name == AggregationName::Coalesce) return coalesce(args, ctx);

    // Short argument lists collect without touching the heap.
    double inline_buffer[16];
    std::pmr::monotonic_buffer_resource pool(inline_buffer, sizeof(inline_buffer));
    std::pmr::vector<double> xs(&pool);
    for (const Expression& arg : args) {
        EvalNote note = evaluate(arg, ctx);
        if (!note.is_many()) {
            const EvalResult& r = note.single();
            if (r.is_error()) return r;
            if (r.is_number()) xs.push_back(r.value());
            continue;
        }
        for (const EvalResult& r : note.list()) {
            if (r.is_error()) return r;
            if (r.is_number()) xs.push_back(r.value());
        }
    }

    return reduce_numbers(call.name, xs);
}

EvalNote reduce_numbers(AggregationName name, std::span<double> xs) {
    const std::size_t n = xs.size();
    auto sum = [&] {
        double s = -0.0;
        for (double x : xs) s += x;
        return s;
    };
    switch (name) {
        case AggregationName::Sum: return number(sum());
        case AggregationName::Mult: {
            double p = 1;
            for (double x : xs) p *= x;
            return number(p);
        }
        case AggregationName::Avg:
            if (n == 0) return fail(EvalError::Value);
            return number(sum() / static_cast<double>(n));
        case AggregationName::Median: {
            if (n == 0) return fail(EvalError::Value);
            if (n == 1) return number(xs[0]);
            // The middle of the order, selected rather than sorted: linear,
            // and without recursion, so a program step's stack holds it.
            auto before = [](double a, double b) { return total_order_key(a) < total_order_key(b); };
            const auto middle = xs.begin() + static_cast<std::ptrdiff_t>(n / 2);
            std::nth_element(xs.begin(), middle, xs.end(), before);
            if (n % 2 == 1) return number(*middle);
            // The one just below the middle: the last in order of those before it.
            return number((*std::max_element(xs.begin(), middle, before) + *middle) * 0.5);
        }
        case AggregationName::Stdev: {
            if (n < 2) return fail(EvalError::Value);
            const double mean = sum() / static_cast<double>(n);
            double s = -0.0;
            for (double x : xs) s += (x - mean) * (x - mean);
            return number(std::sqrt(s / static_cast<double>(n - 1)));
        }
        case AggregationName::Max:
        case AggregationName::Min: {
            if (n == 0) return fail(EvalError::Value);
            const bool max = name == AggregationName::Max;
            double acc = xs[0];
            for (std::size_t i = 1; i < n; ++i)
                acc = max ? std::fmax(acc, xs[i]) : std::fmin(acc, xs[i]);
            return number(acc);
        }
        case AggregationName::Count: return number(static_cast<double>(n));
        case AggregationName::Coalesce: break;
    }
    return fail(EvalError::Error);
}

}  // namespace morvax
