// Generated formulas and trees for the C++ tests.  Formulas mix every
// construct (references that designate none, one or several nodes, children
// and right with and without index, aggregations of lists, the modifiers,
// functions, conditionals and conditions, cycles); trees, in the notation of
// tree_text.hpp, add names that repeat, hidden nodes, single formulas and
// lists whose entries often repeat.  The names of functions and aggregations
// and their argument counts come from the language's tables, so a new one is
// generated without a change here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "parser/language.hpp"

namespace morvax::test {

// What the generated formulas name: the node names, the references written
// in formulas (some may name no node), and whether some formulas are written
// carelessly (no "=", blanks before it, a call without parentheses).
struct Vocabulary {
    std::vector<std::string> names{"A", "B", "C"};
    std::vector<std::string> references{"@A", "@B", "@C", "@Z"};
    bool careless = false;
    // Texts for the parser rather than for trees: blanks of every kind
    // between tokens, keywords in any letter case, and near misses of every
    // piece (misspelt names, wrong argument counts, malformed numbers,
    // references and operators).
    bool noisy = false;
};

// The parser's vocabulary: references of every form, some that do not parse.
inline Vocabulary parser_vocabulary() {
    Vocabulary v;
    v.references = {"@a", "@Revenue", "@_x", "@{Gross margin}", "@{a[1]}", "@{a{b}c}", "@{}", "@{a}}",
                    "@\xc3\xa9t\xc3\xa9", "@1a", "@ a", "@{unclosed", "@x.y", "@a[1 2]", "@a [1]"};
    v.noisy = true;
    return v;
}

class Formulas {
public:
    explicit Formulas(unsigned seed, Vocabulary vocabulary = {})
        : random_(seed), vocabulary_(std::move(vocabulary)), depth_(vocabulary_.noisy ? 5 : 2) {}

    // A stored formula: empty, a number, or "=" and an expression.
    std::string formula() {
        if (noisy()) {
            switch (pick(10)) {
                case 0: return space() + number() + space();
                case 1: return "";
                default: return space() + "=" + space() + expression(depth_) + space();
            }
        }
        switch (pick(8)) {
            case 0: return std::to_string(pick(5));
            case 1: return "";
            case 2: return number_text();
            default:
                if (vocabulary_.careless && pick(5) == 0) return careless();
                return "=" + expression(depth_);
        }
    }

    // A condition text, as conditionals hold them.
    std::string condition() { return space() + boolean(depth_) + space(); }

    const Vocabulary& vocabulary() const { return vocabulary_; }

private:
    bool noisy() const { return vocabulary_.noisy; }
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }
    bool chance(int percent) { return pick(100) < static_cast<std::size_t>(percent); }
    template <std::size_t N>
    std::string one_of(const std::string_view (&items)[N]) {
        return std::string(items[pick(N)]);
    }

    // Blanks between tokens: none, or any mix when noisy.
    std::string space() {
        static constexpr std::string_view spaces[] = {"", "", "", " ", "  ", "\t", "\n", "\r\n"};
        return noisy() ? one_of(spaces) : "";
    }
    // Blanks around an operator: one space, or any mix when noisy.
    std::string gap() { return noisy() ? space() : " "; }

