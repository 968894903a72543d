// Parsing a text, and using its syntax tree, on a stack with room for it.
// Construction, evaluation and translation recurse once per nesting level, so
// a text nested beyond kShallowNesting is parsed, and its tree used, on a
// stack segment; every other text on the calling thread's own stack, which
// may be small.  The result never depends on which: one nesting limit,
// kMaxNesting, holds on every thread.
#pragma once

#include <string_view>
#include <utility>

#include "eval/stack_segments.hpp"
#include "parser/parse.hpp"

namespace morvax {

// Parses `text` with `parse` (a parse function of FormulaParser) where it
// fits; `room` tells where, and so where the tree is to be used (use_tree).
template <class Parse>
auto parse_where_it_fits(StackSegments& segments, std::string_view text, Arena& arena,
                         Parse&& parse, StackRoom& room) {
    const Arena::Mark before = arena.mark();
    room = StackRoom::Shallow;
    // Instrumented and unoptimised builds have frames several times larger,
    // and a small thread stack may not hold even a shallow text's parse
    // there: they parse on a segment every time (same result either way).
    decltype(parse(text, arena, StackRoom::Shallow)) result;
    if (!MORVAX_LARGE_FRAMES) {
        result = parse(text, arena, StackRoom::Shallow);
        if (!result.needs_deep_stack) return result;
        arena.rewind(before);
    }
    room = StackRoom::Deep;
    segments.call([&] { result = parse(text, arena, StackRoom::Deep); });
    return result;
}

// `literals`: see FormulaParser::parse_formula.
inline ParseResult<Value> parse_formula_where_it_fits(StackSegments& segments,
                                                      std::string_view text, Arena& arena,
                                                      StackRoom& room,
                                                      std::vector<direct::Literal>* literals = nullptr) {
    return parse_where_it_fits(
        segments, text, arena,
        [literals](std::string_view t, Arena& a, StackRoom r) {
            if (literals != nullptr) literals->clear();  // a shallow try's go with it
            return FormulaParser::parse_formula(t, a, r, literals);
        },
        room);
}

inline ParseResult<const BooleanExpression*> parse_condition_where_it_fits(
    StackSegments& segments, std::string_view text, Arena& arena, StackRoom& room) {
    return parse_where_it_fits(
        segments, text, arena,
        [](std::string_view t, Arena& a, StackRoom r) { return FormulaParser::parse_condition(t, a, r); },
        room);
}

// Runs `work`, which walks a syntax tree parsed for `room`, on a stack with
// room for that walk.
template <class Work>
void use_tree(StackSegments& segments, StackRoom room, Work&& work) {
    if (room == StackRoom::Shallow) {
        std::forward<Work>(work)();
    } else {
        segments.call(std::forward<Work>(work));
    }
}

}  // namespace morvax
