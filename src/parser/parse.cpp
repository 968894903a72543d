#include "parser/parse.hpp"

#include <charconv>
#include <system_error>

#include "parser/direct.hpp"
#include "parser/unicode.hpp"

namespace morvax {

// -- Arena --------------------------------------------------------------------

void* Arena::raw_in_new_chunk(std::size_t size, std::size_t align) {
    const std::size_t chunk = std::max(next_chunk_, size + align);
    chunks_.push_back(std::unique_ptr<std::byte[]>(new std::byte[chunk]));  // not zeroed
    cur_ = chunks_.back().get();
    end_ = cur_ + chunk;
    next_chunk_ = std::min<std::size_t>(next_chunk_ * 2, std::size_t{1} << 20);
    return raw(size, align);
}

// -- FormulaError -------------------------------------------------------------

namespace {

std::unique_ptr<FormulaError::Record> locate(std::string_view text, std::size_t start,
                                             std::size_t end, bool is_span) {
    auto r = std::make_unique<FormulaError::Record>();
    start = std::min(start, text.size());
    r->start = start;
    r->end = std::max(start, std::min(end, text.size()));
    r->is_span = is_span;
    std::size_t line_start = 0;
    std::size_t line = 1;
    for (std::size_t i = text.find('\n'); i != std::string_view::npos && i < start;
         i = text.find('\n', i + 1)) {
        ++line;
        line_start = i + 1;
    }
    std::size_t line_end = text.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = text.size();
    std::size_t visible_end = line_end;
    if (line_end < text.size() && visible_end > line_start && text[visible_end - 1] == '\r')
        --visible_end;
    r->line = line;
    r->column = 1 + unicode::count_chars(text.substr(line_start, start - line_start));
    r->line_text.assign(text.substr(line_start, visible_end - line_start));
    return r;
}

std::string rule_list(RuleSet set) {
    std::string out;
    int total = 0;
    for (int i = 0; i < kRuleCount; ++i) total += (set >> i) & 1;
    int seen = 0;
    for (int i = 0; i < kRuleCount; ++i) {
        if (((set >> i) & 1) == 0) continue;
        if (seen > 0) out += (seen + 1 == total) ? (total > 2 ? ", or " : " or ") : ", ";
        out += kRuleNames[i];
        ++seen;
    }
    return out;
}

}  // namespace

FormulaError FormulaError::mismatch(std::string_view text, const GrammarFailure& failure) {
    if (failure.too_deep) {
        return custom(text, "Formula nested more than " + std::to_string(kMaxNesting) +
                                " levels deep",
                      failure.pos, failure.pos);
    }
    auto r = locate(text, failure.pos, failure.pos, false);
    r->kind = Kind::Mismatch;
    r->expected = failure.expected;
    r->unexpected = failure.unexpected;
    return FormulaError(std::move(r));
}

FormulaError FormulaError::custom(std::string_view text, std::string message, std::size_t start,
                                  std::size_t end) {
    auto r = locate(text, start, end, end != start);
    r->kind = Kind::Custom;
    r->expected = r->unexpected = 0;
    r->message = std::move(message);
    return FormulaError(std::move(r));
}

std::string FormulaError::message() const {
    if (!record_) return {};
    const Record& r = *record_;
    if (r.kind == Kind::Custom) return r.message;
    if (r.expected != 0 && r.unexpected != 0)
        return "unexpected " + rule_list(r.unexpected) + "; expected " + rule_list(r.expected);
    if (r.expected != 0) return "expected " + rule_list(r.expected);
    if (r.unexpected != 0) return "unexpected " + rule_list(r.unexpected);
    return "unknown parsing error";
}

// -- construction ---------------------------------------------------------------

namespace {

// Walks the nodes of one parse and places the syntax tree in the arena.  Every
// method returns false once `error` is set; the first failure in text order
// wins because children are built in order.
class Builder {
public:
    Builder(const ParseTree& tree, Arena& arena) : t_(tree), arena_(arena) {}

    FormulaError error;