    // A keyword, in any letter case when noisy.
    std::string cased(std::string_view word) {
        std::string out(word);
        if (!noisy()) return out;
        for (char& c : out)
            if (chance(30) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return out;
    }

    std::string careless() {
        switch (pick(4)) {
            case 0: return expression(depth_);
            case 1: return "  =" + expression(depth_);
            case 2: return "=abs" + reference();
            default: return "=" + expression(depth_) + " ";
        }
    }

    // Digits, points and signs in any order: plain numbers, which skip the
    // parser, and texts that only look like them.
    std::string number_text() {
        static const char symbols[] = "0123456789000..-";
        std::string text;
        for (std::size_t i = 1 + pick(20); i > 0; --i) text += symbols[pick(sizeof(symbols) - 1)];
        return text;
    }

    // Numbers in every grouping and decimal form, and malformed ones.
    std::string number() {
        static constexpr std::string_view numbers[] = {
            "1", "42", "007", "1.5", "1,5", "1,234", "1.234", "1,234.56", "1.234,56", "1,234,567",
            "1.234.567", "50%", "1,5%", "1,234,5678", "1.", "99999999999999999999", "0", "3.14159",
            "12,34", "1,23", "-5", "+2", "- 5", "5%%", "1e5", "0.05", "1.234%", "1.2345,6", "2.50.1",
            "1.5,", "10.25.", "1.234.5"};
        std::string n = one_of(numbers);
        if (chance(10)) n += "%";
        return n;
    }

    std::string small_number() { return noisy() ? number() : std::to_string(pick(4)); }

    std::string reference() {
        const std::vector<std::string>& references = vocabulary_.references;
        std::string r = references[pick(references.size())];
        if (noisy() ? chance(30) : pick(2) == 0) r += "[" + std::to_string(pick(4)) + "]";
        return r;
    }

    // children or right, with or without an index; near misses when noisy.
    std::string listed() {
        static constexpr std::string_view words[] = {kChildrenKeyword, kRightKeyword, "childrenx", "rightmost"};
        if (!noisy()) {
            std::string r(words[pick(2)]);
            if (pick(2) == 0) r += "[" + std::to_string(pick(4)) + "]";
            return r;
        }
        std::string r = cased(one_of(words));
        if (chance(40)) r += space() + "[" + space() + std::to_string(pick(3)) + space() + "]";
        if (chance(5)) r += "[1 2]";
        return r;
    }

    std::string arguments(int depth, std::size_t n) {
        std::string out = expression(depth);
        for (std::size_t i = 1; i < n; ++i) out += space() + ";" + gap() + expression(depth);
        return out;
    }

    std::string call(std::string_view name, const std::string& inside) {
        return cased(name) + space() + "(" + space() + inside + space() + ")";
    }

    // A function with as many arguments as it takes; when noisy, sometimes a
    // wrong count or a name that is none.
    std::string function(int depth) {
        const std::size_t f = pick(kFunctionKeywords.size());
        const Arity a = kFunctionArity[f];
        std::size_t n = a.min + pick(a.max - a.min + 1);
        if (noisy() && chance(15)) n = 1 + pick(3);
        return call(noisy() && chance(5) ? "roundx" : kFunctionKeywords[f], arguments(depth, n));
    }

    std::string aggregation(int depth) {
        const std::string_view name = noisy() && chance(5) ? "sumx" : kAggregationKeywords[pick(kAggregationKeywords.size())];
        if (!noisy() && name != keyword(AggregationName::Coalesce) && pick(4) == 0) return call(name, "");
        return call(name, arguments(depth, 1 + pick(noisy() ? 4 : 3)));
    }

    // if (one clause and a default) or when (clauses, a default or none); when
    // noisy, any number of either.
    std::string conditional(int depth) {
        const ConditionalName name = pick(2) == 0 ? ConditionalName::If : ConditionalName::When;
        const bool any_count = noisy() || name == ConditionalName::When;
        std::string inside = boolean(depth) + space() + ";" + gap() + expression(depth);
        for (std::size_t i = any_count ? pick(3) : 0; i > 0; --i)
            inside += space() + ";" + gap() + boolean(depth) + space() + ";" + gap() + expression(depth);
        if (!any_count || chance(60)) inside += space() + ";" + gap() + expression(depth);
        return call(keyword(name), inside);
    }

    std::string term(int depth) {
        if (depth == 0) return pick(2) == 0 ? small_number() : reference();
        --depth;
        switch (pick(14)) {
            case 0: return small_number();
            case 1: return "0.5";
            case 2:
            case 3: return reference();
            case 4: return listed();
            case 5: return "-" + term(depth);
            case 6: return "+" + listed();
            case 7: return "(" + space() + expression(depth) + space() + ")";
            case 8: return aggregation(depth);
            case 9: return call(keyword(static_cast<ModifierName>(pick(2))), reference());
            case 10:
            case 11: return function(depth);
            case 12: return conditional(depth);
            default: return cased(kEmptyKeyword);
        }
    }

    std::string expression(int depth) {
        static constexpr std::string_view ops[] = {"+", "-", "*", "/", "%", "^", "**", "--", "+-"};
        static constexpr std::string_view signs[] = {"", "", "", "-", "+", "- "};
        if (!noisy()) {
            std::string out = term(depth);
            for (std::size_t i = pick(4) / 2; i > 0; --i) out += gap() + std::string(ops[pick(7)]) + gap() + term(depth);
            return out;
        }
        std::string out = one_of(signs) + term(depth);
        for (std::size_t i = pick(depth < 2 ? 1 : 4); i > 0; --i)
            out += space() + one_of(ops) + space() + one_of(signs) + term(depth);
        if (chance(2)) out += "$";
        return out;
    }

    // Negations, parenthesised conditions, comparisons and bare expressions,
    // joined by and and or; "=" is no comparison, a near miss.
    std::string boolean(int depth) {
        static constexpr std::string_view comparisons[] = {"<", ">", "==", "!=", "<>", ">=", "<=", "="};
        std::string out;
        for (std::size_t i = pick(3); i > 0; --i) out += cased(kNotKeyword) + gap();
        if (depth > 1 && chance(15)) {
            out += "(" + boolean(depth - 1) + ")";
        } else {
            out += expression(depth);
            if (chance(70)) out += gap() + std::string(comparisons[pick(noisy() ? 8 : 7)]) + gap() + expression(depth);
        }
        if (depth > 1 && chance(20)) out += gap() + cased(chance(50) ? kAndKeyword : kOrKeyword) + gap() + boolean(depth - 1);
        return out;
    }

    std::mt19937 random_;
    Vocabulary vocabulary_;
    int depth_;
};

// A tree of up to `most` nodes below its root: names repeat (several nodes
// answer one name), some are hidden, formulas are single or lists, whose
// entries often repeat the one before (as a model's months do).
inline std::string generated_tree(Formulas& formulas, std::mt19937& random, std::size_t most = 7) {
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    const std::vector<std::string>& names = formulas.vocabulary().names;
    std::string text = "R =sum(children)\n";
    std::size_t depth = 1;
    for (std::size_t i = 1 + pick(most); i > 0; --i) {
        text += std::string(depth, ' ') + (pick(5) == 0 ? "~" : "") + names[pick(names.size())] + " ";
        if (pick(2) == 0) {
            text += formulas.formula();
        } else {
            std::string list = "[";
            std::string entry = formulas.formula();
            for (std::size_t k = 1 + pick(3); k > 0; --k) {
                list += entry + (k > 1 ? "|" : "");
                if (pick(2) == 0) entry = formulas.formula();
            }
            text += list + "]";
        }
        text += "\n";
        depth = 1 + pick(std::min<std::size_t>(depth + 1, 3));
    }
    return text;
}

}  // namespace morvax::test
