/// attach_electrical_ports: the cell's electrical ports in the layout netlist.
/// The optical stage finds the cell's optical ports where they meet an
/// instance's port; an electrical port may sit anywhere on the metal of its
/// net, so the electrical stage finds the named instances' ports on that net
/// and the port attaches to any of them.

#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

namespace {

/// The port of a named instance on the net that the cell's port `name` sits
/// on (the port the cell copies), else the first of `endpoints`: what a
/// finding names as the layout's side. A pad's sides are one conductor, which
/// `endpoints` names after one of them.
nb::object placed_endpoint(nb::handle cell, LayoutInstances& instances, nb::handle name,
                           nb::handle endpoints) {
    nb::object position = cell.attr("ports")[name].attr("trans").attr("disp");
    for (nb::handle endpoint : endpoints) {
        nb::object instance_name = endpoint_instance(endpoint);
        const std::optional<LayoutInstances::Found> found = instances.find(instance_name);
        if (!found)
            continue;
        nb::object instance = instances.wrap(*found);
        nb::object ports = instance.attr("ports");
        for (nb::handle port : ports)
            if (port.attr("trans").attr("disp").equal(position))
                return endpoint_text(instance_name, port.attr("name"));
    }
    return endpoints[0];
}

} // namespace

void attach_electrical_ports(nb::dict lvs_netlist, nb::handle ref_netlist, nb::handle cell,
                             LayoutInstances& instances, nb::dict port_endpoints,
                             nb::dict reference_endpoints) {
    nb::object found = lvs_netlist.attr("get")("ports");
    if (!PyDict_Check(found.ptr()))
        return;
    nb::dict ports = nb::borrow<nb::dict>(found);
    nb::object reference_ports = ref_netlist.attr("get")("ports");
    for (auto [name, endpoints] : port_endpoints) {
        if (nb::len(endpoints) == 0 || ports.contains(name))
            continue;
        // the reference's endpoint, as it wrote it, when that one is on the net
        nb::object renamed = reference_endpoints.attr("get")(name);
        ports[name] = !renamed.is_none() && truthy(endpoints.attr("__contains__")(renamed))
                          ? reference_ports.attr("get")(name)
                          : placed_endpoint(cell, instances, name, endpoints);
    }
}

} // namespace quillon::lvs
