/// canonical_net_groups: one listing per group of connected endpoints, so that
/// both sides of the check write a net of three or more pins alike.
///
/// A net of k pins can be listed as two-point nets in many ways: a star from
/// any pin, a chain, a ring. Both sides bring their nets to one form: the
/// endpoints that the two-point nets connect, directly or through others, form
/// a group; a group of three or more endpoints is written as the two-point
/// nets from its smallest endpoint to each other one. Groups of two, and nets
/// that hold the open-port placeholder, stay as they are.
///
/// A layout has hundreds of thousands of nets, nearly all of them groups of
/// one net: the groups are found over a flat table of the endpoint texts, and
/// only the nets of larger groups are listed anew.

#include "quillon/lvs/netlist/net_groups.hpp"
#include "quillon/disjoint_sets.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <algorithm>
#include <vector>

namespace quillon::lvs {

namespace {

constexpr uint32_t unassigned = UINT32_MAX;

bool differ(nb::handle a, nb::handle b) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

nb::dict two_point_net(nb::handle p1, nb::handle p2) {
    nb::dict net;
    net["p1"] = p1;
    net["p2"] = p2;
    return net;
}

/// A net that no group takes: one with the open-port placeholder, or from an
/// endpoint to itself.
bool stays_outside(nb::handle p1, nb::handle p2) {
    return is_open_port_placeholder(p1) || is_open_port_placeholder(p2) || !differ(p1, p2);
}

/// Texts in the interpreter's order (by code point), which cannot fail.
bool text_less(nb::handle a, nb::handle b) {
    return PyUnicode_Compare(a.ptr(), b.ptr()) < 0;
}

nb::object net_end(nb::handle net, nb::handle key) {
    return checked(PyObject_GetItem(net.ptr(), key.ptr()));
}

/// Counting sort: the positions 0..count-1 of `count` items, grouped by
/// `group_of(item)` (one of `groups`), in item order within each group;
/// `starts` gets where each group begins, and the end.
template <typename GroupOf>
std::vector<uint32_t> grouped_positions(size_t count, size_t groups, GroupOf group_of,
                                        std::vector<size_t>& starts) {
    starts.assign(groups + 1, 0);
    for (size_t item = 0; item < count; ++item)
        ++starts[group_of(item) + 1];
    for (size_t group = 0; group < groups; ++group)
        starts[group + 1] += starts[group];
    std::vector<size_t> next(starts.begin(), starts.end() - 1);
    std::vector<uint32_t> positions(count);
    for (size_t item = 0; item < count; ++item)
        positions[next[group_of(item)]++] = static_cast<uint32_t>(item);
    return positions;
}

} // namespace

bool is_open_port_placeholder(nb::handle endpoint) {
    return PyUnicode_Check(endpoint.ptr()) &&
           PyUnicode_CompareWithASCIIString(endpoint.ptr(), "ERROR_NO_CONNECTION") == 0;
}

bool EndpointGroups::Text::operator==(const Text& other) const {
    return text == other.text || (hash == other.hash && PyUnicode_Compare(text, other.text) == 0);
}

EndpointGroups::Text EndpointGroups::text_of(nb::handle endpoint) {
    if (!PyUnicode_Check(endpoint.ptr())) {
        PyErr_Format(PyExc_TypeError, "a net endpoint is a text, not %R", endpoint.ptr());
        throw nb::python_error();
    }
    // the hash of the text itself, which a text remembers once computed
    const Py_hash_t hash = PyUnicode_Type.tp_hash(endpoint.ptr());
    if (hash == -1)
        throw nb::python_error();
    return {endpoint.ptr(), hash};
}

EndpointGroups::EndpointGroups(nb::handle nets) {
    if (!PyDict_Check(nets.ptr())) {
        PyErr_SetString(PyExc_TypeError, "nets are a mapping of key to net");
        throw nb::python_error();
    }
    const nb::str p1_key("p1"), p2_key("p2");
    DisjointSets sets;
    std::vector<uint8_t> used;
    auto position = [&](nb::handle endpoint) {
        const uint32_t at = positions_.number(text_of(endpoint));
        if (at == endpoints_.size()) {
            endpoints_.push_back(nb::borrow(endpoint));
            sets.add();
            used.push_back(0);
        }
        shared_ |= used[at] != 0;
        used[at] = 1;
        return at;
    };
    positions_.reserve(2 * static_cast<size_t>(PyDict_GET_SIZE(nets.ptr())));
    std::vector<uint32_t> key_endpoints; // per grouped net, its first endpoint
    PyObject* key = nullptr;
    PyObject* net = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(nets.ptr(), &at, &key, &net)) {
        nb::object p1 = net_end(net, p1_key);
        nb::object p2 = net_end(net, p2_key);
        if (stays_outside(p1, p2))
            continue;
        const uint32_t first = position(p1);
        sets.join(first, position(p2));
        key_endpoints.push_back(first);
        keys_.push_back(nb::borrow(key));
    }

