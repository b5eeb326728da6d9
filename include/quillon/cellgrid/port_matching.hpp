#pragma once
/// Internal interface of `cellgrid._l2n`, the native core of `cellgrid.l2n`:
/// reading a cell's instances and finding which of their ports meet.

#include "quillon/key_numbers.hpp"

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace quillon::cellgrid {
namespace nb = nanobind;

/// Where a port ends up once placed: position, layer and width in database
/// units, orientation in millidegrees in [0, 360000). Two ports meet when
/// position, layer and width are equal and the orientations 180 degrees apart.
struct PlacedPort {
    int64_t x = 0;
    int64_t y = 0;
    int64_t layer = 0;
    int64_t width = 0;
    int64_t angle = 0;

    /// Read from the tuple (x, y, layer, width, angle) that the Python side
    /// builds with the port's own keys; the angle is taken modulo 360 degrees.
    static PlacedPort from_tuple(nb::handle row);

    bool operator==(const PlacedPort& other) const {
        return x == other.x && y == other.y && layer == other.layer && width == other.width &&
               angle == other.angle;
    }
};

/// Matches ports by position: every port is an endpoint (numbered in the
/// order they were added); `nets()` numbers the groups of endpoints that meet.
class PortMatcher {
  public:
    void add(const PlacedPort& port) { ports_.push_back(port); }
    size_t size() const { return ports_.size(); }

    /// Joins the ports that meet; call once, after the last `add`.
    void match();
    /// Per endpoint its net, nets numbered by their first endpoint.
    const std::vector<uint32_t>& nets() const { return nets_; }
    size_t net_count() const { return net_count_; }
    /// The net of the first endpoint at the place and orientation of `port`
    /// (an exposed instance port), or -1 when there is none.
    long long net_at(const PlacedPort& port) const;

    /// Per place where three or more ports meet, its endpoints in order.
    const std::vector<std::vector<uint32_t>>& crowded() const { return crowded_; }
    /// The endpoints that meet no other, in order, leaving out those on the
    /// nets flagged in `exposed` (nets of the cell's own ports).
    std::vector<uint32_t> lone(const std::vector<bool>& exposed) const;
    /// Pairs (first < second) of `ends` whose positions are at most `reach`
    /// apart, in the order of their first end, then of their second.
    std::vector<std::pair<uint32_t, uint32_t>> near_pairs(const std::vector<uint32_t>& ends,
                                                          int64_t reach) const;
    const PlacedPort& port(uint32_t endpoint) const { return ports_[endpoint]; }

  private:
    /// A place: the ports that can meet one another, at one position, of one
    /// layer and width, their orientations equal modulo a half turn. Its key
    /// is a port's with the orientation taken modulo a half turn; its two
    /// sides are the orientations below a half turn and the others.
    static PlacedPort place_key(const PlacedPort& port);
    static size_t side(const PlacedPort& port);
    struct PlaceHash {
        uint64_t operator()(const PlacedPort& key) const;
    };

    std::vector<PlacedPort> ports_; ///< in the order added
    KeyNumbers<PlacedPort, PlaceHash> places_;
    std::vector<std::array<uint32_t, 2>> firsts_; ///< per place and side, its first endpoint
    std::vector<uint32_t> nets_;
    std::vector<uint32_t> net_sizes_;
    std::vector<std::vector<uint32_t>> crowded_;
    size_t net_count_ = 0;
};

void register_port_connectivity(nb::module_& module);

} // namespace quillon::cellgrid
