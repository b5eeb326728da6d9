/// load_ref_netlist: the reference netlist of a circuit, read from its YAML file into the form
/// the layout extraction produces (instances, canonical two-point nets, external ports).

#include "quillon/define.hpp"
#include "quillon/errors.hpp"
#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

namespace {

bool has(nb::handle container, const char* key) {
    const int found = PySequence_Contains(container.ptr(), nb::str(key).ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

/// Adds the net first -> second. Nets of one pair of endpoints, in either
/// order, become one when the nets are made canonical.
void add_net(nb::list& nets, nb::handle first, nb::handle second) {
    nb::dict net;
    net["p1"] = first;
    net["p2"] = second;
    nets.append(net);
}

/// Instance name -> {"component": ...}, in file order, into `file.instances`, and the
/// instance's "settings", when it states any, into `file.settings`; other entries of an
/// instance are dropped. The settings stay out of the netlist, which is compared whole:
/// a pass of their own compares them.
void read_instances(nb::handle data, ReferenceFile& file) {
    nb::object settings_key = interned("settings");
    for (nb::handle pair : get_item(data, "instances").attr("items")()) {
        nb::dict instance;
        instance["component"] = get_item(pair[1], "component");
        file.instances[pair[0]] = instance;
        PyObject* settings = PyDict_GetItemWithError(pair[1].ptr(), settings_key.ptr());
        if (!settings && PyErr_Occurred())
            throw nb::python_error();
        if (settings && settings != Py_None)
            file.settings[pair[0]] = nb::handle(settings);
    }
}

/// The links of every route: endpoint to endpoint, one mapping per route.
nb::list read_links(nb::handle data) {
    nb::list links;
    for (nb::handle route : get_item(data, "routes").attr("values")())
        links.append(get_item(route, "links"));
    return links;
}

/// The optical connections and the links of every route, as nets; their endpoints are kept.
nb::list connections_and_links(nb::handle connections, nb::handle links) {
    nb::list nets;
    for (nb::handle pair : connections.attr("items")())
        add_net(nets, pair[0], pair[1]);
    for (nb::handle route_links : links)
        for (nb::handle pair : route_links.attr("items")())
            add_net(nets, pair[0], pair[1]);
    return nets;
}

/// An endpoint with its port renamed by the port mapping of its instance: split at the last
/// comma, mapped, joined again.
nb::object renamed_endpoint(nb::handle endpoint, nb::handle port_maps) {
    nb::object parts = endpoint.attr("rsplit")(",", 1);
    const size_t count = nb::len(parts);
    if (count != 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zu)", count);
        throw nb::python_error();
    }
    nb::object instance = parts[0];
    nb::object port = parts[1];
    nb::object port_map = port_maps.attr("get")(instance);
    if (!port_map.is_none())
        port = port_map.attr("get")(port, port);
    return instance + nb::str(",") + port;
}

/// Notes in `written` (when given) the endpoint as written under its renamed form, the first
/// time a renamed endpoint is met.
void note_written(nb::dict* written, nb::handle renamed, nb::handle as_written) {
    if (written && !renamed.equal(as_written) &&
        !PyDict_SetDefault(written->ptr(), renamed.ptr(), as_written.ptr()))
        throw nb::python_error();
}

/// The electrical nets of the file's `entries`: every entry with both endpoints, ports renamed per
/// instance; an entry between two ports of one conductor is left out.
void read_electrical_nets(nb::handle entries, nb::handle port_maps, nb::list& nets,
                          nb::dict* written) {
    for (nb::handle net : entries) {
        if (!has(net, "p1") || !has(net, "p2"))
            continue;
        nb::object first = get_item(net, "p1");
        nb::object second = get_item(net, "p2");
        nb::object first_renamed = renamed_endpoint(first, port_maps);
        nb::object second_renamed = renamed_endpoint(second, port_maps);
        /// Two ports of one conductor (two sides of a pad) are joined by the device itself: a
        /// net between them adds no connection, and the layout lists none.
        if (!first.equal(second) && first_renamed.equal(second_renamed))
            continue;
        note_written(written, first_renamed, first);
        note_written(written, second_renamed, second);
        add_net(nets, first_renamed, second_renamed);
    }
}

/// Each external port of `ports` with its endpoint renamed by `port_maps`, into `out`.
void rename_port_endpoints(nb::handle ports, nb::handle port_maps, nb::dict& out) {
    if (!PyDict_Check(ports.ptr()))
        return;
    for (auto [name, endpoint] : nb::borrow<nb::dict>(ports))
        if (nb::isinstance<nb::str>(endpoint) && truthy(endpoint.attr("__contains__")(",")))
            out[name] = renamed_endpoint(endpoint, port_maps);
}

} // namespace

ReferenceFile read_reference_file(nb::handle ref) {
    CollectorPause collector_paused;
    nb::object data = read_reference_yaml(ref);
    validate_reference(data, ref);
    ReferenceFile file;
    read_instances(data, file);
    file.connections = get_item(data, "connections");
    file.links = read_links(data);
    file.electrical_nets = get_item(data, "nets");
    file.ports = get_item(data, "ports");
    return file;
}

nb::dict reference_netlist(ReferenceFile file, LayoutInstances& layout_instances,
                           nb::handle electrical_layers, nb::dict* written,
                           nb::dict* port_endpoints) {
    CollectorPause collector_paused;
    nb::list nets = connections_and_links(file.connections, file.links);
    file.connections.reset();
    file.links.reset();
    nb::dict port_maps = reference_port_maps(layout_instances, file.instances, electrical_layers);
    read_electrical_nets(file.electrical_nets, port_maps, nets, written);
    file.electrical_nets.reset();
    if (port_endpoints)
        rename_port_endpoints(file.ports, port_maps, *port_endpoints);

    nb::dict netlist;
    netlist["instances"] = file.instances;
    netlist["nets"] = canonical_net_groups(canonical_nets(nets));
    netlist["ports"] = file.ports;
    return netlist;
}

nb::dict load_ref_netlist(nb::handle ref, nb::handle cell, nb::handle electrical_layers) {
    LayoutInstances instances(cell);
    return reference_netlist(read_reference_file(ref), instances, electrical_layers);
}

void register_reference_netlist(nb::module_& m) {
    define(m,
           Signature("load_ref_netlist",
                     {str("ref"), any("cell"), optional(any("electrical_layers"))}),
           "def load_ref_netlist(ref: str, cell: Cell, electrical_layers: "
           "list[tuple[klayout.db.LayerInfo, ...]] | None = None) -> Netlist",
           "Load reference netlist.",
           [](const BoundArgs& a) { return load_ref_netlist(a[0], a[1], a.get(2, nb::none())); });
}

} // namespace quillon::lvs
