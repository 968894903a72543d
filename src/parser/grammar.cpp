#include "parser/grammar.hpp"

#include <algorithm>
#include <limits>

#include "parser/language.hpp"
#include "parser/unicode.hpp"

namespace morvax::grammar {
namespace {

enum class Kind : std::uint8_t {
    Normal,          // skips whitespace between items, produces a node
    Atomic,          // no skipping inside, one childless node
    CompoundAtomic,  // no skipping inside, inner rules still produce nodes
    Silent,          // no node of its own
};

// One parse of one text.  Every rule method either matches, advancing `pos_`
// and leaving its node (if any) on `stack_`, or fails and leaves both as they
// were.  `expression` and `boolean_expression` are memoised by position: the
// ordered choices of conditions and case clauses would otherwise re-parse the
// same text, exponentially in the nesting.
class Matcher {
public:
    // `open_name`, when given, is shared by matches on suffixes of one text;
    // `text` then starts `base` bytes into that text.
    Matcher(std::string_view text, ParseTree* tree, std::vector<bool>* open_name = nullptr,
            std::size_t base = 0, int max_nesting = kMaxNesting)
        : Matcher(text, tree, open_name, base, max_nesting,
                  tree != nullptr ? tree->scratch() : std::pmr::get_default_resource()) {}

    bool run(Rule start);
    const GrammarFailure& failure() const { return failure_; }
    std::size_t pos() const { return pos_; }
    std::pmr::vector<NodeId>& stack() { return stack_; }

private:
    struct Memo {
        std::size_t end = 0;
        NodeId node = 0;
        std::uint8_t state = 0;  // 0 unknown, 1 matched, 2 failed
    };

    // -- the machinery ----------------------------------------------------

    template <class F>
    bool rule(Rule r, Kind kind, F&& body) {
        const std::size_t start = pos_;
        const std::size_t mark = stack_.size();
        const bool outer_atomic = atomic_;
        const bool outer_inner = inside_atomic_;
        const bool listed = !inside_atomic_ && kind != Kind::Silent;
        if (kind == Kind::Atomic) atomic_ = inside_atomic_ = true;
        if (kind == Kind::CompoundAtomic) atomic_ = true;
        const bool ok = !aborted_ && body();
        atomic_ = outer_atomic;
        inside_atomic_ = outer_inner;
        if (!ok) {
            pos_ = start;
            truncate(mark);
            if (listed && negative_ == 0) note_attempt(r, start, false);
            return false;
        }
        if (listed && negative_ > 0) note_attempt(r, start, true);
        if (kind != Kind::Silent && tree_ != nullptr) {
            if (kind == Kind::Atomic) truncate(mark);
            push_node(r, start, mark);
        }
        return true;
    }

    void truncate(std::size_t mark) {
        if (stack_.size() > mark) stack_.erase(stack_.begin() + static_cast<std::ptrdiff_t>(mark), stack_.end());
    }

    void push_node(Rule r, std::size_t start, std::size_t mark) {
        auto& ids = tree_->child_ids;
        const auto first = static_cast<std::uint32_t>(ids.size());
        for (std::size_t i = mark; i < stack_.size(); ++i) ids.push_back(stack_[i]);
        truncate(mark);
        const auto id = static_cast<NodeId>(tree_->nodes.size());
        tree_->nodes.push_back(
            {start, pos_, first, static_cast<std::uint32_t>(ids.size() - first), r});
        stack_.push_back(id);
    }

    void note_attempt(Rule r, std::size_t at, bool matched) {
        if (at > failure_.pos) {
            failure_.pos = at;
            failure_.expected = failure_.unexpected = 0;
        }
        if (at == failure_.pos) (matched ? failure_.unexpected : failure_.expected) |= rule_bit(r);
    }

    // Tries `f`; on failure restores the position and the node stack.
    template <class F>
    bool attempt(F&& f) {
        const std::size_t save = pos_;
        const std::size_t mark = stack_.size();
        if (f()) return true;
        pos_ = save;
        truncate(mark);
        return false;
    }

