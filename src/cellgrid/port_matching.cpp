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

uint32_t PortMatcher::root(uint32_t endpoint) {
    while (parent_[endpoint] != endpoint) {
        parent_[endpoint] = parent_[parent_[endpoint]];
        endpoint = parent_[endpoint];
    }
    return endpoint;
}

void PortMatcher::match() {
    const uint32_t count = static_cast<uint32_t>(ports_.size());
    places_.reserve(count);
    std::vector<uint32_t> place_of(count);
    for (uint32_t e = 0; e < count; ++e) {
        place_of[e] = places_.number(place_key(ports_[e]));
        if (place_of[e] == firsts_.size())
            firsts_.push_back({unassigned, unassigned});
        uint32_t& first = firsts_[place_of[e]][side(ports_[e])];
        if (first == unassigned)
            first = e;
    }
    // ports meet when their place has ports on both sides: then all of them
    // meet, facing one another across it
    parent_.resize(count);
    std::iota(parent_.begin(), parent_.end(), 0u);
    for (uint32_t e = 0; e < count; ++e) {
        const std::array<uint32_t, 2>& first = firsts_[place_of[e]];
        if (first[0] == unassigned || first[1] == unassigned)
            continue;
        const uint32_t into = root(first[0]);
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
    const uint32_t place = places_.find(place_key(port));
    if (place == places_.absent)
        return -1;
    const uint32_t first = firsts_[place][side(port)];
    return first == unassigned ? -1 : nets_[first];
}

} // namespace quillon::cellgrid
