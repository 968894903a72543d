#include "excel/convert.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace morvax {
namespace {

// Empty on success.  Writers append to one output string as they go, so a
// formula is translated in time linear in its size; a failure leaves partial
// text behind that the caller drops.
using Failure = std::optional<ConvertError>;
constexpr Failure success = std::nullopt;

constexpr std::string_view kSelf = "Self";

// The most arguments a spreadsheet function takes.
constexpr std::size_t kMaxArguments = 255;

// Gives `visit` each argument of the call whose list starts at `text`, split
// at the commas outside parentheses and quotes (addresses may name a quoted
// sheet), until `visit` returns false.
template <class Visit>
void for_each_top_level_argument(std::string_view text, Visit&& visit) {
    std::size_t depth = 0, start = 0;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) quote = 0;  // a doubled quote closes and reopens: the same
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (depth > 0) --depth;
        } else if (c == ',' && depth == 0) {
            if (!visit(text.substr(start, i - start))) return;
            start = i + 1;
        }
    }
    visit(text.substr(start));
}

std::vector<std::string_view> top_level_arguments(std::string_view text) {
    std::vector<std::string_view> out;
    for_each_top_level_argument(text, [&](std::string_view argument) {
        out.push_back(argument);
        return true;
    });
    return out;
}

// Whether the list starting at `text` holds more than kMaxArguments
// arguments: counted without keeping them, as nearly every call holds few.
bool too_many_arguments(std::string_view text) {
    // So many arguments need as many commas between them.
    if (text.size() < kMaxArguments) return false;
    std::size_t count = 0;
    for_each_top_level_argument(text, [&](std::string_view) { return ++count <= kMaxArguments; });
    return count > kMaxArguments;
}

// `args` as calls of at most kMaxArguments each, `first` around the
// arguments themselves and `then` around groups of such calls, level by level
// until at most kMaxArguments remain; joined by commas.
std::string grouped_arguments(const std::vector<std::string_view>& args, std::string_view first,
                              std::string_view then) {
    std::vector<std::string> level(args.begin(), args.end());
    for (std::string_view function = first; level.size() > kMaxArguments; function = then) {
        std::vector<std::string> groups;
        for (std::size_t i = 0; i < level.size(); i += kMaxArguments) {
            std::string call(function);
            call += '(';
            for (std::size_t j = i; j < std::min(level.size(), i + kMaxArguments); ++j) {
                if (j > i) call += ',';
                call += level[j];
            }
            call += ')';
            groups.push_back(std::move(call));
        }
        level = std::move(groups);
    }
    std::string out;
    for (std::size_t i = 0; i < level.size(); ++i) {
        if (i > 0) out += ',';
        out += level[i];
    }
    return out;
}

std::string_view aggregation_function(AggregationName name) {
    constexpr std::array<std::string_view, 8> names = {
        "SUM", "PRODUCT", "AVERAGE", "MEDIAN", "STDEV.S", "MAX", "MIN", "COUNT"};
    return names[static_cast<std::size_t>(name)];
}