    // Zero or more `item`s; whitespace is skipped before every further match
    // and given back when that match fails.
    template <class F>
    void repeat(F&& item) {
        if (!attempt(item)) return;
        while (attempt([&] { return skip(), item(); })) {
        }
    }

    template <class F>
    bool lookahead_not(F&& f) {
        const std::size_t save = pos_;
        const std::size_t mark = stack_.size();
        ++negative_;
        const bool matched = f();
        --negative_;
        pos_ = save;
        truncate(mark);
        return !matched;
    }

    // Nesting guard: counted on every parenthesis, call and parenthesised
    // condition, the only ways a formula recurses.
    template <class F>
    bool nested(F&& f) {
        ++nesting_;
        if (nesting_ > max_nesting_) {
            aborted_ = true;
            failure_.too_deep = true;
        }
        const bool ok = !aborted_ && f();
        --nesting_;
        return ok;
    }

    void skip() {
        if (atomic_) return;
        while (pos_ < text_.size() && is_grammar_space(text_[pos_])) ++pos_;
    }

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }

    bool lit(std::string_view s) {
        if (text_.substr(pos_, s.size()) != s) return false;
        pos_ += s.size();
        return true;
    }

    // Keyword match with ASCII letters in either case; `s` is lower case.
    bool ilit(std::string_view s) {
        if (!matches_ignoring_case(text_, pos_, s)) return false;
        pos_ += s.size();
        return true;
    }

    // The first keyword of a name table that matches, in table order.
    template <class E>
    bool name_keyword() {
        for (std::string_view word : keywords<E>()) {
            if (ilit(word)) return true;
        }
        return false;
    }

    bool digit() {
        if (at_end() || peek() < '0' || peek() > '9') return false;
        ++pos_;
        return true;
    }

    bool any_char() {
        if (at_end()) return false;
        pos_ = unicode::next_boundary(text_, pos_);
        return true;
    }

    template <class Pred>
    bool char_if(Pred pred) {
        if (at_end()) return false;
        const unicode::Decoded d = unicode::decode(text_, pos_);
        if (!pred(d.cp)) return false;
        pos_ += d.length;
        return true;
    }

    // A literal token rule; the common failure path skips the rule machinery.
    bool token(Rule r, std::string_view s) {
        if (aborted_) return false;
        if (pos_ >= text_.size() || text_[pos_] != s[0] ||
            (s.size() > 1 && text_.substr(pos_, s.size()) != s)) {
            if (!inside_atomic_ && negative_ == 0) note_attempt(r, pos_, false);
            return false;
        }
        return rule(r, Kind::Normal, [&] { return lit(s); });
    }
    bool keyword(Rule r, std::string_view s) {
        return rule(r, Kind::Normal, [&] { return ilit(s); });
    }

    // -- entry rules --------------------------------------------------------

    bool value() {
        return rule(Rule::value, Kind::Normal, [&] {
            if (pos_ != 0) return false;  // SOI
            skip();
            attempt([&] {
                return attempt([&] { return SIGNED_NUMBER(); }) ||
                       attempt([&] { return EQUALS() && (skip(), expression()); });
            });
            skip();
            return EOI();
        });
    }

    bool boolean_value() {
        return rule(Rule::boolean_value, Kind::Normal, [&] {
            if (pos_ != 0) return false;
            skip();
            if (!boolean_expression()) return false;
            skip();
            return EOI();
        });
    }

    bool EOI() {
        return rule(Rule::EOI, Kind::Normal, [&] { return at_end(); });
    }

    // -- arithmetic ---------------------------------------------------------

    bool expression() {
        return memoised(Rule::expression, memo_expression_,
                        [&] { return addition_expression(); });
    }