    bool expression(NodeId id, Expression& out) {
        return operations(
            t_.children(id)[0], [&](NodeId first) { return multiplication(first, out.first); }, out.rest,
            [&](NodeId op, NodeId operand, AdditionOperation& item) {
                item.op = rule(op) == Rule::PLUS ? AddOperator::Add : AddOperator::Subtract;
                return multiplication(operand, item.operand);
            });
    }

    const Expression* boxed_expression(NodeId id) {
        auto* e = arena_.allocate<Expression>(1);
        return expression(id, *e) ? e : nullptr;
    }

    bool boolean(NodeId id, BooleanExpression& out) {
        OrExpression& o = out.or_expression;
        return operations(
            t_.children(id)[0], [&](NodeId first) { return and_expression(first, o.first); }, o.rest,
            [&](NodeId, NodeId operand, AndExpression& item) { return and_expression(operand, item); });
    }

    const BooleanExpression* boxed_boolean(NodeId id) {
        auto* b = arena_.allocate<BooleanExpression>(1);
        return boolean(id, *b) ? b : nullptr;
    }

    bool node_reference(NodeId id, NodeReference& out) {
        auto kids = t_.children(id);
        std::size_t i = 0;
        if (i < kids.size() && rule(kids[i]) == Rule::LCURLYAT) {
            out.name = t_.text_of(kids[i + 1]);
            i += 3;  // "@{", name, "}"
        } else {
            out.name = t_.text_of(kids[i + 1]);
            i += 2;  // "@", name
        }
        return bracket_index(kids, i, out.index);
    }

    bool number(NodeId id, double& out) {
        std::string message;
        if (convert_number_text(t_.text_of(id), out, message)) return true;
        return fail(std::move(message), id);
    }

private:
    Rule rule(NodeId id) const { return t_.rule_of(id); }

    bool fail(std::string message, NodeId at) {
        const ParseNode& n = t_.node(at);
        error = FormulaError::custom(t_.text, std::move(message), n.start, n.end);
        return false;
    }

    bool bracket_index(std::span<const NodeId> kids, std::size_t i, Index& out) {
        out.reset();
        if (i + 1 >= kids.size() || rule(kids[i]) != Rule::LBRACKET ||
            rule(kids[i + 1]) != Rule::INDEX)
            return true;
        const std::string_view digits = t_.text_of(kids[i + 1]);
        std::size_t value = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec != std::errc{} || end != digits.data() + digits.size() || digits.empty() ||
            digits.front() == '-')
            return fail("Invalid index", kids[i + 1]);
        out = value;
        return true;
    }

    // A node whose children are first (operator operand)*: `first` builds
    // the first operand, `build(operator, operand, item)` each further one.
    template <class Item, class First, class Build>
    bool operations(NodeId id, First&& first, List<Item>& out, Build&& build) {
        auto kids = t_.children(id);
        if (!first(kids[0])) return false;
        const std::size_t n = (kids.size() - 1) / 2;
        auto* items = arena_.allocate<Item>(n);
        for (std::size_t i = 0; i < n; ++i)
            if (!build(kids[1 + 2 * i], kids[2 + 2 * i], items[i])) return false;
        out = {items, n};
        return true;
    }

    bool multiplication(NodeId id, MultiplicationExpression& out) {
        return operations(
            id, [&](NodeId first) { return power(first, out.first); }, out.rest,
            [&](NodeId op, NodeId operand, MultiplicationOperation& item) {
                switch (rule(op)) {
                    case Rule::MULTIPLY: item.op = MulOperator::Multiply; break;
                    case Rule::DIVIDE: item.op = MulOperator::Divide; break;
                    default: item.op = MulOperator::Modulo; break;
                }
                return power(operand, item.operand);
            });
    }

    bool power(NodeId id, PowerExpression& out) {
        return operations(
            id, [&](NodeId first) { return unary(first, out.base); }, out.exponents,
            [&](NodeId, NodeId operand, UnaryExpression& item) { return unary(operand, item); });
    }

    bool unary(NodeId id, UnaryExpression& out) {
        auto kids = t_.children(id);
        std::size_t i = 0;
        out.sign = Sign::None;
        if (rule(kids[0]) == Rule::MINUS) out.sign = Sign::Minus, i = 1;
        if (rule(kids[0]) == Rule::PLUS) out.sign = Sign::Plus, i = 1;
        return atomic(kids[i], out.operand);
    }

