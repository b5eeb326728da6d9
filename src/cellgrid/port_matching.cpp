/// PortMatcher: which placed ports meet, by sorting them by place and
/// orientation rather than comparing pairs, then joining facing groups with
/// union-find. Linear in the ports apart from one sort.

#include "quillon/cellgrid/port_matching.hpp"

#include <algorithm>
#include <numeric>
#include <tuple>

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

auto key_of(const PlacedPort& p) {
    return std::tie(p.x, p.y, p.layer, p.width, p.angle);
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
    order_.resize(count);
    std::iota(order_.begin(), order_.end(), 0u);
    std::sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) {
        return std::make_tuple(key_of(ports_[a]), a) < std::make_tuple(key_of(ports_[b]), b);
    });
    parent_.resize(count);
    std::iota(parent_.begin(), parent_.end(), 0u);

    // One run of equal orientation at one place: [begin, end) of order_.
    auto run_end = [&](size_t begin) {
        size_t end = begin + 1;
        while (end < count && key_of(ports_[order_[end]]) == key_of(ports_[order_[begin]]))
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
        const PlacedPort& here = ports_[order_[begin]];
        if (here.angle < half_turn) {
            // the facing run, if any, sits later among the runs of this place
            PlacedPort facing = here;
            facing.angle = here.angle + half_turn;
            auto found = std::lower_bound(
                order_.begin() + static_cast<std::ptrdiff_t>(end), order_.end(), facing,
                [&](uint32_t e, const PlacedPort& key) { return key_of(ports_[e]) < key_of(key); });
            if (found != order_.end() && key_of(ports_[*found]) == key_of(facing)) {
                const size_t facing_begin = static_cast<size_t>(found - order_.begin());
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

long long PortMatcher::net_at(const PlacedPort& port) const {
    auto found = std::lower_bound(
        order_.begin(), order_.end(), port,
        [&](uint32_t e, const PlacedPort& key) { return key_of(ports_[e]) < key_of(key); });
    if (found == order_.end() || key_of(ports_[*found]) != key_of(port))
        return -1;
    return nets_[*found];
}

} // namespace quillon::cellgrid
