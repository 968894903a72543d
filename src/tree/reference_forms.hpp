// get_preferred_reference_format with each name's form worked out once per
// call: models repeat their names (every department has its "Revenue"), and
// working a form out means scanning and parsing it.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "eval/text_ids.hpp"
#include "references/references.hpp"

namespace morvax {

class ReferenceForms {
public:
    // The written form of `name`, empty when it has none.  The key views
    // `name`, which must outlive this table.
    const std::string& of(std::string_view name) {
        auto [slot, fresh] = forms_.try_emplace(name);
        if (fresh) slot->second = get_preferred_reference_format(name).value_or("");
        return slot->second;
    }

private:
    std::unordered_map<std::string_view, std::string, TextHash> forms_;
};

}  // namespace morvax