    bool atomic(NodeId id, AtomicExpression& out) {
        auto kids = t_.children(id);
        const NodeId first = kids[0];
        switch (rule(first)) {
            case Rule::NUMBER_OR_PERCENT: {
                double v = 0;
                if (!number(first, v)) return false;
                out = NumberLiteral{v};
                return true;
            }
            case Rule::NODE_REFERENCE: {
                NodeReference ref;
                if (!node_reference(first, ref)) return false;
                out = ref;
                return true;
            }
            case Rule::CHILDREN_REFERENCE:
            case Rule::RIGHT_REFERENCE: {
                Index index;
                if (!bracket_index(t_.children(first), 0, index)) return false;
                if (rule(first) == Rule::CHILDREN_REFERENCE)
                    out = ChildrenReference{index};
                else
                    out = RightReference{index};
                return true;
            }
            case Rule::modifier_expression: return modifier(first, out);
            case Rule::function_expression: return function(first, out);
            case Rule::aggregation_expression: return aggregation(first, out);
            case Rule::conditional_expression: return conditional(first, out);
            case Rule::EMPTY: out = EmptyLiteral{}; return true;
            default: {  // "(" expression ")"
                const Expression* inner = boxed_expression(kids[1]);
                if (inner == nullptr) return false;
                out = Parenthesised{inner};
                return true;
            }
        }
    }

    template <class E>
    E name_of(NodeId name_node) {
        // The grammar admits only known names, so the lookup cannot fail.
        return *lookup<E>(unicode::trim(t_.text_of(name_node)));
    }

    bool modifier(NodeId id, AtomicExpression& out) {
        auto kids = t_.children(id);
        ModifierCall call{name_of<ModifierName>(kids[0]), {}};
        for (NodeId k : kids) {
            if (rule(k) == Rule::NODE_REFERENCE) {
                if (!node_reference(k, call.reference)) return false;
                break;
            }
        }
        out = call;
        return true;
    }

    // The argument expressions of a function_args or aggregator_args node.
    bool arguments(NodeId id, List<Expression>& out) {
        auto kids = t_.children(id);
        const std::size_t n = (kids.size() + 1) / 2;
        auto* args = arena_.allocate<Expression>(n);
        for (std::size_t i = 0; i < n; ++i)
            if (!expression(kids[2 * i], args[i])) return false;
        out = {args, n};
        return true;
    }

    bool function(NodeId id, AtomicExpression& out) {
        auto kids = t_.children(id);
        FunctionCall call{name_of<FunctionName>(kids[0]), {}};
        if (kids.size() > 2 && rule(kids[2]) == Rule::function_args &&
            !arguments(kids[2], call.args))
            return false;
        const std::size_t got = call.args.size();
        const Arity expected = arity(call.name);
        if (!expected.admits(got)) {
            const std::string count = expected.min == expected.max
                                          ? std::to_string(expected.min)
                                          : "one of [" + std::to_string(expected.min) + ", " +
                                                std::to_string(expected.max) + "]";
            return fail("Function '" + std::string(unicode::trim(t_.text_of(kids[0]))) + "' expects " + count +
                            " argument" + (expected.max == 1 ? "" : "s") + ", but got " + std::to_string(got),
                        id);
        }
        out = call;
        return true;
    }

    bool aggregation(NodeId id, AtomicExpression& out) {
        auto kids = t_.children(id);
        AggregationCall call{name_of<AggregationName>(kids[0]), std::nullopt};
        if (kids.size() > 2 && rule(kids[2]) == Rule::aggregator_args) {
            List<Expression> args;
            if (!arguments(kids[2], args)) return false;
            call.args = args;
        }
        out = call;
        return true;
    }

