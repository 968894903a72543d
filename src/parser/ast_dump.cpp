#include "parser/ast_dump.hpp"

#include <charconv>

namespace morvax {
namespace {

class Dumper {
public:
    std::string out;

    void value(const Value& v) {
        switch (v.kind) {
            case Value::Kind::Number: number(v.number); break;
            case Value::Kind::Expression: expression(*v.expression); break;
            case Value::Kind::Empty: out += "empty-value"; break;
        }
    }

    void expression(const Expression& e) {
        level("(+ ", e.first, e.rest, [&](const MultiplicationExpression& m) { multiplication(m); },
              [&](const AdditionOperation& op) {
                  out += op.op == AddOperator::Add ? " + " : " - ";
                  multiplication(op.operand);
              });
    }

    void boolean(const BooleanExpression& b) {
        const OrExpression& o = b.or_expression;
        level("(or ", o.first, o.rest, [&](const AndExpression& a) { and_expression(a); },
              [&](const AndExpression& a) { out += ' ', and_expression(a); });
    }

private:
    // One operator level: a lone operand as itself, else "(tag first ...)",
    // `next` writing each further item with what separates it.
    template <class First, class Item, class Operand, class Next>
    void level(std::string_view tag, const First& first, const List<Item>& rest, Operand&& operand, Next&& next) {
        if (rest.empty()) return operand(first);
        out += tag;
        operand(first);
        for (const Item& item : rest) next(item);
        out += ')';
    }

    void number(double x) {
        char buf[64];
        auto res = std::to_chars(buf, buf + sizeof(buf), x);
        out.append(buf, res.ptr);
    }

    void index(const Index& i) {
        if (!i) return;
        out += '[';
        out += std::to_string(*i);
        out += ']';
    }

    void multiplication(const MultiplicationExpression& m) {
        level("(* ", m.first, m.rest, [&](const PowerExpression& p) { power(p); },
              [&](const MultiplicationOperation& op) {
                  out += op.op == MulOperator::Multiply ? " * " : op.op == MulOperator::Divide ? " / " : " % ";
                  power(op.operand);
              });
    }

    void power(const PowerExpression& p) {
        level("(^ ", p.base, p.exponents, [&](const UnaryExpression& u) { unary(u); },
              [&](const UnaryExpression& u) { out += ' ', unary(u); });
    }

    void unary(const UnaryExpression& u) {
        if (u.sign == Sign::Plus) out += "+";
        if (u.sign == Sign::Minus) out += "-";
        atomic(u.operand);
    }

    void arguments(const List<Expression>& args) {
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (i > 0) out += "; ";
            expression(args[i]);
        }
    }

    void atomic(const AtomicExpression& a) {
        if (const auto* n = std::get_if<NumberLiteral>(&a)) return number(n->value);
        if (const auto* r = std::get_if<NodeReference>(&a)) {
            out += "@{";
            out += r->name;
            out += '}';
            return index(r->index);
        }
        if (const auto* c = std::get_if<ChildrenReference>(&a)) return out += kChildrenKeyword, index(c->index);
        if (const auto* r = std::get_if<RightReference>(&a)) return out += kRightKeyword, index(r->index);
        if (const auto* m = std::get_if<ModifierCall>(&a)) {
            out += keyword(m->name);
            out += "(@{";
            out += m->reference.name;
            out += '}';
            index(m->reference.index);
            out += ')';
            return;
        }
        if (const auto* f = std::get_if<FunctionCall>(&a)) {
            out += keyword(f->name);
            out += '(';
            arguments(f->args);
            out += ')';
            return;
        }
        if (const auto* g = std::get_if<AggregationCall>(&a)) {
            out += keyword(g->name);
            out += g->args ? "(" : "<no args>(";
            if (g->args) arguments(*g->args);
            out += ')';
            return;
        }
        if (const auto* c = std::get_if<ConditionalCall>(&a)) {
            out += keyword(c->name);
            out += '(';
            for (const CaseClause& clause : c->clauses) {
                boolean(clause.condition);
                out += " => ";
                expression(*clause.result);
                out += "; ";
            }
            if (c->default_value != nullptr) {
                out += "else ";
                expression(*c->default_value);
            }
            out += ')';
            return;
        }
        if (std::holds_alternative<EmptyLiteral>(a)) return void(out += kEmptyKeyword);
        out += "(paren ";
        expression(*std::get<Parenthesised>(a).inner);
        out += ')';
    }

    void and_expression(const AndExpression& a) {
        level("(and ", a.first, a.rest, [&](const NegationExpression& n) { negation(n); },
              [&](const NegationExpression& n) { out += ' ', negation(n); });
    }

    void negation(const NegationExpression& n) {
        if (n.negated) {
            out += kNotKeyword;
            out += ' ';
        }
        if (const auto* c = std::get_if<Comparison>(&n.comparison)) {
            out += "(cmp ";
            expression(*c->left);
            out += ' ';
            out += comparison_token(c->op).spellings[0];
            out += ' ';
            expression(*c->right);
            out += ')';
        } else if (const auto* b = std::get_if<BareCondition>(&n.comparison)) {
            out += "(bare ";
            expression(*b->expression);
            out += ')';
        } else {
            out += "(paren-condition ";
            boolean(*std::get<ParenthesisedCondition>(n.comparison).inner);
            out += ')';
        }
    }
};

}  // namespace

std::string dump(const Value& value) {
    Dumper d;
    d.value(value);
    return std::move(d.out);
}

std::string dump(const BooleanExpression& condition) {
    Dumper d;
    d.boolean(condition);
    return std::move(d.out);
}

}  // namespace morvax