    template <class F>
    bool memoised(Rule r, std::pmr::vector<Memo>& memo, F&& body) {
        if (memo.empty()) memo.resize(text_.size() + 1);
        Memo& m = memo[pos_];
        if (m.state == 1) {
            if (tree_ != nullptr) stack_.push_back(m.node);
            pos_ = m.end;
            return true;
        }
        if (m.state == 2) {
            note_attempt(r, pos_, false);
            return false;
        }
        const std::size_t start = pos_;
        const bool ok = rule(r, Kind::Normal, body);
        if (aborted_) return false;  // nothing after an abort is kept
        Memo& slot = memo[start];
        slot.state = ok ? 1 : 2;
        if (ok) {
            slot.end = pos_;
            if (tree_ != nullptr) slot.node = stack_.back();
        }
        return ok;
    }

    // first ~ (op ~ operand)* for the three binary levels.
    template <class Operand, class Op>
    bool binary_level(Rule r, Operand&& operand, Op&& op) {
        return rule(r, Kind::Normal, [&] {
            if (!operand()) return false;
            skip();
            repeat([&] { return op() && (skip(), operand()); });
            return true;
        });
    }

    bool addition_expression() {
        auto operand = [&] { return multiplication_expression(); };
        return binary_level(Rule::addition_expression, operand, [&] {
            return attempt([&] { return PLUS(); }) || MINUS();
        });
    }

    // The operator choice of each level is tried as "op ~ operand" per
    // alternative; since the operator tokens are distinct, trying the operators
    // in order and then one operand accepts exactly the same texts.
    bool multiplication_expression() {
        auto operand = [&] { return power_expression(); };
        return binary_level(Rule::multiplication_expression, operand, [&] {
            return MULTIPLY() || DIVIDE() || MODULO();
        });
    }

    bool power_expression() {
        auto operand = [&] { return unary_expression(); };
        return binary_level(Rule::power_expression, operand, [&] { return POWER(); });
    }

    bool unary_expression() {
        return rule(Rule::unary_expression, Kind::Normal, [&] {
            if (!PLUS()) MINUS();
            skip();
            return atomic_expression();
        });
    }

    bool atomic_expression() {
        return rule(Rule::atomic_expression, Kind::Normal, [&] {
            if (NUMBER_OR_PERCENT() || NODE_REFERENCE() || CHILDREN_REFERENCE() ||
                RIGHT_REFERENCE() || modifier_expression())
                return true;
            return nested([&] {
                return function_expression() || aggregation_expression() ||
                       conditional_expression();
            }) || EMPTY() || attempt([&] {
                return LPAREN() && nested([&] {
                           return (skip(), expression()) && (skip(), RPAREN());
                       });
            });
        });
    }

    // -- calls ----------------------------------------------------------------

    template <class Name, class Args>
    bool call(Rule r, Name&& name, Args&& args) {
        return rule(r, Kind::Normal, [&] {
            return name() && (skip(), LPAREN()) && (skip(), args()) && (skip(), RPAREN());
        });
    }

    bool modifier_expression() {
        return call(Rule::modifier_expression, [&] { return modifier_name(); },
                    [&] { return NODE_REFERENCE(); });
    }

    bool modifier_name() {
        return rule(Rule::modifier_name, Kind::Normal, [&] { return name_keyword<ModifierName>(); });
    }

    bool function_expression() {
        return call(Rule::function_expression, [&] { return function_name(); },
                    [&] { return argument_list(Rule::function_args); });
    }

    bool function_name() {
        return rule(Rule::function_name, Kind::Normal, [&] { return name_keyword<FunctionName>(); });
    }

    bool argument_list(Rule r) {
        return rule(r, Kind::Normal, [&] {
            if (!expression()) return false;
            skip();
            repeat([&] { return SEMICOLON() && (skip(), expression()); });
            return true;
        });
    }

    bool aggregation_expression() {
        return call(Rule::aggregation_expression, [&] { return aggregation_name(); },
                    [&] { return argument_list(Rule::aggregator_args); });
    }

    bool aggregation_name() {
        return rule(Rule::aggregation_name, Kind::Normal, [&] { return name_keyword<AggregationName>(); });
    }

    bool conditional_expression() {
        return call(Rule::conditional_expression, [&] { return conditional_name(); },
                    [&] { return conditional_args(); });
    }