    bool conditional(NodeId id, AtomicExpression& out) {
        auto kids = t_.children(id);
        ConditionalCall call{name_of<ConditionalName>(kids[0]), {}, nullptr};
        std::span<const NodeId> args;
        if (kids.size() > 2 && rule(kids[2]) == Rule::conditional_args) args = t_.children(kids[2]);

        std::size_t clauses = 0;
        for (std::size_t i = 0; i < args.size() && rule(args[i]) == Rule::boolean_expression;
             i += 4)
            ++clauses;
        auto* list = arena_.allocate<CaseClause>(clauses);
        std::size_t i = 0, built = 0;
        while (i < args.size() && rule(args[i]) == Rule::boolean_expression) {
            CaseClause& c = list[built++];
            if (!boolean(args[i], c.condition)) return false;
            c.result = boxed_expression(args[i + 2]);
            if (c.result == nullptr) return false;
            if (i + 3 < args.size() && rule(args[i + 3]) == Rule::SEMICOLON) {
                i += 4;
            } else {
                i += 3;
                break;
            }
        }
        call.clauses = {list, built};
        if (i < args.size()) {
            NodeId d = args[i];
            bool has = rule(d) == Rule::expression;
            if (!has && rule(d) == Rule::SEMICOLON && i + 1 < args.size())
                d = args[i + 1], has = true;
            if (has && (call.default_value = boxed_expression(d)) == nullptr) return false;
        }

        const ConditionalShape shape = conditional_shape(call.name);
        if (shape.clauses || shape.needs_default) {
            const std::string name(unicode::trim(t_.text_of(kids[0])));
            if (shape.clauses && built != *shape.clauses)
                return fail("Conditional '" + name + "' expects " + std::to_string(*shape.clauses) +
                                " case clause" + (*shape.clauses == 1 ? "" : "s") + ", but got " +
                                std::to_string(built),
                            id);
            if (shape.needs_default && call.default_value == nullptr)
                return fail("Conditional '" + name +
                                "' requires an else clause, but none was provided",
                            id);
        }
        out = call;
        return true;
    }

    bool and_expression(NodeId id, AndExpression& out) {
        return operations(
            id, [&](NodeId first) { return negation(first, out.first); }, out.rest,
            [&](NodeId, NodeId operand, NegationExpression& item) { return negation(operand, item); });
    }

    bool negation(NodeId id, NegationExpression& out) {
        auto kids = t_.children(id);
        std::size_t nots = 0;
        while (rule(kids[nots]) == Rule::NOT) ++nots;
        out.negated = nots % 2 == 1;
        auto inner = t_.children(kids[nots]);
        const NodeId first = inner[0];
        switch (rule(first)) {
            case Rule::expression: {
                const Expression* left = boxed_expression(first);
                if (left == nullptr) return false;
                if (inner.size() == 1) {
                    out.comparison = BareCondition{left};
                    return true;
                }
                const std::optional<ComparisonOperator> op = comparison_of_rule(rule(inner[1]));
                if (!op)
                    return fail("Unexpected comparison operator: " + std::string(rule_name(rule(inner[1]))),
                                inner[1]);
                const Expression* right = boxed_expression(inner[2]);
                if (right == nullptr) return false;
                out.comparison = Comparison{left, *op, right};
                return true;
            }
            case Rule::LPAREN:
            case Rule::boolean_expression: {
                const NodeId b = rule(first) == Rule::LPAREN ? inner[1] : first;
                const BooleanExpression* nested = boxed_boolean(b);
                if (nested == nullptr) return false;
                out.comparison = ParenthesisedCondition{nested};
                return true;
            }
            default:
                return fail("Unexpected rule in comparison expression: " +
                                std::string(rule_name(rule(first))),
                            first);
        }
    }

    const ParseTree& t_;
    Arena& arena_;
};

}  // namespace