    group_of_.assign(endpoints_.size(), unassigned);
    std::vector<uint32_t> group_of_root(endpoints_.size(), unassigned);
    uint32_t groups = 0;
    for (uint32_t endpoint = 0; endpoint < endpoints_.size(); ++endpoint) {
        uint32_t& group = group_of_root[sets.find(endpoint)];
        if (group == unassigned)
            group = groups++;
        group_of_[endpoint] = group;
    }

    for (uint32_t endpoint : grouped_positions(
             endpoints_.size(), groups, [&](size_t e) { return group_of_[e]; }, member_starts_))
        members_.push_back(endpoints_[endpoint]);
    for (uint32_t group = 0; group < groups; ++group) {
        nb::handle* first = members_.data() + member_starts_[group];
        nb::handle* last = members_.data() + member_starts_[group + 1];
        if (last - first == 2) {
            if (text_less(first[1], first[0]))
                std::swap(first[0], first[1]);
        } else {
            std::sort(first, last, text_less);
        }
    }

    std::vector<nb::object> keys_in_net_order;
    keys_in_net_order.swap(keys_);
    for (uint32_t net_at : grouped_positions(
             keys_in_net_order.size(), groups,
             [&](size_t n) { return group_of_[key_endpoints[n]]; }, key_starts_))
        keys_.push_back(std::move(keys_in_net_order[net_at]));
}

Run<nb::handle> EndpointGroups::members(size_t group) const {
    return {members_.data() + member_starts_[group], members_.data() + member_starts_[group + 1]};
}

Run<nb::object> EndpointGroups::keys(size_t group) const {
    return {keys_.data() + key_starts_[group], keys_.data() + key_starts_[group + 1]};
}

long EndpointGroups::group(nb::handle endpoint) const {
    if (!PyUnicode_Check(endpoint.ptr()))
        return -1;
    const uint32_t at = positions_.find(text_of(endpoint));
    return at == positions_.absent ? -1 : static_cast<long>(group_of_[at]);
}

nb::dict canonical_net_groups(nb::dict nets) {
    const EndpointGroups groups(nets);
    if (!groups.shared())
        return nets;
    // A group of one net stays as it is; the nets of any other group give way
    // to the nets from its smallest endpoint to each other one.
    nb::set replaced;
    nb::list listed;
    for (size_t group = 0; group < groups.size(); ++group) {
        const Run<nb::handle> members = groups.members(group);
        const Run<nb::object> keys = groups.keys(group);
        if (keys.size() == 1 && members.size() == 2)
            continue;
        for (const nb::object& key : keys)
            replaced.add(key);
        for (size_t i = 1; i < members.size(); ++i)
            listed.append(two_point_net(members[0], members[i]));
    }
    nb::dict by_key;
    PyObject* key = nullptr;
    PyObject* net = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(nets.ptr(), &at, &key, &net)) {
        const int gone = PySet_Contains(replaced.ptr(), key);
        if (gone < 0 || (!gone && PyDict_SetItem(by_key.ptr(), key, net) < 0))
            throw nb::python_error();
    }
    if (PyDict_Update(by_key.ptr(), canonical_nets(listed).ptr()) < 0)
        throw nb::python_error();
    // the kept nets are in key order already: the sort merges two sorted runs
    nb::object sorted_keys = checked(PyDict_Keys(by_key.ptr()));
    if (PyList_Sort(sorted_keys.ptr()) < 0)
        throw nb::python_error();
    nb::dict sorted;
    for (nb::handle sorted_key : sorted_keys)
        if (PyDict_SetItem(sorted.ptr(), sorted_key.ptr(),
                           PyDict_GetItem(by_key.ptr(), sorted_key.ptr())) < 0)
            throw nb::python_error();
    return sorted;
}

} // namespace quillon::lvs