    bool conditional_name() {
        return rule(Rule::conditional_name, Kind::Normal, [&] { return name_keyword<ConditionalName>(); });
    }

    bool conditional_args() {
        return rule(Rule::conditional_args, Kind::Normal, [&] {
            if (!(boolean_expression() && (skip(), SEMICOLON()) && (skip(), expression())))
                return false;
            skip();
            repeat([&] {
                return SEMICOLON() && (skip(), boolean_expression()) && (skip(), SEMICOLON()) &&
                       (skip(), expression());
            });
            skip();
            attempt([&] { return SEMICOLON() && (skip(), expression()); });
            return true;
        });
    }

    // -- conditions -------------------------------------------------------------

    bool boolean_expression() {
        return memoised(Rule::boolean_expression, memo_boolean_,
                        [&] { return or_expression(); });
    }

    bool or_expression() {
        auto operand = [&] { return and_expression(); };
        return binary_level(Rule::or_expression, operand, [&] { return OR(); });
    }

    bool and_expression() {
        auto operand = [&] { return negation_expression(); };
        return binary_level(Rule::and_expression, operand, [&] { return AND(); });
    }

    bool negation_expression() {
        return rule(Rule::negation_expression, Kind::Normal, [&] {
            repeat([&] { return NOT(); });
            skip();
            return atomic_boolean_expression();
        });
    }

    bool atomic_boolean_expression() {
        return rule(Rule::atomic_boolean_expression, Kind::Normal, [&] {
            // First and second alternatives share their leading expression: the
            // second is what remains of the first when no comparison follows.
            if (expression()) {
                attempt([&] { return (skip(), COMPARISON_OP()) && (skip(), expression()); });
                return true;
            }
            return attempt([&] {
                return LPAREN() && nested([&] {
                           return (skip(), boolean_expression()) && (skip(), RPAREN());
                       });
            });
        });
    }

    bool COMPARISON_OP() {
        return rule(Rule::COMPARISON_OP, Kind::Silent, [&] {
            for (const ComparisonToken& t : kComparisonTokens) {
                if (comparison(t)) return true;
            }
            return false;
        });
    }

    // One comparison operator's rule; one spelling is a plain token.
    bool comparison(const ComparisonToken& t) {
        if (t.spellings[1].empty()) return token(t.rule, t.spellings[0]);
        return rule(t.rule, Kind::Normal, [&] { return lit(t.spellings[0]) || lit(t.spellings[1]); });
    }

    // -- single tokens ------------------------------------------------------

    bool EQUALS() { return token(Rule::EQUALS, "="); }
    bool PLUS() { return token(Rule::PLUS, "+"); }
    bool MINUS() { return token(Rule::MINUS, "-"); }
    bool MULTIPLY() { return token(Rule::MULTIPLY, "*"); }
    bool DIVIDE() { return token(Rule::DIVIDE, "/"); }
    bool MODULO() { return token(Rule::MODULO, "%"); }
    bool POWER() {
        return rule(Rule::POWER, Kind::Normal, [&] { return lit("**") || lit("^"); });
    }
    bool NOT() { return keyword(Rule::NOT, kNotKeyword); }
    bool AND() { return keyword(Rule::AND, kAndKeyword); }
    bool OR() { return keyword(Rule::OR, kOrKeyword); }
    bool EMPTY() { return keyword(Rule::EMPTY, kEmptyKeyword); }
    bool LPAREN() { return token(Rule::LPAREN, "("); }
    bool RPAREN() { return token(Rule::RPAREN, ")"); }
    bool LBRACKET() { return token(Rule::LBRACKET, "["); }
    bool RBRACKET() { return token(Rule::RBRACKET, "]"); }
    bool AT() { return token(Rule::AT, "@"); }
    bool LCURLYAT() { return token(Rule::LCURLYAT, "@{"); }
    bool RCURLY() { return token(Rule::RCURLY, "}"); }
    bool SEMICOLON() { return token(Rule::SEMICOLON, ";"); }

    // -- references ---------------------------------------------------------

    bool bracket_index() {
        return attempt([&] {
            return LBRACKET() && (skip(), INDEX()) && (skip(), RBRACKET());
        });
    }

