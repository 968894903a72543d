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

    const Kept* find(const Key& key) { return kept_.find(key); }
    // Keeps `kept` unless a read was cut short (`stopped`) or one of
    // `targets` is being evaluated further out in key.dimension: its value
    // there is not yet final. Where `kept.uniform` comes from the targets'
    // own (`uniformity`), each must have its last answer too: a later
    // reader taking `kept` then does exactly what reading them would have.
    void keep(const Key& key, std::span<const NodePtr> targets, const Kept& kept, const EvalStack& stack,
              const MemoTable* uniformity, bool stopped) {
        if (may_keep(key, targets, stack, uniformity, stopped)) *kept_.try_emplace(key).first = kept;
    }
    // keep() for the list of the targets' values.
    void keep_list(const Key& key, std::span<const NodePtr> targets, EvalNote::List list, bool uniform,
                   const EvalStack& stack, const MemoTable& uniformity, bool stopped) {
        if (!may_keep(key, targets, stack, &uniformity, stopped)) return;
        *kept_.try_emplace(key).first = {EvalResult::error(EvalError::Many), uniform,
                                         static_cast<std::uint32_t>(lists_.size())};
        lists_.push_back(std::move(list));
    }
    const EvalNote::List& list(const Kept& kept) const { return lists_[kept.list]; }

private:
    static bool may_keep(const Key& key, std::span<const NodePtr> targets, const EvalStack& stack,
                         const MemoTable* uniformity, bool stopped) {
        if (stopped) return false;
        for (const NodePtr n : targets) {
            if (stack.is_circular(n, key.dimension)) return false;
            if (uniformity != nullptr && !uniformity->uniform_settled(n)) return false;
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
