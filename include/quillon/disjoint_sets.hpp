#pragma once
/// Disjoint sets of items numbered 0, 1, ...: a join links one set's root to
/// the other's, a find halves the path it walks. Ports that meet, and the
/// endpoints that nets join, are grouped with it.

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

namespace quillon {

class DisjointSets {
  public:
    /// `count` items, each a set of its own.
    explicit DisjointSets(uint32_t count = 0) : parent_(count) {
        std::iota(parent_.begin(), parent_.end(), 0u);
    }
    /// Adds an item in a set of its own.
    void add() { parent_.push_back(static_cast<uint32_t>(parent_.size())); }
    size_t size() const { return parent_.size(); }

    /// The root of the set of `item`.
    uint32_t find(uint32_t item) {
        while (parent_[item] != item)
            item = parent_[item] = parent_[parent_[item]];
        return item;
    }
    /// Joins the set of `a` into the set of `b`.
    void join(uint32_t a, uint32_t b) {
        const uint32_t root = find(a);
        const uint32_t into = find(b);
        if (root != into)
            parent_[root] = into;
    }

  private:
    std::vector<uint32_t> parent_;
};

} // namespace quillon
