// The direct reading of the parser against the full grammar: on every text
// the direct reading accepts, the grammar must accept it with the same tree.
// Texts come from a generator that mixes valid pieces with near misses.
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "parser/ast_dump.hpp"
#include "parser/direct.hpp"
#include "parser/parse.hpp"

namespace {

using namespace morvax;

class Generator {
public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    std::string formula() {
        switch (pick(10)) {
            case 0: return space() + number() + space();
            case 1: return "";
            default: return space() + "=" + space() + expression(0) + space();
        }
    }

    std::string condition() { return space() + boolean(0) + space(); }

private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return pick(100) < static_cast<std::size_t>(percent); }

    template <std::size_t N>
    std::string_view one_of(const std::string_view (&items)[N]) {
        return items[pick(N)];
    }

    std::string space() {
        static constexpr std::string_view spaces[] = {"", "", "", " ", "  ", "\t", "\n", "\r\n"};
        return std::string(one_of(spaces));
    }

    std::string cased(std::string_view word) {
        std::string out(word);
        for (char& c : out)
            if (chance(30) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return out;
    }

    std::string number() {
        static constexpr std::string_view numbers[] = {
            "1", "42", "007", "1.5", "1,5", "1,234", "1.234", "1,234.56", "1.234,56", "1,234,567",
            "1.234.567", "50%", "1,5%", "1,234,5678", "1.", "99999999999999999999", "0", "3.14159",
            "12,34", "1,23", "-5", "+2", "- 5", "5%%", "1e5", "0.05", "1.234%", "1.2345,6", "2.50.1",
            "1.5,", "10.25.", "1.234.5"};
        std::string n(one_of(numbers));
        if (chance(10)) n += "%";
        return n;
    }

    std::string reference() {
        static constexpr std::string_view refs[] = {
            "@a", "@Revenue", "@_x", "@{Gross margin}", "@{a[1]}", "@{a{b}c}", "@{}", "@{a}}",
            "@\xc3\xa9t\xc3\xa9", "@1a", "@ a", "@{unclosed", "@x.y", "@a[1 2]", "@a [1]"};
        std::string r(one_of(refs));
        if (chance(30)) r += "[" + std::to_string(pick(4)) + "]";
        return r;
    }

    std::string keyword_ref() {
        static constexpr std::string_view words[] = {"children", "right", "childrenx", "rightmost"};
        std::string r = cased(one_of(words));
        if (chance(40)) r += space() + "[" + space() + std::to_string(pick(3)) + space() + "]";
        if (chance(5)) r += "[1 2]";
        return r;
    }

    std::string args(int depth, std::size_t n) {
        std::string out;
        for (std::size_t i = 0; i < n; ++i) {
            if (i > 0) out += space() + ";" + space();
            out += expression(depth + 1);
        }
        return out;
    }

    std::string atom(int depth) {
        if (depth > 4) return chance(50) ? number() : reference();
        switch (pick(12)) {
            case 0: case 1: return number();
            case 2: case 3: return reference();
            case 4: return keyword_ref();
            case 5: return cased(chance(50) ? "total" : "ratio") + space() + "(" + space() + reference() + space() + ")";
            case 6: {
                static constexpr std::string_view fns[] = {"abs", "round", "ceil", "floor", "pow", "root",
                                                           "log", "mod", "sign", "iferror", "roundx"};
                return cased(one_of(fns)) + space() + "(" + space() + args(depth, 1 + pick(3)) + space() + ")";
            }
            case 7: {
                static constexpr std::string_view aggs[] = {"sum", "mult", "avg", "median", "stdev",
                                                            "max", "min", "count", "coalesce", "sumx"};
                return cased(one_of(aggs)) + "(" + args(depth, 1 + pick(4)) + ")";
            }
            case 8: {
                std::string c = cased(chance(50) ? "if" : "when") + "(" + boolean(depth + 1) + ";" + expression(depth + 1);
                for (std::size_t i = pick(3); i > 0; --i) c += ";" + space() + boolean(depth + 1) + ";" + expression(depth + 1);
                if (chance(60)) c += ";" + space() + expression(depth + 1);
                return c + space() + ")";
            }
            case 9: return cased("empty");
            default: return "(" + space() + expression(depth + 1) + space() + ")";
        }
    }

    std::string expression(int depth) {
        static constexpr std::string_view ops[] = {"+", "-", "*", "/", "%", "^", "**", "--", "+-"};
        static constexpr std::string_view signs[] = {"", "", "", "-", "+", "- "};
        std::string out = std::string(one_of(signs)) + atom(depth);
        for (std::size_t i = pick(depth > 3 ? 1 : 4); i > 0; --i)
            out += space() + std::string(one_of(ops)) + space() + std::string(one_of(signs)) + atom(depth);
        if (chance(2)) out += "$";
        return out;
    }

    std::string boolean(int depth) {
        static constexpr std::string_view cmps[] = {"<", ">", "==", "!=", "<>", ">=", "<=", "="};
        std::string out;
        for (std::size_t i = pick(3); i > 0; --i) out += cased("not") + space();
        if (depth < 4 && chance(15)) {
            out += "(" + boolean(depth + 1) + ")";
        } else {
            out += expression(depth);
            if (chance(70)) out += space() + std::string(one_of(cmps)) + space() + expression(depth);
        }
        if (depth < 4 && chance(20)) out += space() + cased(chance(50) ? "and" : "or") + space() + boolean(depth + 1);
        return out;
    }

    std::mt19937 rng_;
};

TEST(direct_reading_agrees_with_the_grammar) {
    Generator gen(20261208);
    std::size_t accepted = 0, valid = 0, direct = 0;
    for (int i = 0; i < 15000; ++i) {
        const std::string text = gen.formula();
        Arena arena;
        Value fast;
        const bool took = direct::parse_formula(text, arena, fast);
        const auto full = FormulaParser::parse_formula_by_grammar(text, arena);
        valid += full.ok();
        direct += took;
        if (!took) continue;
        CHECK(full.ok()) << text;
        if (full.ok()) CHECK_EQ(dump(fast), dump(full.value)) << text;
        ++accepted;
    }
    // The direct reading is the fast path: it must take most valid formulas.
    CHECK(direct * 10 >= valid * 7) << direct << " of " << valid;
    std::printf("formulas: %zu valid, %zu read directly\n", valid, direct);
}

TEST(direct_conditions_agree_with_the_grammar) {
    Generator gen(7);
    std::size_t valid = 0, direct = 0;
    for (int i = 0; i < 10000; ++i) {
        const std::string text = gen.condition();
        Arena arena;
        const BooleanExpression* fast = nullptr;
        const bool took = direct::parse_condition(text, arena, fast);
        const auto full = FormulaParser::parse_condition_by_grammar(text, arena);
        valid += full.ok();
        direct += took;
        if (!took) continue;
        CHECK(full.ok()) << text;
        if (full.ok()) CHECK_EQ(dump(*fast), dump(*full.value)) << text;
    }
    CHECK(direct * 10 >= valid * 5) << direct << " of " << valid;
    std::printf("conditions: %zu valid, %zu read directly\n", valid, direct);
}

// A parse for a shallow stack gives what the deep one gives, or asks for the
// deep one: texts nested from none to a dozen levels around generated ones.
TEST(shallow_and_deep_parses_agree) {
    Generator gen(17);
    std::mt19937 rng(17);
    std::size_t deep_only = 0, agreed = 0;
    for (int i = 0; i < 6000; ++i) {
        const int levels = static_cast<int>(rng() % 13);
        std::string text = i % 2 == 0 ? gen.formula() : gen.condition();
        const std::size_t eq = text.find('=');
        if (i % 2 == 0 && eq != std::string::npos && text.compare(eq, 2, "==") != 0) {
            std::string inner = text.substr(eq + 1);
            text = "=";
            for (int l = 0; l < levels; ++l) text += l % 2 ? "abs(" : "(";
            text += inner + std::string(static_cast<std::size_t>(levels), ')');
        } else if (i % 2 == 1) {
            text = std::string(static_cast<std::size_t>(levels), '(') + text + std::string(static_cast<std::size_t>(levels), ')');
        }
        Arena arena;
        std::string shallow_dump, deep_dump;
        bool needs_deep = false, shallow_ok = false, deep_ok = false;
        if (i % 2 == 0) {
            const auto shallow = FormulaParser::parse_formula(text, arena, StackRoom::Shallow);
            const auto deep = FormulaParser::parse_formula(text, arena, StackRoom::Deep);
            needs_deep = shallow.needs_deep_stack;
            shallow_ok = shallow.ok(), deep_ok = deep.ok();
            if (shallow_ok) shallow_dump = dump(shallow.value);
            if (deep_ok) deep_dump = dump(deep.value);
        } else {
            const auto shallow = FormulaParser::parse_condition(text, arena, StackRoom::Shallow);
            const auto deep = FormulaParser::parse_condition(text, arena, StackRoom::Deep);
            needs_deep = shallow.needs_deep_stack;
            shallow_ok = shallow.ok(), deep_ok = deep.ok();
            if (shallow_ok) shallow_dump = dump(*shallow.value);
            if (deep_ok) deep_dump = dump(*deep.value);
        }
        if (needs_deep) {
            ++deep_only;
            continue;
        }
        ++agreed;
        CHECK_EQ(shallow_ok, deep_ok) << text;
        CHECK_EQ(shallow_dump, deep_dump) << text;
    }
    CHECK(deep_only > 500 && agreed > 500) << deep_only << " " << agreed;
}

TEST(common_formulas_take_the_direct_path) {
    for (std::string_view text :
         {"", "5", " -1,5% ", "=1+2*3", "=@Revenue * (1 + @Growth)", "=sum(children)",
          "=SUM(children[1]; right[2])", "=total(@Cost) + ratio(@{Gross margin}[2])",
          "=if(@a > 1; 2; 3)", "=when(@a; 1; @b >= 2 and not @c; 2; 3)", "=iferror(@x / @y; 0)",
          "=round(@p * 1,5; 2)", "=2 ** 3 ^ 2 % 5", "=coalesce(@a; @b; empty)", "=-@a--@b"}) {
        Arena arena;
        Value v;
        CHECK(direct::parse_formula(text, arena, v)) << text;
    }
}

}  // namespace
