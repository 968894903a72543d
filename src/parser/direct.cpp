#include "parser/direct.hpp"

#include <memory_resource>
#include <vector>

#include "parser/grammar.hpp"
#include "parser/language.hpp"
#include "parser/numbers.hpp"
#include "parser/unicode.hpp"

namespace morvax::direct {
namespace {

// A recursive-descent reading of the grammar that builds the syntax tree in
// one pass.  Every method returns true with its part built, or false meaning
// "not sure": the whole text then goes to the full grammar.  It only ever
// answers where the grammar's ordered choice is settled by what it has seen,
// so whatever it accepts, the grammar accepts with the same tree: where an
// alternative would fail part-way and a later one be tried, it gives up.
class Direct {
public:
    Direct(std::string_view text, Arena& arena, NestingLimit& limit, std::vector<Literal>* literals = nullptr)
        : t_(text), arena_(arena), limit_(limit), literals_(literals) {}

    bool formula(Value& out) {
        ws();
        if (end()) {
            out.kind = Value::Kind::Empty;
            return true;
        }
        if (eat('=')) {
            ws();
            auto* e = arena_.allocate<Expression>(1);
            if (!expression(*e)) return false;
            ws();
            out.kind = Value::Kind::Expression;
            out.expression = e;
            return end();
        }
        const std::size_t start = p_;
        if (at('+') || at('-')) ++p_;  // a space after the sign fails conversion
        if (!digit_here()) return false;
        std::size_t len = number_length();
        if (len == 0) return false;
        p_ += len;
        std::string error;
        if (!convert_number_text(t_.substr(start, p_ - start), out.number, error)) return false;
        ws();
        out.kind = Value::Kind::Number;
        return end();
    }

    bool condition(const BooleanExpression*& out) {
        ws();
        auto* b = arena_.allocate<BooleanExpression>(1);
        if (!boolean(*b)) return false;
        ws();
        out = b;
        return end();
    }

private:
    // -- text -----------------------------------------------------------------

    bool end() const { return p_ >= t_.size(); }
    bool at(char c) const { return p_ < t_.size() && t_[p_] == c; }
    bool eat(char c) {
        if (!at(c)) return false;
        ++p_;
        return true;
    }
    bool digit_here() const { return digit_at(p_); }
    bool digit_at(std::size_t q) const { return q < t_.size() && t_[q] >= '0' && t_[q] <= '9'; }
    void ws() {
        while (p_ < t_.size() && is_grammar_space(t_[p_])) ++p_;
    }

    // Case-insensitive keyword at p_ (a prefix match, as the grammar's).
    bool eat_keyword(std::string_view kw) {
        if (!matches_ignoring_case(t_, p_, kw)) return false;
        p_ += kw.size();
        return true;
    }

    // The first keyword of a name table that the text starts with.
    template <class E>
    std::optional<E> table_keyword() {
        constexpr auto table = keywords<E>();
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (eat_keyword(table[i])) return static_cast<E>(i);
        }
        return std::nullopt;
    }

    template <class T>
    List<T> commit(std::pmr::vector<T>& scratch, std::size_t mark) {
        const std::size_t n = scratch.size() - mark;
        T* items = arena_.allocate<T>(n);
        for (std::size_t i = 0; i < n; ++i) items[i] = scratch[mark + i];
        scratch.resize(mark);
        return {items, n};
    }

    // -- numbers --------------------------------------------------------------

    // Length of the number (with its percent sign, when it has one) at p_,
    // where a digit is: the grammar's number rule spelled out, its
    // alternatives tried in its order. Every form but plain digits needs a
    // separator right after the first run of digits; a group is a separator
    // and three digits, whatever follows them.
    std::size_t number_length() const {
        const std::size_t first = digits_end(p_);
        std::size_t q = first;
        if (q < t_.size() && (t_[q] == ',' || t_[q] == '.')) {
            int by_commas = 0, by_points = 0;
            const std::size_t commas = groups_end(first, ',', by_commas);
            const std::size_t points = groups_end(first, '.', by_points);
            if (by_commas >= 1 && digit_after(commas, '.')) {
                q = digits_end(commas + 1);  // 1,234.56
            } else if (by_points >= 1 && digit_after(points, ',')) {
                q = digits_end(points + 1);  // 1.234,56
            } else if (by_commas >= 2) {
                q = commas;  // 1,234,567
            } else if (by_points >= 2) {
                q = points;  // 1.234.567
            } else if (digit_at(first + 1)) {
                q = digits_end(first + 1);  // 1.5, 1,5
            }
        }
        if (q < t_.size() && t_[q] == '%' && !operand_follows(q + 1)) ++q;
        return q - p_;
    }

