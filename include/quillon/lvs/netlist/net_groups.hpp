#pragma once
/// Groups of connected endpoints: the endpoints that two-point nets join,
/// directly or through other endpoints, form one group (one electrical net
/// of any number of pins).

#include "quillon/key_numbers.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

namespace quillon::lvs {
namespace nb = nanobind;

/// A run of objects held by the groups that give it out.
template <typename Item> class Run {
  public:
    Run(const Item* first, const Item* last) : first_(first), last_(last) {}
    const Item* begin() const { return first_; }
    const Item* end() const { return last_; }
    size_t size() const { return static_cast<size_t>(last_ - first_); }
    const Item& operator[](size_t at) const { return first_[at]; }

  private:
    const Item* first_;
    const Item* last_;
};

/// The groups of a "nets" mapping (net key -> two-point net), numbered in the
/// order their first endpoints appear. Endpoints are texts. Nets with the
/// open-port placeholder, and nets from an endpoint to itself, join no group.
class EndpointGroups {
  public:
    explicit EndpointGroups(nb::handle nets);

    size_t size() const { return member_starts_.size() - 1; }
    /// The endpoints of `group`, in ascending order.
    Run<nb::handle> members(size_t group) const;
    /// The keys of the nets of `group`, in the order of the mapping.
    Run<nb::object> keys(size_t group) const;
    /// The group of `endpoint`, or -1 when it is on no net of a group.
    long group(nb::handle endpoint) const;
    /// Whether an endpoint is on more than one of the grouped nets: else
    /// every group is a single net.
    bool shared() const { return shared_; }

  private:
    /// An endpoint text and its hash; texts compare by content.
    struct Text {
        PyObject* text;
        Py_hash_t hash;
        bool operator==(const Text& other) const;
    };
    struct TextHash {
        uint64_t operator()(const Text& key) const { return static_cast<uint64_t>(key.hash); }
    };
    static Text text_of(nb::handle endpoint);

    std::vector<nb::object> endpoints_; ///< distinct endpoints, in the order first seen
    KeyNumbers<Text, TextHash> positions_;
    std::vector<uint32_t> group_of_; ///< per endpoint position
    std::vector<nb::handle> members_;
    std::vector<size_t> member_starts_;
    std::vector<nb::object> keys_;
    std::vector<size_t> key_starts_;
    bool shared_ = false;
};

/// The endpoint text the layout side writes for the far end of an open port.
bool is_open_port_placeholder(nb::handle endpoint);

} // namespace quillon::lvs
