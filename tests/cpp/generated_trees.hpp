// Generated trees for the C++ tests, in the notation of tree_text.hpp:
// formulas that mix every construct (references that designate none, one or
// several nodes, children and right with and without index, aggregations of
// lists, the modifiers, functions, conditionals, cycles), names that repeat,
// hidden nodes, single formulas and lists whose entries often repeat.
#pragma once

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace morvax::test {

// What the generated formulas name: the node names, the references written
// in formulas (some may name no node), and whether some formulas are written
// carelessly (no "=", blanks before it, a call without parentheses).
struct Vocabulary {
    std::vector<std::string> names{"A", "B", "C"};
    std::vector<std::string> references{"@A", "@B", "@C", "@Z"};
    bool careless = false;
};

class Formulas {
public:
    explicit Formulas(unsigned seed, Vocabulary vocabulary = {})
        : random_(seed), vocabulary_(std::move(vocabulary)) {}

    std::string formula() {
        switch (pick(8)) {
            case 0: return std::to_string(pick(5));
            case 1: return "";
            case 2: return number_text();
            default:
                if (vocabulary_.careless && pick(5) == 0) return careless();
                return "=" + expression(2);
        }
    }

    const Vocabulary& vocabulary() const { return vocabulary_; }

private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    std::string careless() {
        switch (pick(4)) {
            case 0: return expression(2);
            case 1: return "  =" + expression(2);
            case 2: return "=abs" + reference();
            default: return "=" + expression(2) + " ";
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

    std::string expression(int depth) {
        std::string out = term(depth);
        for (std::size_t i = pick(4) / 2; i > 0; --i) {
            static const char* const ops[] = {" + ", " - ", " * ", " / ", " % ", "^"};
            out += ops[pick(6)] + term(depth);
        }
        return out;
    }

    std::string reference() {
        const std::vector<std::string>& references = vocabulary_.references;
        std::string r = references[pick(references.size())];
        if (pick(2) == 0) r += "[" + std::to_string(pick(4)) + "]";
        return r;
    }

    std::string listed() {
        static const char* const forms[] = {"children", "right"};
        std::string r = forms[pick(2)];
        if (pick(2) == 0) r += "[" + std::to_string(pick(4)) + "]";
        return r;
    }

    std::string arguments(int depth) {
        std::string out = expression(depth);
        for (std::size_t i = pick(3); i > 0; --i) out += "; " + expression(depth);
        return out;
    }

    std::string term(int depth) {
        if (depth == 0) return pick(2) == 0 ? std::to_string(pick(4)) : reference();
        --depth;
        switch (pick(16)) {
            case 0: return std::to_string(pick(4));
            case 1: return "0.5";
            case 2:
            case 3: return reference();
            case 4: return listed();
            case 5: return "-" + term(depth);
            case 6: return "+" + listed();
            case 7: return "(" + expression(depth) + ")";
            case 8: {
                static const char* const aggregations[] = {"sum", "mult", "avg", "median", "stdev", "max", "min", "count"};
                const std::string name = aggregations[pick(8)];
                return name + "(" + (pick(4) == 0 ? std::string() : arguments(depth)) + ")";
            }
            case 9: return std::string(pick(2) == 0 ? "total(" : "ratio(") + reference() + ")";
            case 10: {
                static const char* const one[] = {"abs", "ceil", "floor", "sign", "round", "log"};
                return std::string(one[pick(6)]) + "(" + expression(depth) + ")";
            }
            case 11: {
                static const char* const two[] = {"round", "pow", "root", "log", "mod"};
                return std::string(two[pick(5)]) + "(" + expression(depth) + "; " + expression(depth) + ")";
            }
            case 12: return "iferror(" + expression(depth) + "; " + expression(depth) + ")";
            case 13: return "coalesce(" + arguments(depth) + ")";
            case 14: return "when(" + expression(depth) + " > 1; " + expression(depth) + "; " + expression(depth) + ")";
            default: return "empty";
        }
    }

    std::mt19937 random_;
    Vocabulary vocabulary_;
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
