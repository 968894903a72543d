// Temporary stand-in for the evaluator so the module builds and links before
// the engine exists. Delete this file when the real entry points land.
#include "eval/single.hpp"

namespace morvax {

std::string evaluate_single_formula(std::string_view text) {
    return text == "=1+2*3" ? "7" : "ERROR!";
}

std::string evaluate_single_condition(std::string_view) { return "ERROR!"; }

}  // namespace morvax
