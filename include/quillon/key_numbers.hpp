#pragma once
/// KeyNumbers: distinct keys numbered 0, 1, 2, ... in the order first seen,
/// in one flat table.
///
/// Grouping hundreds of thousands of ports or placements by key through a
/// node-based map spends most of its time allocating nodes and missing the
/// cache; here the keys sit in one vector and the table holds only their
/// numbers, probed linearly and kept at most half full.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace quillon {

/// `Hash` gives a well-mixed 64-bit hash of a key (its low bits pick the
/// slot); `Key` compares with `==`.
template <typename Key, typename Hash> class KeyNumbers {
  public:
    static constexpr uint32_t absent = UINT32_MAX;

    /// Makes room for `count` keys without growing.
    void reserve(size_t count) {
        if (2 * count > slots_.size())
            rehash(capacity_for(count));
        keys_.reserve(count);
    }

    /// The number of `key`, given the next number when it is new.
    uint32_t number(const Key& key) {
        if (2 * (keys_.size() + 1) > slots_.size())
            rehash(capacity_for(keys_.size() + 1));
        uint32_t& slot = slots_[probe(key)];
        if (slot == absent) {
            slot = static_cast<uint32_t>(keys_.size());
            keys_.push_back(key);
        }
        return slot;
    }

    /// The number of `key`, or `absent` when it was never numbered.
    uint32_t find(const Key& key) const { return slots_.empty() ? absent : slots_[probe(key)]; }

    size_t size() const { return keys_.size(); }

  private:
    static size_t capacity_for(size_t count) {
        size_t capacity = 16;
        while (capacity < 2 * count)
            capacity *= 2;
        return capacity;
    }

    /// The slot that holds `key`'s number, or the empty slot where it would go.
    size_t probe(const Key& key) const {
        const size_t mask = slots_.size() - 1;
        size_t at = static_cast<size_t>(Hash()(key)) & mask;
        while (slots_[at] != absent && !(keys_[slots_[at]] == key))
            at = (at + 1) & mask;
        return at;
    }

    void rehash(size_t capacity) {
        slots_.assign(capacity, absent);
        for (uint32_t n = 0; n < keys_.size(); ++n)
            slots_[probe(keys_[n])] = n;
    }

    std::vector<Key> keys_;
    std::vector<uint32_t> slots_;
};

/// Mixes the bits of `h` (the 64-bit finaliser of MurmurHash3).
inline uint64_t mix_bits(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

/// A hash of the integer fields of a key, each mixed in turn.
inline uint64_t hash_fields(std::initializer_list<int64_t> fields) {
    uint64_t h = 0x9e3779b97f4a7c15ULL;
    for (int64_t field : fields)
        h = mix_bits(h ^ static_cast<uint64_t>(field));
    return h;
}

} // namespace quillon
