/// PortMatcher: which placed ports meet, by sorting them by place and
/// orientation rather than comparing pairs, then joining facing groups with
/// union-find. Linear in the ports apart from one sort.

#include "quillon/cellgrid/port_matching.hpp"

#include <algorithm>
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

/// Ports in (x, y, layer, width, angle) order; written out, as the sort
/// calls it some n log n times.
bool key_less(const PlacedPort& a, const PlacedPort& b) {
    if (a.x != b.x)
        return a.x < b.x;
    if (a.y != b.y)
        return a.y < b.y;
    if (a.layer != b.layer)
        return a.layer < b.layer;
    if (a.width != b.width)
        return a.width < b.width;
    return a.angle < b.angle;
}

bool same_key(const PlacedPort& a, const PlacedPort& b) {
    return a.x == b.x && a.y == b.y && a.layer == b.layer && a.width == b.width &&
           a.angle == b.angle;
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

uint32_t PortMatcher::root(uint32_t endpoint) {
    while (parent_[endpoint] != endpoint) {
        parent_[endpoint] = parent_[parent_[endpoint]];
        endpoint = parent_[endpoint];
    }
    return endpoint;
}

void PortMatcher::match() {
    const uint32_t count = static_cast<uint32_t>(ports_.size());
    // sorted as records rather than through indices: the comparisons then
    // read memory in order
    struct Record {
        PlacedPort port;
        uint32_t endpoint;
    };
    std::vector<Record> records(count);
    for (uint32_t e = 0; e < count; ++e)
        records[e] = {ports_[e], e};
    std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
        return key_less(a.port, b.port) || (same_key(a.port, b.port) && a.endpoint < b.endpoint);
    });
    order_.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        order_[i] = records[i].endpoint;
        ports_[i] = records[i].port; // ports_ now in sorted order, as order_
    }
    parent_.resize(count);
    std::iota(parent_.begin(), parent_.end(), 0u);

    // One run of equal key and orientation: [begin, end) of the sorted ports.
    auto run_end = [&](size_t begin) {
        size_t end = begin + 1;
        while (end < count && same_key(ports_[end], ports_[begin]))
            ++end;
        return end;
    };
    auto join_run = [&](size_t begin, size_t end, uint32_t into) {
        for (size_t i = begin; i < end; ++i) {
            const uint32_t r = root(order_[i]);
            if (r != into)
                parent_[r] = into;
        }
    };
    size_t begin = 0;
    while (begin < count) {
        const size_t end = run_end(begin);
        const PlacedPort& here = ports_[begin];
        if (here.angle < half_turn) {
            // the facing run, if any, sits later among the runs of this place
            PlacedPort facing = here;
            facing.angle = here.angle + half_turn;
            const size_t facing_begin = first_at(facing, end);
            if (facing_begin < count && same_key(ports_[facing_begin], facing)) {
                const uint32_t into = root(order_[begin]);
                join_run(begin + 1, end, into);
                join_run(facing_begin, run_end(facing_begin), into);
            }
        }
        begin = end;
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

size_t PortMatcher::first_at(const PlacedPort& port, size_t from) const {
    auto found = std::lower_bound(ports_.begin() + static_cast<std::ptrdiff_t>(from), ports_.end(),
                                  port, key_less);
    return static_cast<size_t>(found - ports_.begin());
}

long long PortMatcher::net_at(const PlacedPort& port) const {
    const size_t found = first_at(port, 0);
    if (found == ports_.size() || !same_key(ports_[found], port))
        return -1;
    return nets_[order_[found]];
}

} // namespace quillon::cellgrid