    bool NODE_REFERENCE() {
        return rule(Rule::NODE_REFERENCE, Kind::CompoundAtomic, [&] {
            if (!(attempt([&] { return LCURLYAT() && CURLY_IDENTIFIER() && RCURLY(); }) ||
                  attempt([&] { return AT() && IDENTIFIER(); })))
                return false;
            bracket_index();
            return true;
        });
    }

    bool keyword_reference(Rule r, std::string_view word) {
        return rule(r, Kind::Normal, [&] {
            if (!ilit(word)) return false;
            skip();
            bracket_index();
            return true;
        });
    }
    bool CHILDREN_REFERENCE() { return keyword_reference(Rule::CHILDREN_REFERENCE, kChildrenKeyword); }
    bool RIGHT_REFERENCE() { return keyword_reference(Rule::RIGHT_REFERENCE, kRightKeyword); }

    bool INDEX() {
        return rule(Rule::INDEX, Kind::Normal, [&] {
            // One or more digits: whitespace between them is skipped, but not
            // after the last.
            if (!digit()) return false;
            while (attempt([&] { return skip(), digit(); })) {
            }
            return true;
        });
    }

    bool IDENTIFIER() {
        return rule(Rule::IDENTIFIER, Kind::Atomic, [&] {
            if (!(lit("_") || char_if(unicode::is_xid_start))) return false;
            while (lit("_") || char_if(unicode::is_xid_continue)) {
            }
            return true;
        });
    }

    bool CURLY_IDENTIFIER() {
        return rule(Rule::CURLY_IDENTIFIER, Kind::Atomic, [&] {
            const std::size_t start = pos_;
            while (!known_open() && curly_item()) {
            }
            if (known_open()) pos_ = text_.size();
            if (at_end()) remember_open(start);
            return true;
        });
    }

    // One item of a braced name: a brace group, or one character but "}".
    bool curly_item() {
        const bool group = attempt([&] {
            if (!lit("{")) return false;
            while (!at_end() && peek() != '{' && peek() != '}') any_char();
            return lit("}");
        });
        if (group) return true;
        if (at_end() || peek() == '}') return false;
        any_char();
        return true;
    }

    // The items of a braced name depend on nothing but where they start, so a
    // walk that reached the end from `start` reaches it from every item start
    // it passed; those are marked for later matches on the same text.
    void remember_open(std::size_t start) {
        if (open_name_ == nullptr) return;
        if (open_name_->empty()) open_name_->resize(base_ + text_.size());
        pos_ = start;
        while (!at_end() && !known_open()) {
            (*open_name_)[base_ + pos_] = true;
            if (!curly_item()) break;
        }
        pos_ = text_.size();
    }

    bool known_open() const {
        return open_name_ != nullptr && !at_end() && !open_name_->empty() &&
               (*open_name_)[base_ + pos_];
    }

    // -- numbers --------------------------------------------------------------

    bool digits() {
        if (!digit()) return false;
        while (digit()) {
        }
        return true;
    }

    // ("sep" ~ D{3}) once.
    bool group(char sep) {
        return attempt([&] {
            return lit(std::string_view(&sep, 1)) && digit() && digit() && digit();
        });
    }

    // D+ ~ (sep ~ D{3}){min,}
    bool grouped(char sep, int min) {
        if (!digits()) return false;
        int n = 0;
        while (group(sep)) ++n;
        return n >= min;
    }

    bool NUMBER() {
        return rule(Rule::NUMBER, Kind::Normal, [&] {
            // Every alternative but the last needs a separator right after
            // the first (greedy) run of digits.
            const std::size_t start = pos_;
            if (!digits()) return false;
            if (at_end() || (peek() != ',' && peek() != '.')) return true;
            pos_ = start;
            return attempt([&] { return grouped(',', 1) && lit(".") && digits(); }) ||
                   attempt([&] { return grouped('.', 1) && lit(",") && digits(); }) ||
                   attempt([&] { return grouped(',', 2); }) ||
                   attempt([&] { return grouped('.', 2); }) ||
                   attempt([&] { return digits() && (lit(".") || lit(",")) && digits(); }) ||
                   digits();
        });
    }