// The format of a function call for its argument count; each "{}" takes the
// next argument.
std::string_view function_format(FunctionName name, std::size_t args) {
    const bool one = args == 1;
    switch (name) {
        case FunctionName::Abs: return "ABS({})";
        case FunctionName::Round: return one ? "ROUND({},0)" : "ROUND({},{})";
        // Spreadsheets require the significance; 1 gives the plain ceiling and floor.
        case FunctionName::Ceil: return "CEILING({},1)";
        case FunctionName::Floor: return "FLOOR({},1)";
        case FunctionName::Pow: return "POWER({},{})";
        case FunctionName::Root: return "({})^(1/({}))";
        case FunctionName::Log: return one ? "LOG10({})" : "LOG({},{})";
        case FunctionName::Mod: return "MOD({},{})";
        case FunctionName::Sign: return "SIGN({})";
        case FunctionName::IfError: return one ? "IFERROR({},\"\")" : "IFERROR({},{})";
    }
    return "{}";
}

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}

    Failure expression(const Expression& e, const ConversionContext& ctx) {
        // A ratio that is the whole expression needs no parentheses of its own.
        if (const AtomicExpression* bare = expr_as_atomic(e)) {
            const auto* m = std::get_if<ModifierCall>(bare);
            if (m != nullptr && m->name == ModifierName::Ratio) return ratio(m->reference, ctx);
        }
        if (Failure f = multiplication(e.first, ctx)) return f;
        for (const AdditionOperation& op : e.rest) {
            out_ += op.op == AddOperator::Add ? '+' : '-';
            if (Failure f = multiplication(op.operand, ctx)) return f;
        }
        return success;
    }

    // Spreadsheets read "%" as the postfix percent sign, so modulo folds left
    // to right into MOD(text so far, operand): every MOD( opens at the front.
    Failure multiplication(const MultiplicationExpression& e, const ConversionContext& ctx) {
        for (const MultiplicationOperation& op : e.rest)
            if (op.op == MulOperator::Modulo) out_ += "MOD(";
        if (Failure f = power(e.first, ctx)) return f;
        for (const MultiplicationOperation& op : e.rest) {
            out_ += op.op == MulOperator::Multiply ? '*' : op.op == MulOperator::Divide ? '/' : ',';
            if (Failure f = power(op.operand, ctx)) return f;
            if (op.op == MulOperator::Modulo) out_ += ')';
        }
        return success;
    }

    Failure power(const PowerExpression& e, const ConversionContext& ctx) {
        if (Failure f = unary(e.base, ctx)) return f;
        for (const UnaryExpression& exponent : e.exponents) {
            out_ += '^';
            if (Failure f = unary(exponent, ctx)) return f;
        }
        return success;
    }

    Failure unary(const UnaryExpression& e, const ConversionContext& ctx) {
        if (e.sign == Sign::Plus) out_ += '+';
        if (e.sign == Sign::Minus) out_ += '-';
        return atomic(e.operand, ctx);
    }

    // Writes the expression, or its error text in its place; never fails.
    void embedded(const Expression& e, const ConversionContext& ctx) {
        const std::size_t mark = out_.size();
        if (Failure f = expression(e, ctx)) {
            out_.resize(mark);
            out_ += error_text(*f);
        }
    }

    Failure or_expression(const OrExpression& e, const ConversionContext& ctx) {
        return joined("OR", e.first, e.rest,
                      [&](const AndExpression& a) { return and_expression(a, ctx); });
    }

    Failure and_expression(const AndExpression& e, const ConversionContext& ctx) {
        return joined("AND", e.first, e.rest,
                      [&](const NegationExpression& n) { return negation(n, ctx); });
    }

    Failure negation(const NegationExpression& e, const ConversionContext& ctx) {
        if (!e.negated) return comparison(e.comparison, ctx);
        out_ += "NOT(";
        if (Failure f = comparison(e.comparison, ctx)) return f;
        out_ += ')';
        return success;
    }

    // Closes the call of `function` written from `call` on, its arguments
    // from `args` on. One with more arguments than a spreadsheet takes is
    // rewritten as nested calls where they compute the same (an average as a
    // sum over a count), else it fails with Value.
    Failure close_call(std::string_view function, std::size_t call, std::size_t args) {
        const std::string_view list(out_.data() + args, out_.size() - args);
        if (!too_many_arguments(list)) {
            out_ += ')';
            return success;
        }
        const std::vector<std::string_view> split = top_level_arguments(list);
        std::string rewritten;
        if (function == "COUNT") {
            rewritten = "SUM(" + grouped_arguments(split, "COUNT", "SUM") + ")";
        } else if (function == "AVERAGE") {
            rewritten = "(SUM(" + grouped_arguments(split, "SUM", "SUM") + ")/SUM(" +
                        grouped_arguments(split, "COUNT", "SUM") + "))";
        } else if (function == "SUM" || function == "PRODUCT" || function == "MAX" ||
                   function == "MIN" || function == "AND" || function == "OR") {
            rewritten = std::string(function) + "(" + grouped_arguments(split, function, function) + ")";
        } else {
            return ConvertError::Value;  // MEDIAN and STDEV.S take their values whole
        }
        out_.replace(call, std::string::npos, rewritten);
        return success;
    }

    Failure node_cell(std::string_view name, Index index, std::size_t dimension,
                      bool allow_multiple, const ConversionContext& ctx) {
        if (name == kSelf) {
            if (index) return ConvertError::Ref;
            return cell(ctx.node, dimension);
        }
        const std::span<const Node* const> found = ctx.find(name);
        if (Failure f = pick(found, index)) return f;
        if (index) return cell(*found[*index - 1], dimension);
        if (found.size() == 1) return cell(*found.front(), dimension);
        if (!allow_multiple) return ConvertError::Many;
        const std::size_t call = out_.size();
        out_ += "SUM(";
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (i > 0) out_ += ',';
            if (Failure f = cell(*found[i], dimension)) return f;
        }
        return close_call("SUM", call, call + 4);
    }

    Failure children(Index index, const ConversionContext& ctx) {
        const std::vector<Node>& kids = ctx.node.children;
        return listed(kids.size(), index, ctx,
                      [&](std::size_t i) { return cell(kids[i], ctx.dimension); });
    }

    Failure right(Index index, const ConversionContext& ctx) {
        if (ctx.node.cells.is_single()) return ConvertError::Ref;
        const std::vector<std::string>& list = ctx.node.cells.list();
        const std::size_t first = ctx.dimension + 1;
        return listed(first < list.size() ? list.size() - first : 0, index, ctx, [&](std::size_t i) {
            out_ += list[first + i];  // as stored: no check for an empty address here
            return success;
        });
    }

