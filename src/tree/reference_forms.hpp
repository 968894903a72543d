// get_preferred_reference_format with each name's form worked out once per
// call: models repeat their names (every department has its "Revenue"), and
// working a form out may mean scanning and parsing it.
#pragma once

#include <string>
#include <string_view>

#include "eval/text_ids.hpp"
#include "references/references.hpp"

namespace morvax {

class ReferenceForms {
public:
    ReferenceForms() { forms_.borrow_texts(); }

    // The written form of `name`, empty when it has none.  The table views
    // `name`, which must outlive it.
    const std::string& of(std::string_view name) {
        const auto [form, fresh] = forms_.try_emplace(name);
        if (fresh) *form = get_preferred_reference_format(name).value_or("");
        return *form;
    }

private:
    TextMap<std::string> forms_;
};

}  // namespace morvax