    std::size_t digits_end(std::size_t q) const {
        while (digit_at(q)) ++q;
        return q;
    }
    // Whether `sep` is at q with a digit after it.
    bool digit_after(std::size_t q, char sep) const { return q < t_.size() && t_[q] == sep && digit_at(q + 1); }
    // The end of the groups of `sep` and three digits from q, counted.
    std::size_t groups_end(std::size_t q, char sep, int& groups) const {
        for (; digit_after(q, sep) && digit_at(q + 2) && digit_at(q + 3); q += 4) ++groups;
        return q;
    }

    // Whether, after optional whitespace, an operand could start at q.
    bool operand_follows(std::size_t q) const {
        while (q < t_.size() && is_grammar_space(t_[q])) ++q;
        if (q >= t_.size()) return false;
        const char c = t_[q];
        if ((c >= '0' && c <= '9') || c == '(' || c == '@' || c == '_') return true;
        return unicode::is_xid_start(unicode::decode(t_, q).cp);
    }

    // -- arithmetic -----------------------------------------------------------

    // first (operator operand)*, one level of binary operators: `op` reads
    // an operator at p_ or fails without moving, `operand` reads the operand
    // after it into a new item.  The item is made only once an operator is
    // read: every level ends with one that is not.  Inlined into each level,
    // as the loops it replaces were: called, it made conditions 7% slower.
    template <class Item, class Op, class Operand>
    [[gnu::always_inline]] bool operations(std::pmr::vector<Item>& scratch, List<Item>& out, Op&& op, Operand&& operand) {
        const std::size_t mark = scratch.size();
        for (;;) {
            const std::size_t save = p_;
            ws();
            if (!op()) {
                p_ = save;
                break;
            }
            ws();
            Item item;
            if (!operand(item)) return false;
            scratch.push_back(item);
        }
        out = commit(scratch, mark);
        return true;
    }

    bool expression(Expression& out) {
        if (!multiplication(out.first)) return false;
        AddOperator read{};
        return operations(
            adds_, out.rest,
            [&] {
                if (!at('+') && !at('-')) return false;
                read = t_[p_++] == '+' ? AddOperator::Add : AddOperator::Subtract;
                return true;
            },
            [&](AdditionOperation& item) {
                item.op = read;
                return multiplication(item.operand);
            });
    }

    bool multiplication(MultiplicationExpression& out) {
        if (!power(out.first)) return false;
        MulOperator read{};
        return operations(
            muls_, out.rest,
            [&] {
                if (at('*')) {
                    read = MulOperator::Multiply;
                } else if (at('/')) {
                    read = MulOperator::Divide;
                } else if (at('%')) {
                    read = MulOperator::Modulo;
                } else {
                    return false;
                }
                ++p_;
                return true;
            },
            [&](MultiplicationOperation& item) {
                item.op = read;
                return power(item.operand);
            });
    }

    bool power(PowerExpression& out) {
        if (!unary(out.base)) return false;
        return operations(
            exponents_, out.exponents,
            [&] {
                if (at('^')) {
                    p_ += 1;
                } else if (at('*') && p_ + 1 < t_.size() && t_[p_ + 1] == '*') {
                    p_ += 2;
                } else {
                    return false;
                }
                return true;
            },
            [&](UnaryExpression& item) { return unary(item); });
    }

    bool unary(UnaryExpression& out) {
        out.sign = Sign::None;
        if (eat('+')) {
            out.sign = Sign::Plus;
        } else if (eat('-')) {
            out.sign = Sign::Minus;
        }
        if (out.sign != Sign::None) ws();
        return atomic(out.operand);
    }

    bool atomic(AtomicExpression& out) {
        if (end()) return false;
        const char c = t_[p_];
        if (c >= '0' && c <= '9') {
            const std::size_t len = number_length();
            if (len == 0) return false;
            double v = 0;
            std::string error;
            if (!convert_number_text(t_.substr(p_, len), v, error)) return false;
            note(p_, len, false);
            p_ += len;
            out = NumberLiteral{v};
            return true;
        }
        if (c == '@') {
            NodeReference ref;
            if (!node_reference(ref)) return false;
            out = ref;
            return true;
        }
        if (c == '(') {
            if (!nest()) return false;
            ++p_;
            ws();
            auto* inner = arena_.allocate<Expression>(1);
            if (!expression(*inner)) return false;
            ws();
            unnest();
            out = Parenthesised{inner};
            return eat(')');
        }
        return keyword_atom(out);
    }

