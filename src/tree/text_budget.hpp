// A cap on the text that one tree transformation produces.
//
// Expansion can produce text exponential in its input (A = @B+@B,
// B = @C+@C, ... sixty levels deep gives 2^60 references), and renaming can
// multiply it (a two-byte reference renamed to a megabyte-long name, used a
// million times).  Allocating that much would not fail cleanly: the system
// would kill the process, or the whole machine would stall.  So every byte a
// call writes is charged here before it is written, and a call whose texts
// would pass the cap ends with std::bad_alloc, which the module boundary turns
// into MemoryError.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

namespace morvax {

class TextBudget {
public:
    // 1 GiB: far above any real model's formulas, well below a machine's memory
    // even counting the Python strings made from the texts afterwards.
    static constexpr std::size_t kDefaultLimit = std::size_t{1} << 30;

    explicit TextBudget(std::size_t limit = kDefaultLimit) : left_(limit) {}

    // Takes `bytes` from the budget; throws std::bad_alloc when too few are left.
    void charge(std::size_t bytes) {
        if (bytes > left_) throw std::bad_alloc();
        left_ -= bytes;
    }

    void append(std::string& out, std::string_view text) {
        charge(text.size());
        out.append(text);
    }

private:
    std::size_t left_;
};

}  // namespace morvax
