// Feeds arbitrary bytes to both single-formula entry points. Neither may crash,
// hang or trip a sanitizer, whatever the text; every result must be a printable
// outcome.
#include "eval/single.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string formula = morvax::evaluate_single_formula(text);
    const std::string condition = morvax::evaluate_single_condition(text);
    // A condition gives a truth text or an error text, never a number or "".
    if (condition.empty()) std::abort();
    (void)formula;
    return 0;
}