    // The keyword alternatives, in the grammar's order.  Once a keyword has
    // matched, no later alternative could match the same text.
    bool keyword_atom(AtomicExpression& out) {
        Index index;
        if (eat_keyword(kChildrenKeyword)) {
            if (!keyword_index(index)) return false;
            out = ChildrenReference{index};
            return true;
        }
        if (eat_keyword(kRightKeyword)) {
            if (!keyword_index(index)) return false;
            out = RightReference{index};
            return true;
        }
        if (auto m = table_keyword<ModifierName>()) {
            ModifierCall call{*m, {}};
            ws();
            if (!eat('(')) return false;
            ws();
            if (!at('@') || !node_reference(call.reference)) return false;
            ws();
            out = call;
            return eat(')');
        }
        if (auto f = table_keyword<FunctionName>()) return function(*f, out);
        if (auto g = table_keyword<AggregationName>()) {
            AggregationCall call{*g, std::nullopt};
            List<Expression> args;
            if (!open_call() || !arguments(args)) return false;
            call.args = args;
            out = call;
            return true;
        }
        if (auto c = table_keyword<ConditionalName>()) return conditional(*c, out);
        if (eat_keyword(kEmptyKeyword)) {
            out = EmptyLiteral{};
            return true;
        }
        return false;
    }

    bool nest() {
        if (++nesting_ <= limit_.max) return true;
        limit_.exceeded = true;
        return false;
    }
    void unnest() { --nesting_; }

    bool open_call() {
        ws();
        if (!eat('(')) return false;
        ws();
        return nest();
    }

    // expression (";" expression)* ")"
    bool arguments(List<Expression>& out) {
        const std::size_t mark = args_.size();
        for (;;) {
            Expression e;
            if (!expression(e)) return false;
            args_.push_back(e);
            ws();
            if (eat(')')) break;
            if (!eat(';')) return false;
            ws();
        }
        out = commit(args_, mark);
        unnest();
        return true;
    }

    bool function(FunctionName name, AtomicExpression& out) {
        FunctionCall call{name, {}};
        if (!open_call() || !arguments(call.args)) return false;
        if (!arity(name).admits(call.args.size())) return false;
        out = call;
        return true;
    }

    bool conditional(ConditionalName name, AtomicExpression& out) {
        ConditionalCall call{name, {}, nullptr};
        if (!open_call()) return false;
        const std::size_t mark = clauses_.size();
        for (bool first = true;; first = false) {
            CaseClause clause;
            if (!boolean(clause.condition)) return false;
            ws();
            if (!eat(';')) {
                // A condition with no ";" after it was the default, read as
                // an expression: the same text gives the same expression only
                // when the condition is a bare one.
                if (first) return false;
                const NegationExpression& n = clause.condition.or_expression.first.first;
                const auto* bare = std::get_if<BareCondition>(&n.comparison);
                if (bare == nullptr || n.negated || !clause.condition.or_expression.rest.empty() ||
                    !clause.condition.or_expression.first.rest.empty())
                    return false;
                call.default_value = bare->expression;
                break;
            }
            ws();
            auto* result = arena_.allocate<Expression>(1);
            if (!expression(*result)) return false;
            clause.result = result;
            clauses_.push_back(clause);
            ws();
            if (!eat(';')) break;
            ws();
        }
        ws();
        if (!eat(')')) return false;
        unnest();
        call.clauses = commit(clauses_, mark);
        const ConditionalShape shape = conditional_shape(name);
        if ((shape.clauses && call.clauses.size() != *shape.clauses) ||
            (shape.needs_default && call.default_value == nullptr))
            return false;
        out = call;
        return true;
    }

    // -- references -----------------------------------------------------------

    bool node_reference(NodeReference& out) {
        ++p_;  // "@"
        if (eat('{')) {
            const std::size_t start = p_;
            curly_identifier();
            out.name = t_.substr(start, p_ - start);
            if (!eat('}')) return false;
        } else {
            const std::size_t start = p_;
            if (!identifier()) return false;
            out.name = t_.substr(start, p_ - start);
        }
        out.index.reset();
        // "[" digits "]" directly after, or no index at all.
        if (!at('[')) return true;
        std::size_t q = p_ + 1;
        const std::size_t digits = q;
        while (q < t_.size() && t_[q] >= '0' && t_[q] <= '9') ++q;
        if (q == digits || q >= t_.size() || t_[q] != ']') return true;
        if (!index_value(t_.substr(digits, q - digits), out.index)) return false;
        note(digits, q - digits, true);
        p_ = q + 1;
        return true;
    }

    bool identifier() {
        if (end()) return false;
        // ASCII, nearly every name, is told apart without decoding: letters
        // and '_' start a name; letters, digits and '_' continue it.
        const auto first = static_cast<unsigned char>(t_[p_]);
        if (first < 0x80) {
            if (!unicode::kAsciiNameChar[first] || (first >= '0' && first <= '9')) return false;
            ++p_;
        } else {
            const auto d = unicode::decode(t_, p_);
            if (!unicode::is_xid_start(d.cp)) return false;
            p_ += d.length;
        }
        while (!end()) {
            const auto c = static_cast<unsigned char>(t_[p_]);
            if (c < 0x80) {
                if (!unicode::kAsciiNameChar[c]) break;
                ++p_;
                continue;
            }
            const auto d = unicode::decode(t_, p_);
            if (!unicode::is_xid_continue(d.cp)) break;
            p_ += d.length;
        }
        return true;
    }

