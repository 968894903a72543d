// What the readers of all the nodes of a name make of them, kept by
// dimension once made from values that are final, so that every later reader
// takes it instead of reading the name's nodes again (for a name that every
// department reads, that grew with the square of the departments): an
// aggregation of them alone (the sum(@Revenue) of each department's share of
// it), their total, the fact that they were all read (the MANY! of a
// forgotten index), or the list of their values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "eval/flat_map.hpp"
#include "eval/interrupt.hpp"
#include "eval/memo_table.hpp"
#include "eval/types.hpp"

namespace morvax {

class Reductions {
public:
    // From how many nodes a name's reductions are kept: below, reading them
    // again costs about what the lookup does.
    static constexpr std::size_t kFrom = 8;
    // A `how` of no reduction: every node read for its effects alone
    // (kReadAll), or for the list of their values (kListed).
    static constexpr int kReadAll = 33;
    static constexpr int kListed = 34;

    struct Key {
        const NodePtr* targets;  // the name's nodes in the tree's index
        std::uint64_t dimension;
        int how;  // the reduction and who made it: readers that may differ never share one
        bool operator==(const Key&) const = default;
    };
    struct Kept {
        EvalResult result;  // for a total, the sum as a number or the error; MANY! for the rest
        bool uniform;  // whether every node read holds one result in all dimensions
        std::uint32_t list = 0;  // kListed: the list's place (list())
    };

    // When an answer may be kept: no read was cut short (`interrupt`
    // stopped), and none of the targets is being evaluated further out in
    // the key's dimension (on `stack`), whose value there is not yet final.
    // Where the answer's uniform mark comes from the targets' own
    // (`uniformity`), each must have its last answer too, so that a later
    // reader taking it does exactly what reading them would have done.
    struct Keeping {
        const EvalStack& stack;
        const MemoTable* uniformity;
        const Interrupt* interrupt;
        bool errors = true;  // whether an answer that is an error may be kept
    };

    // What a reader of all of `targets` makes of them: the answer an earlier
    // reader left under `key`, else the one `make()` gives now, kept for
    // later readers where `keeping` allows. `uniform` is the reader's mark:
    // make() runs with it set, so that a kept answer carries the mark of
    // these reads alone, and the reader's mark takes it either way. A list
    // make() fills into `list`, where given, is kept with the answer
    // (list() gives it back).
    template <class Make>
    Kept take(const Key& key, std::span<const NodePtr> targets, bool& uniform, const Keeping& keeping, Make&& make,
              const EvalNote::List* list = nullptr) {
        if (const Kept* known = kept_.find(key)) {
            uniform = uniform && known->uniform;
            return *known;
        }
        const bool was_uniform = uniform;
        uniform = true;
        Kept made{make(), true};
        made.uniform = uniform;
        uniform = uniform && was_uniform;
        if ((keeping.errors || !made.result.is_error()) && may_keep(key, targets, keeping)) {
            if (list != nullptr) {
                made.list = static_cast<std::uint32_t>(lists_.size());
                lists_.push_back(*list);
            }
            *kept_.try_emplace(key).first = made;
        }
        return made;
    }
    const EvalNote::List& list(const Kept& kept) const { return lists_[kept.list]; }

private:
    static bool may_keep(const Key& key, std::span<const NodePtr> targets, const Keeping& keeping) {
        if (keeping.interrupt != nullptr && keeping.interrupt->stopped()) return false;
        for (const NodePtr n : targets) {
            if (keeping.stack.is_circular(n, key.dimension)) return false;
            if (keeping.uniformity != nullptr && !keeping.uniformity->uniform_settled(n)) return false;
        }
        return true;
    }

    struct Hash {
        std::size_t operator()(const Key& k) const {
            return mix_bits(reinterpret_cast<std::uintptr_t>(k.targets) ^ (k.dimension << 40) ^
                            (static_cast<std::uint64_t>(k.how) << 56));
        }
    };
    FlatMap<Key, Kept, Hash> kept_;
    std::vector<EvalNote::List> lists_;
};

}  // namespace morvax
