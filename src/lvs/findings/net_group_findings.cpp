/// find_shorts_and_opens: nets of three or more pins that the layout joins or
/// splits differently from the reference, each read as one item naming the
/// nets involved, with a marker on each of its layout ports and where the
/// metal joins the short's nets or parts the open's (metal_geometry.cpp).
///
/// A short is a layout net whose pins the reference netlist puts into two or
/// more nets; an open is a reference net whose pins the layout puts into two
/// or more. The two-point nets such a finding explains are left to it: the
/// connection passes skip them.

#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/findings/metal_geometry.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/lvs/netlist/net_groups.hpp"
#include "quillon/py.hpp"

#include <map>
#include <numeric>
#include <vector>

namespace quillon::lvs {

namespace {

using Endpoints = std::vector<nb::object>;
using Members = Run<nb::handle>;

/// Whether `instances` (the reference's) holds the instance of the endpoint "instance,port".
bool has_instance_of(nb::handle endpoint, nb::handle instances) {
    if (!PyUnicode_Check(endpoint.ptr()))
        return true;
    const int found = PyDict_Contains(instances.ptr(), endpoint_instance(endpoint).ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

/// The endpoints of `members` split by their group on the other side, in the
/// order the groups first appear (`groups`: each part's group, -1 for none); an
/// endpoint on no net there is a part of its own, unless the other side lacks
/// its instance or port (`on_other_side` is false): the missing or unknown
/// instance, or the missing connection to a port the instance does not have,
/// explains it.
template <typename OnOtherSide>
std::vector<Endpoints> parts_by_group(const Members& members, const EndpointGroups& other,
                                      const OnOtherSide& on_other_side, std::vector<long>& groups) {
    std::vector<Endpoints> parts;
    std::map<long, size_t> part_of_group;
    for (nb::handle endpoint : members) {
        const long group = other.group(endpoint);
        if (group < 0) {
            if (on_other_side(endpoint)) {
                parts.push_back({nb::borrow(endpoint)});
                groups.push_back(-1);
            }
            continue;
        }
        const auto [found, added] = part_of_group.try_emplace(group, parts.size());
        if (added) {
            parts.emplace_back();
            groups.push_back(group);
        }
        parts[found->second].push_back(nb::borrow(endpoint));
    }
    return parts;
}

/// `parts` of a layout net joined where their reference nets hold ports of one
/// instance that the layout lacks (`placed` is false for it): the reference may
/// join those nets through the instance's conductor (two sides of a pad), which
/// only its cell in the layout would tell, so they are not shown as separate.
template <typename Placed>
std::vector<Endpoints>
joined_through_absent(std::vector<Endpoints> parts, const std::vector<long>& groups,
                      const EndpointGroups& reference, const Placed& placed) {
    std::vector<size_t> root(parts.size());
    std::iota(root.begin(), root.end(), size_t{0});
    auto find = [&](size_t at) {
        while (root[at] != at)
            at = root[at] = root[root[at]];
        return at;
    };
    nb::dict first_part; // absent instance -> the first part reaching it
    for (size_t part = 0; part < parts.size(); ++part) {
        if (groups[part] < 0)
            continue;
        for (nb::handle endpoint : reference.members(static_cast<size_t>(groups[part]))) {
            nb::object name = endpoint_instance(endpoint);
            if (name.is_none() || placed(name))
                continue;
            PyObject* seen = PyDict_GetItemWithError(first_part.ptr(), name.ptr());
            if (!seen && PyErr_Occurred())
                throw nb::python_error();
            if (!seen)
                first_part[name] = nb::int_(part);
            else
                root[find(part)] = find(nb::cast<size_t>(nb::handle(seen)));
        }
    }
    std::vector<Endpoints> joined;
    std::map<size_t, size_t> joined_of_root;
    for (size_t part = 0; part < parts.size(); ++part) {
        const auto [found, added] = joined_of_root.try_emplace(find(part), joined.size());
        if (added)
            joined.emplace_back();
        for (nb::object& endpoint : parts[part])
            joined[found->second].push_back(std::move(endpoint));
    }
    return joined;
}

/// The endpoints as a list, each as the reference wrote it (`report::shown_endpoint`).
template <typename Items> nb::list as_list(const Items& endpoints, nb::handle written) {
    nb::list list;
    for (nb::handle endpoint : endpoints)
        list.append(report::shown_endpoint(written, endpoint));
    return list;
}

/// "['a', 'b'], ['c'] and ['d', 'e']".
nb::object listed(const std::vector<Endpoints>& parts, nb::handle written) {
    nb::list leading;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
        leading.append(quoted(as_list(parts[i], written)));
    nb::object first = nb::str(", ").attr("join")(leading);
    return format_text("%U and %U", first, quoted(as_list(parts.back(), written)));
}

class Recorder {
  public:
    Recorder(nb::handle rdb, nb::handle cell, LayoutInstances& instances, nb::handle written,
             MetalGeometry& metal)
        : rdb_(rdb), instances_(instances), written_(written), metal_(metal),
          report_cell_(report::cell_for(rdb, cell)),
          shorts_(report::category_for(rdb, report::category_title("unknown_connections"))),
          opens_(report::category_for(rdb, report::category_title("missing_connections"))) {}

    void record(bool is_short, nb::handle text, const Members& ports,
                const std::vector<Endpoints>& parts) const {
        nb::object item = report::create_item(rdb_, report_cell_, is_short ? shorts_ : opens_,
                                              is_short ? kind::short_circuit : kind::open);
        item.attr("add_value")(text);
        for (nb::handle endpoint : ports) {
            nb::object absence;
            nb::object port = report::endpoint_port(
                instances_, report::shown_endpoint(written_, endpoint), absence);
            if (port.is_valid())
                item.attr("add_value")(report::port_edge(port));
        }
        for (nb::handle marker : is_short ? metal_.junctions(parts) : metal_.gaps(parts))
            item.attr("add_value")(marker);
    }

    nb::handle written() const { return written_; }

    /// Whether the layout has an instance of the name.
    bool placed(nb::handle name) const { return instances_.find(name).has_value(); }

    /// Whether the layout has the instance port that the reference endpoint names.
    bool in_layout(nb::handle endpoint) const {
        nb::object absence;
        return report::endpoint_port(instances_, report::shown_endpoint(written_, endpoint),
                                     absence)
            .is_valid();
    }

  private:
    nb::handle rdb_;
    LayoutInstances& instances_;
    nb::handle written_;
    MetalGeometry& metal_;
    nb::object report_cell_;
    nb::object shorts_;
    nb::object opens_;
};

void cover(nb::set& keys, const Run<nb::object>& group_keys) {
    for (const nb::object& key : group_keys)
        keys.add(key);
}

/// Covers the nets of `group_keys` (in `nets`) that lie inside `members`: a
/// net of the other side reaching beyond the finding's endpoints is a fault
/// of its own, which the connection passes report.
void cover_inside(nb::set& keys, const Run<nb::object>& group_keys, nb::handle nets,
                  const Members& members) {
    nb::set inside;
    for (nb::handle endpoint : members)
        inside.add(endpoint);
    for (const nb::object& key : group_keys) {
        nb::handle net = nets[key];
        if (inside.contains(net[nb::str("p1")]) && inside.contains(net[nb::str("p2")]))
            keys.add(key);
    }
}

/// The names that several layout instances share.
nb::set shared_name_set(const SharedNames& shared_names) {
    nb::set names;
    for (const auto& group : shared_names)
        names.add(group.front().attr("name"));
    return names;
}

/// Whether the endpoint names a port of one of `names`.
bool on_instance_of(nb::handle endpoint, nb::handle names) {
    if (!PyUnicode_Check(endpoint.ptr()))
        return false;
    const int found = PySet_Contains(names.ptr(), endpoint_instance(endpoint).ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

/// Covers the nets of `netlist` that touch an instance of `names`.
void cover_nets_touching(nb::set& keys, nb::handle netlist, nb::handle names) {
    for (nb::handle pair : netlist[nb::str("nets")].attr("items")()) {
        nb::handle net = pair[1];
        if (on_instance_of(net[nb::str("p1")], names) || on_instance_of(net[nb::str("p2")], names))
            keys.add(pair[0]);
    }
}

bool touches(const Members& members, nb::handle names) {
    if (PySet_GET_SIZE(names.ptr()) == 0)
        return false;
    for (nb::handle endpoint : members)
        if (on_instance_of(endpoint, names))
            return true;
    return false;
}

/// The text of a short (a layout group split by the reference) or an open (a
/// reference group split by the layout).
nb::object finding_text(bool is_short, const Members& members, const std::vector<Endpoints>& parts,
                        nb::handle written) {
    if (is_short)
        return format_text("Short: the layout connects %U, which are separate nets in the "
                           "reference netlist",
                           listed(parts, written));
    return format_text("Open: the reference net %U is split in the layout into %U",
                       quoted(as_list(members, written)), listed(parts, written));
}

/// The groups of one side against the other: each group of three or more
/// endpoints that the other side splits is one finding (a short on the layout
/// side, an open on the reference side), which covers the group's nets and
/// the nets of the other side it touches. A group touching a shared name is
/// covered without a finding.
void find_split_groups(const Recorder& recorder, bool layout_side, const EndpointGroups& side,
                       const EndpointGroups& other, nb::handle other_nets,
                       nb::handle reference_instances, nb::handle shared, nb::set& side_keys,
                       nb::set& other_keys) {
    // a layout endpoint is in the reference when its instance is; a reference
    // endpoint in the layout when the layout has its instance and port
    auto on_other_side = [&](nb::handle endpoint) {
        return layout_side ? has_instance_of(endpoint, reference_instances)
                           : recorder.in_layout(endpoint);
    };
    for (size_t group = 0; group < side.size(); ++group) {
        const Members members = side.members(group);
        if (touches(members, shared)) {
            cover(side_keys, side.keys(group));
            continue;
        }
        if (members.size() < 3)
            continue;
        std::vector<long> groups;
        std::vector<Endpoints> parts = parts_by_group(members, other, on_other_side, groups);
        if (layout_side && parts.size() > 1)
            parts = joined_through_absent(std::move(parts), groups, other,
                                          [&](nb::handle name) { return recorder.placed(name); });
        if (parts.size() < 2)
            continue;
        recorder.record(layout_side, finding_text(layout_side, members, parts, recorder.written()),
                        members, parts);
        cover(side_keys, side.keys(group));
        for (long split : groups)
            if (split >= 0)
                cover_inside(other_keys, other.keys(static_cast<size_t>(split)), other_nets,
                             members);
    }
}

} // namespace

NetGroupCover find_shorts_and_opens(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                                    nb::handle ref_netlist, nb::handle lvs_netlist,
                                    const SharedNames& shared_names, nb::handle written,
                                    MetalGeometry& metal) {
    NetGroupCover covered;
    const nb::set shared = shared_name_set(shared_names);
    nb::object reference_nets = ref_netlist[nb::str("nets")];
    nb::object layout_nets = lvs_netlist[nb::str("nets")];
    // Without a shared name or a group of three or more endpoints on either
    // side, nothing here makes a finding or covers a net.
    const EndpointGroups reference(reference_nets);
    const EndpointGroups layout(layout_nets);
    if (nb::len(shared) == 0 && !reference.shared() && !layout.shared())
        return covered;
    const Recorder recorder(rdb, cell, instances, written, metal);
    if (nb::len(shared) > 0) {
        cover_nets_touching(covered.reference_keys, ref_netlist, shared);
        cover_nets_touching(covered.layout_keys, lvs_netlist, shared);
    }
    nb::object reference_instances = ref_netlist[nb::str("instances")];
    find_split_groups(recorder, true, layout, reference, reference_nets, reference_instances,
                      shared, covered.layout_keys, covered.reference_keys);
    find_split_groups(recorder, false, reference, layout, layout_nets, reference_instances, shared,
                      covered.reference_keys, covered.layout_keys);
    return covered;
}

} // namespace quillon::lvs
