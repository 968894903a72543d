// get_preferred_reference_format with each name's form worked out once per
// call: models repeat their names (every department has its "Revenue"), and
// working a form out may mean scanning and parsing it.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "eval/text_ids.hpp"
#include "references/references.hpp"

namespace morvax {

class ReferenceForms {
public:
    ReferenceForms() { names_.borrow_texts(); }

    // The written form of `name`, empty when it has none.  The table views
    // `name`, which must outlive it.
    const std::string& of(std::string_view name) {
        bool fresh = false;
        const std::uint32_t id = names_.intern(name, &fresh);
        if (fresh) forms_.push_back(get_preferred_reference_format(name).value_or(""));
        return forms_[id];
    }

private:
    TextIds names_;
    std::deque<std::string> forms_;  // per name; a deque, so that forms given stay put
};

}  // namespace morvax
