/// PortMatcher: which placed ports meet, by hashing them by place rather
/// than comparing pairs, then joining facing groups with union-find. Linear in
/// the ports.

#include "quillon/cellgrid/port_matching.hpp"

#include <numeric>

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

bool same_key(const PlacedPort& a, const PlacedPort& b) {
    return a.x == b.x && a.y == b.y && a.layer == b.layer && a.width == b.width &&
           a.angle == b.angle;
}

uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

uint64_t hash_of(const PlacedPort& p) {
    uint64_t h = mix(static_cast<uint64_t>(p.x) + 0x9e3779b97f4a7c15ULL);
    h = mix(h ^ static_cast<uint64_t>(p.y));
    h = mix(h ^ static_cast<uint64_t>(p.layer));
    h = mix(h ^ static_cast<uint64_t>(p.width));
    return mix(h ^ static_cast<uint64_t>(p.angle));
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

size_t PortMatcher::find_place(const PlacedPort& key) const {
    if (slots_.empty())
        return places_.size();
    const size_t mask = slots_.size() - 1;
    for (size_t at = hash_of(key) & mask;; at = (at + 1) & mask) {
        const uint32_t place = slots_[at];
        if (place == unassigned || same_key(places_[place].key, key))
            return place == unassigned ? places_.size() : place;
    }
}

size_t PortMatcher::place_for(const PlacedPort& key) {
    const size_t mask = slots_.size() - 1;
    for (size_t at = hash_of(key) & mask;; at = (at + 1) & mask) {
        uint32_t& place = slots_[at];
        if (place == unassigned) {
            place = static_cast<uint32_t>(places_.size());
            places_.push_back({key, {unassigned, unassigned}});
            return place;
        }
        if (same_key(places_[place].key, key))
            return place;
    }
}

uint32_t PortMatcher::root(uint32_t endpoint) {
    while (parent_[endpoint] != endpoint) {
        parent_[endpoint] = parent_[parent_[endpoint]];
        endpoint = parent_[endpoint];
    }
    return endpoint;
}

void PortMatcher::match() {
    const uint32_t count = static_cast<uint32_t>(ports_.size());
    // at most half full: probes stay short
    size_t capacity = 16;
    while (capacity < 2 * static_cast<size_t>(count))
        capacity *= 2;
    slots_.assign(capacity, unassigned);
    std::vector<uint32_t> place_of(count);
    for (uint32_t e = 0; e < count; ++e) {
        place_of[e] = static_cast<uint32_t>(place_for(place_key(ports_[e])));
        uint32_t& first = places_[place_of[e]].first[side(ports_[e])];
        if (first == unassigned)
            first = e;
    }
    // ports meet when their place has ports on both sides: then all of them
    // meet, facing one another across it
    parent_.resize(count);
    std::iota(parent_.begin(), parent_.end(), 0u);
    for (uint32_t e = 0; e < count; ++e) {
        const Place& place = places_[place_of[e]];
        if (place.first[0] == unassigned || place.first[1] == unassigned)
            continue;
        const uint32_t into = root(place.first[0]);
        const uint32_t r = root(e);
        if (r != into)
            parent_[r] = into;
    }

    std::vector<uint32_t> net_of_root(count, unassigned);
    nets_.resize(count);
    for (uint32_t e = 0; e < count; ++e) {
        uint32_t& net = net_of_root[root(e)];
        if (net == unassigned)
            net = static_cast<uint32_t>(net_count_++);
        nets_[e] = net;
    }
}

long long PortMatcher::net_at(const PlacedPort& port) const {
    const size_t found = find_place(place_key(port));
    if (found == places_.size())
        return -1;
    const uint32_t first = places_[found].first[side(port)];
    return first == unassigned ? -1 : nets_[first];
}

} // namespace quillon::cellgrid