namespace {

int nesting_limit(StackRoom room) { return room == StackRoom::Shallow ? kShallowNesting : kMaxNesting; }

// The direct reading first; the full grammar when it is not sure.  On a
// shallow stack, a text the direct reading finds too deep goes no further.
template <class T, class Direct, class Grammar>
ParseResult<T> parse_with(std::string_view text, Arena& arena, StackRoom room, Direct&& direct,
                          Grammar&& grammar) {
    ParseResult<T> result;
    direct::NestingLimit limit;
    if (room == StackRoom::Shallow) limit.max = kShallowNesting;
    if (direct(text, arena, result.value, limit)) {
        result.direct = true;
        return result;
    }
    if (limit.exceeded && room == StackRoom::Shallow) {
        result.needs_deep_stack = true;
        return result;
    }
    return grammar(text, arena, room);
}

// Whether a failed grammar parse is only a shallow stack's limit: the text
// then needs a deep stack rather than failing.
template <class T>
bool deep_only(const GrammarFailure& failure, StackRoom room, ParseResult<T>& result) {
    if (!failure.too_deep || room != StackRoom::Shallow) return false;
    result.needs_deep_stack = true;
    return true;
}

}  // namespace

ParseResult<Value> FormulaParser::parse_formula(std::string_view text, Arena& arena,
                                                StackRoom room, std::vector<direct::Literal>* literals) {
    return parse_with<Value>(
        text, arena, room,
        [literals](std::string_view t, Arena& a, Value& out, direct::NestingLimit& limit) {
            return direct::parse_formula(t, a, out, limit, literals);
        },
        parse_formula_by_grammar);
}

ParseResult<Value> FormulaParser::parse_formula_by_grammar(std::string_view text, Arena& arena,
                                                           StackRoom room) {
    ParseResult<Value> result;
    ParseTree tree;
    GrammarFailure failure;
    if (!grammar::parse(Rule::value, text, tree, failure, nesting_limit(room))) {
        if (!deep_only(failure, room, result)) result.error = FormulaError::mismatch(text, failure);
        return result;
    }
    Builder b(tree, arena);
    auto kids = tree.children(tree.top[0]);
    for (std::size_t i = 0; i < kids.size(); ++i) {
        const Rule r = tree.rule_of(kids[i]);
        if (r == Rule::EQUALS) {
            const Expression* e = b.boxed_expression(kids[i + 1]);
            if (e == nullptr) {
                result.error = std::move(b.error);
            } else {
                result.value.kind = Value::Kind::Expression;
                result.value.expression = e;
            }
            return result;
        }
        if (r == Rule::SIGNED_NUMBER) {
            if (!b.number(kids[i], result.value.number)) {
                result.error = std::move(b.error);
            } else {
                result.value.kind = Value::Kind::Number;
            }
            return result;
        }
    }
    result.value.kind = Value::Kind::Empty;
    return result;
}

ParseResult<const BooleanExpression*> FormulaParser::parse_condition(std::string_view text,
                                                                      Arena& arena,
                                                                      StackRoom room) {
    return parse_with<const BooleanExpression*>(
        text, arena, room,
        [](std::string_view t, Arena& a, const BooleanExpression*& out,
           direct::NestingLimit& limit) { return direct::parse_condition(t, a, out, limit); },
        parse_condition_by_grammar);
}

ParseResult<const BooleanExpression*> FormulaParser::parse_condition_by_grammar(
    std::string_view text, Arena& arena, StackRoom room) {
    ParseResult<const BooleanExpression*> result;
    ParseTree tree;
    GrammarFailure failure;
    if (!grammar::parse(Rule::boolean_value, text, tree, failure, nesting_limit(room))) {
        if (!deep_only(failure, room, result)) result.error = FormulaError::mismatch(text, failure);
        return result;
    }
    return parse_boolean_expression(tree, tree.children(tree.top[0])[0], arena);
}

ParseResult<const BooleanExpression*> parse_boolean_expression(const ParseTree& tree,
                                                               NodeId boolean_expression,
                                                               Arena& arena) {
    Builder b(tree, arena);
    ParseResult<const BooleanExpression*> result;
    result.value = b.boxed_boolean(boolean_expression);
    if (result.value == nullptr) result.error = std::move(b.error);
    return result;
}

ParseResult<NodeReference> parse_node_reference(const ParseTree& tree, NodeId node_reference) {
    Arena unused;
    Builder b(tree, unused);
    ParseResult<NodeReference> result;
    if (!b.node_reference(node_reference, result.value)) result.error = std::move(b.error);
    return result;
}

}  // namespace morvax
