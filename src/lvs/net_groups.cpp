/// canonical_net_groups: one listing per group of connected endpoints, so that
/// both sides of the check write a net of three or more pins alike.
///
/// A net of k pins can be listed as two-point nets in many ways: a star from
/// any pin, a chain, a ring. Both sides bring their nets to one form: the
/// endpoints that the two-point nets connect, directly or through others, form
/// a group; a group of three or more endpoints is written as the two-point
/// nets from its smallest endpoint to each other one. Groups of two, and nets
/// that hold the open-port placeholder, stay as they are.

#include "quillon/lvs/net_groups.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <vector>

namespace quillon::lvs {

namespace {

class DisjointSets {
  public:
    size_t add() {
        parent_.push_back(parent_.size());
        return parent_.size() - 1;
    }
    size_t find(size_t item) {
        while (parent_[item] != item)
            item = parent_[item] = parent_[parent_[item]];
        return item;
    }
    void join(size_t a, size_t b) { parent_[find(a)] = find(b); }

  private:
    std::vector<size_t> parent_;
};

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

} // namespace

bool is_open_port_placeholder(nb::handle endpoint) {
    return PyUnicode_Check(endpoint.ptr()) &&
           PyUnicode_CompareWithASCIIString(endpoint.ptr(), "ERROR_NO_CONNECTION") == 0;
}

long EndpointGroups::group(nb::handle endpoint) const {
    PyObject* found = PyDict_GetItemWithError(group_of.ptr(), endpoint.ptr());
    if (!found && PyErr_Occurred())
        throw nb::python_error();
    return found ? PyLong_AsLong(found) : -1;
}

bool shares_an_endpoint(nb::handle nets) {
    const nb::str p1_key("p1"), p2_key("p2");
    nb::set seen;
    auto seen_before = [&](nb::handle endpoint) {
        const Py_ssize_t size = PySet_GET_SIZE(seen.ptr());
        if (PySet_Add(seen.ptr(), endpoint.ptr()) < 0)
            throw nb::python_error();
        return PySet_GET_SIZE(seen.ptr()) == size;
    };
    for (nb::handle net : nets.attr("values")()) {
        nb::object p1 = net[p1_key];
        nb::object p2 = net[p2_key];
        if (stays_outside(p1, p2))
            continue;
        if (seen_before(p1) || seen_before(p2))
            return true;
    }
    return false;
}

EndpointGroups endpoint_groups(nb::handle nets) {
    const nb::str p1_key("p1"), p2_key("p2");
    EndpointGroups result;
    nb::dict index_of; // endpoint -> its position in `endpoints`
    std::vector<nb::object> endpoints;
    std::vector<int> uses;
    DisjointSets sets;
    auto position = [&](nb::handle endpoint) {
        PyObject* found = PyDict_GetItemWithError(index_of.ptr(), endpoint.ptr());
        if (!found && PyErr_Occurred())
            throw nb::python_error();
        size_t at;
        if (found) {
            at = PyLong_AsSize_t(found);
        } else {
            at = sets.add();
            endpoints.push_back(nb::borrow(endpoint));
            uses.push_back(0);
            index_of[endpoint] = nb::int_(at);
        }
        result.shared |= ++uses[at] > 1;
        return at;
    };
    std::vector<std::pair<size_t, nb::object>> grouped_keys;
    for (nb::handle pair : nets.attr("items")()) {
        nb::handle net = pair[1];
        nb::object p1 = net[p1_key];
        nb::object p2 = net[p2_key];
        if (stays_outside(p1, p2)) {
            result.outside.append(net);
            continue;
        }
        const size_t first = position(p1);
        sets.join(first, position(p2));
        grouped_keys.emplace_back(first, nb::borrow(pair[0]));
    }
    std::vector<long> group_of_root(endpoints.size(), -1);
    for (size_t at = 0; at < endpoints.size(); ++at) {
        long& group = group_of_root[sets.find(at)];
        if (group < 0) {
            group = static_cast<long>(result.members.size());
            result.members.emplace_back();
            result.keys.emplace_back();
        }
        result.members[group].push_back(endpoints[at]);
        result.group_of[endpoints[at]] = nb::int_(group);
    }
    for (auto& [endpoint, key] : grouped_keys)
        result.keys[group_of_root[sets.find(endpoint)]].push_back(std::move(key));
    for (std::vector<nb::object>& members : result.members) {
        nb::list sorted;
        for (const nb::object& endpoint : members)
            sorted.append(endpoint);
        if (PyList_Sort(sorted.ptr()) < 0)
            throw nb::python_error();
        for (size_t i = 0; i < members.size(); ++i)
            members[i] = sorted[i];
    }
    return result;
}

nb::dict canonical_net_groups(nb::dict nets) {
    if (!shares_an_endpoint(nets))
        return nets;
    EndpointGroups groups = endpoint_groups(nets);
    nb::list listed = groups.outside;
    for (const std::vector<nb::object>& members : groups.members)
        for (size_t i = 1; i < members.size(); ++i)
            listed.append(two_point_net(members[0], members[i]));
    return canonical_nets(listed);
}

} // namespace quillon::lvs