private:
    Failure comparison(const ComparisonExpression& c, const ConversionContext& ctx) {
        if (const auto* cmp = std::get_if<Comparison>(&c)) {
            if (Failure f = expression(*cmp->left, ctx)) return f;
            out_ += comparison_token(cmp->op).spreadsheet;
            return expression(*cmp->right, ctx);
        }
        if (const auto* bare = std::get_if<BareCondition>(&c)) {
            out_ += '(';
            if (Failure f = expression(*bare->expression, ctx)) return f;
            out_ += "<>0)";
            return success;
        }
        out_ += '(';
        if (Failure f = or_expression(std::get<ParenthesisedCondition>(c).inner->or_expression, ctx))
            return f;
        out_ += ')';
        return success;
    }

    Failure atomic(const AtomicExpression& a, const ConversionContext& ctx) {
        return std::visit([&](const auto& x) { return atom(x, ctx); }, a);
    }

    Failure atom(const NumberLiteral& n, const ConversionContext&) {
        append_number(out_, n.value);
        return success;
    }
    Failure atom(const NodeReference& r, const ConversionContext& ctx) {
        return node_cell(r.name, r.index, ctx.dimension, false, ctx);
    }
    Failure atom(const ChildrenReference& r, const ConversionContext& ctx) {
        return children(r.index, ctx);
    }
    Failure atom(const RightReference& r, const ConversionContext& ctx) {
        return right(r.index, ctx);
    }
    Failure atom(const ModifierCall& m, const ConversionContext& ctx) {
        const NodeReference& r = m.reference;
        if (m.name == ModifierName::Total) return node_cell(r.name, r.index, 0, true, ctx);
        // As an operand the quotient is parenthesised: 8/(C5/B5), (C5/B5)^2.
        out_ += '(';
        if (Failure f = ratio(r, ctx)) return f;
        out_ += ')';
        return success;
    }
    Failure atom(const FunctionCall& call, const ConversionContext& ctx) {
        fill(function_format(call.name, call.args.size()),
             [&](std::size_t i) {
                 if (i < call.args.size()) embedded(call.args[i], ctx);
             });
        return success;
    }
    Failure atom(const AggregationCall& call, const ConversionContext& ctx) {
        const List<Expression> args = call.args.value_or(List<Expression>{});
        if (call.name == AggregationName::Coalesce) return coalesce(args, ctx);
        return aggregation(aggregation_function(call.name), args, ctx);
    }
    Failure atom(const ConditionalCall& call, const ConversionContext& ctx) {
        return conditional(call, ctx);
    }
    Failure atom(const EmptyLiteral&, const ConversionContext&) { return success; }
    Failure atom(const Parenthesised& p, const ConversionContext& ctx) {
        out_ += '(';
        if (Failure f = expression(*p.inner, ctx)) return f;
        out_ += ')';
        return success;
    }

    // One operand as itself; several as FUNCTION(first,next,...).
    template <class First, class Next, class Write>
    Failure joined(std::string_view function, const First& first, const List<Next>& rest,
                   Write&& write) {
        if (rest.empty()) return write(first);
        const std::size_t call = out_.size();
        out_ += function;
        out_ += '(';
        if (Failure f = write(first)) return f;
        for (const Next& next : rest) {
            out_ += ',';
            if (Failure f = write(next)) return f;
        }
        return close_call(function, call, call + function.size() + 1);
    }

    // Copies `format`, calling `argument(i)` to write the i-th "{}".
    template <class Argument>
    void fill(std::string_view format, Argument&& argument) {
        std::size_t next = 0;
        for (std::size_t at = format.find("{}"); at != std::string_view::npos;
             at = format.find("{}")) {
            out_ += format.substr(0, at);
            argument(next++);
            format.remove_prefix(at + 2);
        }
        out_ += format;
    }

    // An aggregation may stand for several cells: its arguments, and all that
    // is nested in them, may expand children and right references.
    Failure aggregation(std::string_view function, const List<Expression>& args,
                        const ConversionContext& ctx) {
        ConversionContext many = ctx;
        many.allow_multiple = true;
        const std::size_t call = out_.size();
        out_ += function;
        out_ += '(';
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (i > 0) out_ += ',';
            if (Failure f = expression(args[i], many)) return f;
        }
        return close_call(function, call, call + function.size() + 1);
    }

    // a, b, c: IF(a<>"",a,IF(b<>"",b,c)), written front to back.
    Failure coalesce(const List<Expression>& args, const ConversionContext& ctx) {
        if (args.empty()) return success;
        for (std::size_t i = 0; i + 1 < args.size(); ++i) {
            out_ += "IF(";
            const std::size_t start = out_.size();
            if (Failure f = expression(args[i], ctx)) return f;
            const std::string arg = out_.substr(start);
            out_ += "<>\"\",";
            out_ += arg;
            out_ += ',';
        }
        if (Failure f = expression(args[args.size() - 1], ctx)) return f;
        out_.append(args.size() - 1, ')');
        return success;
    }

    // Clauses p:x, q:y, else z: IF(p,x,IF(q,y,z)); no else gives "".
    Failure conditional(const ConditionalCall& call, const ConversionContext& ctx) {
        for (const CaseClause& clause : call.clauses) {
            out_ += "IF(";
            if (Failure f = or_expression(clause.condition.or_expression, ctx)) return f;
            out_ += ',';
            embedded(*clause.result, ctx);
            out_ += ',';
        }
        if (call.default_value != nullptr) {
            embedded(*call.default_value, ctx);
        } else {
            out_ += "\"\"";
        }
        out_.append(call.clauses.size(), ')');
        return success;
    }

    // The share of one node's current cell in its dimension-0 cell; no Self rule.
    Failure ratio(const NodeReference& r, const ConversionContext& ctx) {
        const std::span<const Node* const> found = ctx.find(r.name);
        if (Failure f = pick(found, r.index)) return f;
        if (!r.index && found.size() > 1) return ConvertError::Many;
        const Node& node = *found[r.index ? *r.index - 1 : 0];
        if (Failure f = cell(node, ctx.dimension)) return f;
        out_ += '/';
        return cell(node, 0);
    }

    // Entry `index` (1-based) of `count`, or all of them joined by commas, and
    // several only where allowed; `write(i)` writes entry i.  None is Ref.
    template <class Write>
    Failure listed(std::size_t count, Index index, const ConversionContext& ctx, Write&& write) {
        if (count == 0) return ConvertError::Ref;
        if (index) {
            if (*index == 0 || *index > count) return ConvertError::Ref;
            return write(*index - 1);
        }
        if (count > 1 && !ctx.allow_multiple) return ConvertError::Value;
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) out_ += ',';
            if (Failure f = write(i)) return f;
        }
        return success;
    }

    // Ref when nothing carries the name or the index is outside 1..count.
    static Failure pick(std::span<const Node* const> found, Index index) {
        if (found.empty()) return ConvertError::Ref;
        if (index && (*index == 0 || *index > found.size())) return ConvertError::Ref;
        return success;
    }

    Failure cell(const Node& node, std::size_t dimension) {
        const std::optional<std::string_view> address = cell_at(node, dimension);
        if (!address) return ConvertError::Ref;
        out_ += *address;
        return success;
    }

    std::string& out_;
};

}  // namespace

