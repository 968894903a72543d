// Why a formula fails: the parse failure of one formula text with a hint for
// the common slips, and for a whole tree every cell whose value is an error,
// with its cause and the place in the formula that caused it.
//
// Positions handed out here count characters (code points), not bytes, so
// that a caller's string slices with them as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "eval/interrupt.hpp"
#include "eval/types.hpp"

namespace morvax {

struct FormulaProblem {
    std::string message;  // the parser's own message
    std::size_t start = 0;
    std::size_t end = 0;   // the offending text; start == end at the end of the text
    std::string hint;      // empty when no common slip fits
};

// Nothing when `text` parses as a stored formula.
std::optional<FormulaProblem> diagnose_formula(std::string_view text);

// Why a cell holds an error, from the first failure of its formula.
enum class Cause : std::uint8_t {
    Syntax,           // the formula text does not parse
    UnknownName,      // no node carries the name
    Hidden,           // only hidden nodes carry it
    Ambiguous,        // several visible nodes carry it where one is needed
    IndexOutOfRange,  // an index 0 or past the end; `right` of a single formula
    Cycle,            // the cell takes part in a circular reference
    DivisionByZero,   // `/`, `%`, mod() by zero; ratio() of a zero total
    InvalidArgument,  // root(), log(), an aggregation of too few values, a comparison with empty
    SeveralValues,    // a bare `children` or `right` where one value is needed
    Propagated,       // the error came from another cell
};

std::string_view cause_text(Cause cause);

struct CellProblem {
    std::size_t node = 0;  // position in pre-order
    std::size_t dimension = 0;
    EvalError value = EvalError::Error;
    Cause cause = Cause::Propagated;
    std::string detail;
    std::size_t start = 0;  // what caused it in the cell's formula text
    std::size_t end = 0;
    // Propagated: the cell the error was read from.
    bool has_source = false;
    std::size_t source_node = 0;
    std::size_t source_dimension = 0;
};

// Evaluates the tree as evaluate_tree does, keeping what caused each error:
// one problem per node and dimension whose value is an error, in pre-order
// then dimension order; a node whose value is one result for every dimension
// has at most one, in dimension 0. With `save_values` the values go into the
// nodes' `value` fields too, as evaluate_tree stores them.
// Once `interrupt` (when given) says stop, throws Interrupted.
std::vector<CellProblem> diagnose_tree(Node& root, bool save_values = false, Interrupt* interrupt = nullptr);

}  // namespace morvax
