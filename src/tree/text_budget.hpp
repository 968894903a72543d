// A cap on the text that one tree transformation produces.
//
// Expansion can produce text exponential in its input (A = @B+@B,
// B = @C+@C, ... sixty levels deep gives 2^60 references), and renaming can
// multiply it (a two-byte reference renamed to a megabyte-long name, used a
// million times).  Allocating that much would not fail cleanly: the system
// would kill the process, or the whole machine would stall.  So every byte a
// call writes is charged here before it is written, and a call whose texts
// would pass the cap ends with TextLimitExceeded, a std::bad_alloc that the
// module boundary turns into a MemoryError saying which limit was passed.
//
// Charging, and scanning a text through the budget, is also where a long
// transformation asks its Interrupt whether to stop: it then throws
// Interrupted.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "eval/interrupt.hpp"
#include "parser/tokenize.hpp"

namespace morvax {

class TextLimitExceeded : public std::bad_alloc {
public:
    const char* what() const noexcept override {
        return "the formula texts this call writes passed their size limit (1 GiB); an expansion "
               "can grow exponentially with the depth of references";
    }
};

class TextBudget {
public:
    // 1 GiB: far above any real model's formulas, well below a machine's memory
    // even counting the Python strings made from the texts afterwards.
    static constexpr std::size_t kDefaultLimit = std::size_t{1} << 30;

    explicit TextBudget(std::size_t limit = kDefaultLimit, Interrupt* interrupt = nullptr)
        : left_(limit), interrupt_(interrupt) {}
    explicit TextBudget(Interrupt& interrupt) : TextBudget(kDefaultLimit, &interrupt) {}

    // Takes `bytes` from the budget; throws TextLimitExceeded when too few are
    // left, Interrupted once the interrupt says stop. A text counts as work in
    // proportion to its length: an expansion that doubles appends texts of
    // megabytes, and a thousand of them would take seconds between two asks.
    void charge(std::size_t bytes) {
        if (bytes > left_) throw TextLimitExceeded();
        left_ -= bytes;
        if (interrupt_ != nullptr && interrupt_->tick(1 + bytes / kBytesPerUnit)) throw Interrupted();
    }

    // One unit of work that writes nothing (a piece of a text being spelt);
    // Interrupted once the interrupt says stop.
    void step() {
        if (interrupt_ != nullptr && interrupt_->tick()) throw Interrupted();
    }

    // The tokens of `text`, each a unit of work: a text can hold millions.
    // Interrupted once the interrupt says stop.
    std::vector<Token> scan(std::string_view text) {
        if (interrupt_ == nullptr) return scan_tokens(text);
        std::vector<Token> tokens = scan_tokens(text, [this] { return interrupt_->tick(); });
        if (interrupt_->stopped()) throw Interrupted();
        return tokens;
    }

    void append(std::string& out, std::string_view text) {
        charge(text.size());
        out.append(text);
    }

private:
    // About what copying costs in the time of one small append.
    static constexpr std::size_t kBytesPerUnit = 1024;

    std::size_t left_;
    Interrupt* interrupt_;
};

}  // namespace morvax