const NameIndex& ConversionContext::names() const {
    if (root == nullptr) throw std::logic_error("formula translation without a tree root");
    return *root;
}

std::span<const Node* const> ConversionContext::find(std::string_view name) const {
    if (lookups == nullptr) return names().find(name);
    return lookups->find(name, [&](std::string_view n) { return names().find(n); });
}

Converted convert_expression(const Expression& e, const ConversionContext& ctx) {
    Converted result;
    result.error = append_expression(e, ctx, result.text);
    if (result.error) result.text.clear();
    return result;
}

std::optional<ConvertError> append_expression(const Expression& e, const ConversionContext& ctx, std::string& out) {
    Writer writer(out);
    return writer.expression(e, ctx);
}

std::optional<std::string_view> cell_at(const Node& node, std::size_t dimension) {
    const std::string* address = node.cells.at(dimension);
    if (address == nullptr || address->empty()) return std::nullopt;
    return *address;
}

const AtomicExpression* expr_as_atomic(const Expression& e) {
    const MultiplicationExpression& m = e.first;
    const PowerExpression& p = m.first;
    if (!e.rest.empty() || !m.rest.empty() || !p.exponents.empty() || p.base.sign != Sign::None)
        return nullptr;
    return &p.base.operand;
}

}  // namespace morvax
