// The direct reading of the parser against the full grammar: on every text
// the direct reading accepts, the grammar must accept it with the same tree.
// Texts come from the generator of the tree tests, with near misses.
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "generated_trees.hpp"
#include "parser/ast_dump.hpp"
#include "parser/direct.hpp"
#include "parser/parse.hpp"

namespace {

using namespace morvax;

// Formulas and conditions with near misses of every piece.
test::Formulas parser_texts(unsigned seed) { return test::Formulas(seed, test::parser_vocabulary()); }

TEST(direct_reading_agrees_with_the_grammar) {
    test::Formulas gen = parser_texts(20261208);
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
    test::Formulas gen = parser_texts(7);
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
    test::Formulas gen = parser_texts(17);
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

// Numbers in every grouping and decimal form, and near misses, alone and as
// operands: the direct reading spells the number rule out, so it takes every
// text here that the grammar takes, with the same tree.
TEST(direct_numbers_agree_with_the_grammar) {
    std::mt19937 rng(11);
    constexpr std::string_view symbols = "0123456789,.,.,.%  ";
    std::size_t valid = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string number(1, static_cast<char>('0' + rng() % 10));
        for (std::size_t k = rng() % 12; k > 0; --k) number += symbols[rng() % symbols.size()];
        for (const std::string& text : {number, "=" + number, "=" + number + "*2", "=(" + number + ")+1"}) {
            Arena arena;
            Value fast;
            const bool took = direct::parse_formula(text, arena, fast);
            const auto full = FormulaParser::parse_formula_by_grammar(text, arena);
            valid += full.ok();
            CHECK_EQ(took, full.ok()) << text;
            if (took && full.ok()) CHECK_EQ(dump(fast), dump(full.value)) << text;
        }
    }
    CHECK(valid > 20000) << valid;
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