    bool NUMBER_OR_PERCENT() {
        return rule(Rule::NUMBER_OR_PERCENT, Kind::Atomic, [&] {
            if (!NUMBER()) return false;
            attempt([&] {
                return lit("%") && lookahead_not([&] {
                           while (!at_end() && is_grammar_space(peek())) ++pos_;
                           return OPERAND_START();
                       });
            });
            return true;
        });
    }

    bool OPERAND_START() {
        return rule(Rule::OPERAND_START, Kind::Silent, [&] {
            return digit() || lit("(") || lit("@") || lit("_") || char_if(unicode::is_xid_start);
        });
    }

    bool SIGNED_NUMBER() {
        return rule(Rule::SIGNED_NUMBER, Kind::Normal, [&] {
            if (!PLUS()) MINUS();
            skip();
            return NUMBER_OR_PERCENT();
        });
    }

    bool WHITESPACE() {
        return rule(Rule::WHITESPACE, Kind::Silent, [&] {
            if (at_end() || !is_grammar_space(peek())) return false;
            ++pos_;
            return true;
        });
    }

    bool dispatch(Rule r);
    bool dispatch_structure(Rule r);
    bool dispatch_operator(Rule r);
    bool dispatch_operand(Rule r);

    // The token scanner makes a matcher for every rule it tries: the
    // resource is looked up once, not once per table.
    Matcher(std::string_view text, ParseTree* tree, std::vector<bool>* open_name, std::size_t base,
            int max_nesting, std::pmr::memory_resource* scratch)
        : text_(text),
          tree_(tree),
          max_nesting_(max_nesting),
          stack_(scratch),
          memo_expression_(scratch),
          memo_boolean_(scratch),
          open_name_(open_name),
          base_(base) {}

