/// PortMatcher: which placed ports meet, by hashing them by place rather
/// than comparing pairs, then joining facing groups with union-find. Linear in
/// the ports.

#include "quillon/cellgrid/port_matching.hpp"
#include "quillon/disjoint_sets.hpp"

#include <algorithm>
#include <unordered_map>

namespace quillon::cellgrid {

namespace {

constexpr int64_t full_turn = 360000; // millidegrees
constexpr int64_t half_turn = 180000;
constexpr uint32_t unassigned = UINT32_MAX;

int64_t read_integer(nb::handle row, Py_ssize_t position) {
    PyObject* item = PyTuple_Check(row.ptr()) && PyTuple_GET_SIZE(row.ptr()) > position
                         ? PyTuple_GET_ITEM(row.ptr(), position)
                         : nullptr;
    if (!item) {
        PyErr_SetString(PyExc_TypeError, "a placed port is a tuple (x, y, layer, width, angle)");
        throw nb::python_error();
    }
    const long long value = PyLong_AsLongLong(item);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    return value;
}

} // namespace

PlacedPort PlacedPort::from_tuple(nb::handle row) {
    PlacedPort port;
    port.x = read_integer(row, 0);
    port.y = read_integer(row, 1);
    port.layer = read_integer(row, 2);
    port.width = read_integer(row, 3);
    // as Python's `%` gives it: never negative
    port.angle = ((read_integer(row, 4) % full_turn) + full_turn) % full_turn;
    return port;
}

PlacedPort PortMatcher::place_key(const PlacedPort& port) {
    PlacedPort key = port;
    key.angle %= half_turn;
    return key;
}

size_t PortMatcher::side(const PlacedPort& port) {
    return port.angle < half_turn ? 0 : 1;
}

uint64_t PortMatcher::PlaceHash::operator()(const PlacedPort& p) const {
    return hash_fields({p.x, p.y, p.layer, p.width, p.angle});
}

void PortMatcher::match() {
    const uint32_t count = static_cast<uint32_t>(ports_.size());
    places_.reserve(count);
    std::vector<uint32_t> place_of(count);
    std::vector<uint32_t> place_sizes;
    for (uint32_t e = 0; e < count; ++e) {
        place_of[e] = places_.number(place_key(ports_[e]));
        if (place_of[e] == firsts_.size()) {
            firsts_.push_back({unassigned, unassigned});
            place_sizes.push_back(0);
        }
        ++place_sizes[place_of[e]];
        uint32_t& first = firsts_[place_of[e]][side(ports_[e])];
        if (first == unassigned)
            first = e;
    }
    // ports meet when their place has ports on both sides: then all of them
    // meet, facing one another across it
    DisjointSets sets(count);
    for (uint32_t e = 0; e < count; ++e) {
        const std::array<uint32_t, 2>& first = firsts_[place_of[e]];
        if (first[0] != unassigned && first[1] != unassigned)
            sets.join(e, first[0]);
    }

    std::vector<uint32_t> net_of_root(count, unassigned);
    nets_.resize(count);
    for (uint32_t e = 0; e < count; ++e) {
        uint32_t& net = net_of_root[sets.find(e)];
        if (net == unassigned) {
            net = static_cast<uint32_t>(net_count_++);
            net_sizes_.push_back(0);
        }
        nets_[e] = net;
        ++net_sizes_[net];
    }

    // places where three or more ports meet: a port meets two or more others there
    std::vector<uint32_t> crowded_of(place_sizes.size(), unassigned);
    for (uint32_t e = 0; e < count; ++e) {
        const uint32_t place = place_of[e];
        const std::array<uint32_t, 2>& first = firsts_[place];
        if (place_sizes[place] < 3 || first[0] == unassigned || first[1] == unassigned)
            continue;
        if (crowded_of[place] == unassigned) {
            crowded_of[place] = static_cast<uint32_t>(crowded_.size());
            crowded_.emplace_back();
        }
        crowded_[crowded_of[place]].push_back(e);
    }
}

std::vector<uint32_t> PortMatcher::lone(const std::vector<bool>& exposed) const {
    std::vector<uint32_t> ends;
    for (uint32_t e = 0; e < nets_.size(); ++e)
        if (net_sizes_[nets_[e]] == 1 && !(nets_[e] < exposed.size() && exposed[nets_[e]]))
            ends.push_back(e);
    return ends;
}

std::vector<std::pair<uint32_t, uint32_t>>
PortMatcher::near_pairs(const std::vector<uint32_t>& ends, int64_t reach) const {
    // the ends by grid cell of side `reach`: a pair lies in neighbouring cells
    std::unordered_map<uint64_t, std::vector<size_t>> cells;
    const auto cell_of = [&](int64_t v) { return v >= 0 ? v / reach : (v + 1) / reach - 1; };
    const auto key = [](int64_t cx, int64_t cy) { return hash_fields({cx, cy}); };
    for (size_t at = 0; at < ends.size(); ++at) {
        const PlacedPort& p = ports_[ends[at]];
        cells[key(cell_of(p.x), cell_of(p.y))].push_back(at);
    }
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (size_t at = 0; at < ends.size(); ++at) {
        const PlacedPort& p = ports_[ends[at]];
        const int64_t cx = cell_of(p.x);
        const int64_t cy = cell_of(p.y);
        std::vector<size_t> found;
        for (int64_t dx = -1; dx <= 1; ++dx) {
            for (int64_t dy = -1; dy <= 1; ++dy) {
                auto cell = cells.find(key(cx + dx, cy + dy));
                if (cell == cells.end())
                    continue;
                for (size_t other : cell->second) {
                    const PlacedPort& q = ports_[ends[other]];
                    const double ddx = static_cast<double>(q.x - p.x);
                    const double ddy = static_cast<double>(q.y - p.y);
                    const double r = static_cast<double>(reach);
                    if (other > at && ddx * ddx + ddy * ddy <= r * r)
                        found.push_back(other);
                }
            }
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        for (size_t other : found)
            pairs.emplace_back(ends[at], ends[other]);
    }
    return pairs;
}

long long PortMatcher::net_at(const PlacedPort& port) const {
    const uint32_t place = places_.find(place_key(port));
    if (place == places_.absent)
        return -1;
    const uint32_t first = firsts_[place][side(port)];
    return first == unassigned ? -1 : nets_[first];
}

} // namespace quillon::cellgrid
