// A hash map for small keys and values that are copied as bytes (pointers,
// indexes, pairs of them): open addressing with linear probing, at most three
// quarters full, never erasing. A probe touches one slot array, where a
// node-based map chases a pointer per entry; over the 10^5 to 10^6 entries of
// a model's tables that is the difference between one cache miss and three.
//
// A value's address holds only until the next insertion, which may move every
// slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace morvax {

// The bits of `x` spread over all 64 (the finaliser of MurmurHash3): the
// map takes a hash's low bits, where addresses of aligned objects hold none.
inline std::size_t mix_bits(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    return x ^ (x >> 33);
}

// A pointer's hash for FlatMap.
struct PointerHash {
    std::size_t operator()(const void* p) const { return mix_bits(reinterpret_cast<std::uintptr_t>(p)); }
};

// `Hash` must spread its values over the low bits: see mix_bits.
template <class Key, class Value, class Hash>
class FlatMap {
    static_assert(std::is_trivially_copyable_v<Key> && std::is_trivially_copyable_v<Value>);

public:
    // The value of `key`, value-initialised when the key is new, and whether
    // it is.
    std::pair<Value*, bool> try_emplace(const Key& key) {
        if ((size_ + 1) * 4 > slots_.size() * 3) grow();
        Slot& slot = slots_[place(key)];
        if (slot.used) return {&slot.value, false};
        slot = Slot{key, Value{}, true};
        ++size_;
        return {&slot.value, true};
    }

    // The value of `key`, or null.
    Value* find(const Key& key) {
        if (slots_.empty()) return nullptr;
        Slot& slot = slots_[place(key)];
        return slot.used ? &slot.value : nullptr;
    }

private:
    struct Slot {
        Key key;
        Value value;
        bool used = false;
    };

    // The slot holding `key`, or the free one where it would go.
    std::size_t place(const Key& key) const {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = Hash{}(key) & mask;
        while (slots_[i].used && !(slots_[i].key == key)) i = (i + 1) & mask;
        return i;
    }

    void grow() {
        std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.used) slots_[place(slot.key)] = slot;
        }
    }

    std::vector<Slot> slots_;  // a power of two of them, or none
    std::size_t size_ = 0;
};

}  // namespace morvax