    std::string_view text_;
    ParseTree* tree_;  // null: match only, build no nodes
    int max_nesting_;
    std::size_t pos_ = 0;
    std::pmr::vector<NodeId> stack_;
    std::pmr::vector<Memo> memo_expression_;
    std::pmr::vector<Memo> memo_boolean_;
    GrammarFailure failure_;
    int nesting_ = 0;
    int negative_ = 0;
    bool atomic_ = false;
    bool inside_atomic_ = false;
    bool aborted_ = false;
    std::vector<bool>* open_name_;
    std::size_t base_;
};

// A rule by its identifier (the entry points take any rule), in three groups
// along the identifier order.
bool Matcher::dispatch(Rule r) {
    if (r <= Rule::atomic_boolean_expression) return dispatch_structure(r);
    if (r <= Rule::OR) return dispatch_operator(r);
    return dispatch_operand(r);
}

// The rules that hold other rules: entry rules, expressions, calls, conditions.
bool Matcher::dispatch_structure(Rule r) {
    switch (r) {
        case Rule::EOI: return EOI();
        case Rule::value: return value();
        case Rule::boolean_value: return boolean_value();
        case Rule::expression: return expression();
        case Rule::addition_expression: return addition_expression();
        case Rule::multiplication_expression: return multiplication_expression();
        case Rule::power_expression: return power_expression();
        case Rule::unary_expression: return unary_expression();
        case Rule::atomic_expression: return atomic_expression();
        case Rule::modifier_expression: return modifier_expression();
        case Rule::modifier_name: return modifier_name();
        case Rule::function_expression: return function_expression();
        case Rule::function_name: return function_name();
        case Rule::function_args: return argument_list(Rule::function_args);
        case Rule::aggregation_expression: return aggregation_expression();
        case Rule::aggregation_name: return aggregation_name();
        case Rule::aggregator_args: return argument_list(Rule::aggregator_args);
        case Rule::conditional_expression: return conditional_expression();
        case Rule::conditional_name: return conditional_name();
        case Rule::conditional_args: return conditional_args();
        case Rule::boolean_expression: return boolean_expression();
        case Rule::or_expression: return or_expression();
        case Rule::and_expression: return and_expression();
        case Rule::negation_expression: return negation_expression();
        case Rule::atomic_boolean_expression: return atomic_boolean_expression();
        default: return false;
    }
}

bool Matcher::dispatch_operator(Rule r) {
    switch (r) {
        case Rule::EQUALS: return EQUALS();
        case Rule::PLUS: return PLUS();
        case Rule::MINUS: return MINUS();
        case Rule::MULTIPLY: return MULTIPLY();
        case Rule::DIVIDE: return DIVIDE();
        case Rule::MODULO: return MODULO();
        case Rule::POWER: return POWER();
        case Rule::COMPARISON_OP: return COMPARISON_OP();
        case Rule::EQUAL_TO:
        case Rule::NOT_EQUAL:
        case Rule::GREATER_THAN:
        case Rule::LESS_THAN:
        case Rule::GREATER_OR_EQUAL:
        case Rule::LESS_OR_EQUAL: return comparison(comparison_token(*comparison_of_rule(r)));
        case Rule::NOT: return NOT();
        case Rule::AND: return AND();
        case Rule::OR: return OR();
        default: return false;
    }
}

// References, numbers, names and the punctuation around them.
bool Matcher::dispatch_operand(Rule r) {
    switch (r) {
        case Rule::NODE_REFERENCE: return NODE_REFERENCE();
        case Rule::CHILDREN_REFERENCE: return CHILDREN_REFERENCE();
        case Rule::RIGHT_REFERENCE: return RIGHT_REFERENCE();
        case Rule::INDEX: return INDEX();
        case Rule::NUMBER: return NUMBER();
        case Rule::NUMBER_OR_PERCENT: return NUMBER_OR_PERCENT();
        case Rule::OPERAND_START: return OPERAND_START();
        case Rule::SIGNED_NUMBER: return SIGNED_NUMBER();
        case Rule::IDENTIFIER: return IDENTIFIER();
        case Rule::CURLY_IDENTIFIER: return CURLY_IDENTIFIER();
        case Rule::LPAREN: return LPAREN();
        case Rule::RPAREN: return RPAREN();
        case Rule::LBRACKET: return LBRACKET();
        case Rule::RBRACKET: return RBRACKET();
        case Rule::AT: return AT();
        case Rule::LCURLYAT: return LCURLYAT();
        case Rule::RCURLY: return RCURLY();
        case Rule::SEMICOLON: return SEMICOLON();
        case Rule::EMPTY: return EMPTY();
        case Rule::WHITESPACE: return WHITESPACE();
        default: return false;
    }
}

bool Matcher::run(Rule start) { return dispatch(start); }

}  // namespace

bool parse(Rule start, std::string_view text, ParseTree& tree, GrammarFailure& failure,
           int max_nesting) {
    tree.text = text;
    tree.nodes.clear();
    tree.child_ids.clear();
    tree.top.clear();
    tree.child_ids.reserve(std::min<std::size_t>(4 * text.size() + 16, 4096));
    if (text.size() >= std::numeric_limits<std::uint32_t>::max()) {
        // Node children are counted in 32 bits; no formula comes near this.
        failure = GrammarFailure{};
        failure.too_deep = true;
        return false;
    }
    tree.nodes.reserve(std::min<std::size_t>(4 * text.size() + 16, 4096));
    Matcher m(text, &tree, nullptr, 0, max_nesting);
    if (!m.run(start)) {
        failure = m.failure();
        return false;
    }
    tree.top.assign(m.stack().begin(), m.stack().end());
    return true;
}

std::optional<std::size_t> match_length(Rule rule, std::string_view text) {
    Matcher m(text, nullptr);
    if (!m.run(rule)) return std::nullopt;
    return m.pos();
}

std::size_t SuffixMatcher::match_length(Rule rule, std::size_t from) {
    Matcher m(text_.substr(from), nullptr, &open_name_, from);
    return m.run(rule) ? m.pos() : kNoMatch;
}

}  // namespace morvax::grammar