    // Up to the first "}" that closes no brace group.
    void curly_identifier() {
        while (!end()) {
            if (t_[p_] == '{') {
                std::size_t q = p_ + 1;
                while (q < t_.size() && t_[q] != '{' && t_[q] != '}') ++q;
                p_ = (q < t_.size() && t_[q] == '}') ? q + 1 : p_ + 1;
                continue;
            }
            if (t_[p_] == '}') return;
            p_ = unicode::next_boundary(t_, p_);
        }
    }

    // The optional "[ n ]" of children and right; whitespace is allowed around
    // the digits but not between them.
    bool keyword_index(Index& out) {
        out.reset();
        ws();
        if (!eat('[')) return true;
        ws();
        const std::size_t digits = p_;
        while (digit_here()) ++p_;
        if (p_ == digits) return false;
        const std::string_view text = t_.substr(digits, p_ - digits);
        ws();
        if (!eat(']')) return false;
        note(digits, text.size(), true);
        return index_value(text, out);
    }

    void note(std::size_t start, std::size_t length, bool index) {
        if (literals_ != nullptr) literals_->push_back({start, length, index});
    }

    // -- conditions -----------------------------------------------------------

    bool boolean(BooleanExpression& out) {
        OrExpression& o = out.or_expression;
        return and_expression(o.first) &&
               operations(ands_, o.rest, [&] { return eat_keyword(kOrKeyword); },
                          [&](AndExpression& item) { return and_expression(item); });
    }

    bool and_expression(AndExpression& out) {
        return negation(out.first) &&
               operations(negations_, out.rest, [&] { return eat_keyword(kAndKeyword); },
                          [&](NegationExpression& item) { return negation(item); });
    }

    bool negation(NegationExpression& out) {
        std::size_t nots = 0;
        while (eat_keyword(kNotKeyword)) {
            ++nots;
            ws();
        }
        out.negated = nots % 2 == 1;
        // A parenthesis may open an expression or a condition; only the full
        // grammar tries one and then the other.
        if (at('(')) return false;
        auto* left = arena_.allocate<Expression>(1);
        if (!expression(*left)) return false;
        const std::size_t save = p_;
        ws();
        const std::optional<ComparisonOperator> op = comparison_operator();
        if (!op) {
            p_ = save;
            out.comparison = BareCondition{left};
            return true;
        }
        ws();
        auto* right = arena_.allocate<Expression>(1);
        if (!expression(*right)) return false;
        out.comparison = Comparison{left, *op, right};
        return true;
    }

    std::optional<ComparisonOperator> comparison_operator() {
        for (const ComparisonSpelling& s : kComparisonSpellings) {
            if (t_.substr(p_, s.text.size()) == s.text) {
                p_ += s.text.size();
                return s.op;
            }
        }
        return std::nullopt;
    }

    std::string_view t_;
    Arena& arena_;
    NestingLimit& limit_;
    std::vector<Literal>* literals_;
    std::size_t p_ = 0;
    int nesting_ = 0;

    // Lists under construction, used as stacks: a nested level pushes and
    // commits above its caller's entries.
    alignas(std::max_align_t) std::byte buffer_[2048];
    std::pmr::monotonic_buffer_resource scratch_{buffer_, sizeof(buffer_)};
    std::pmr::vector<AdditionOperation> adds_{&scratch_};
    std::pmr::vector<MultiplicationOperation> muls_{&scratch_};
    std::pmr::vector<UnaryExpression> exponents_{&scratch_};
    std::pmr::vector<Expression> args_{&scratch_};
    std::pmr::vector<CaseClause> clauses_{&scratch_};
    std::pmr::vector<AndExpression> ands_{&scratch_};
    std::pmr::vector<NegationExpression> negations_{&scratch_};
};

}  // namespace

bool parse_formula(std::string_view text, Arena& arena, Value& out, NestingLimit& limit,
                   std::vector<Literal>* literals) {
    Direct d(text, arena, limit, literals);
    return d.formula(out);
}

bool index_value(std::string_view digits, Index& out) {
    std::size_t value = 0;
    for (char c : digits) {
        const std::size_t d = static_cast<std::size_t>(c - '0');
        if (value > (static_cast<std::size_t>(-1) - d) / 10) return false;  // too large
        value = value * 10 + d;
    }
    out = value;
    return true;
}

bool parse_condition(std::string_view text, Arena& arena, const BooleanExpression*& out,
                     NestingLimit& limit) {
    Direct d(text, arena, limit);
    return d.condition(out);
}

}  // namespace morvax::direct
