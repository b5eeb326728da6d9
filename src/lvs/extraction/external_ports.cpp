/// plain_external_ports: the last step of the layout's external ports. The
/// optical stage maps each external pin to the next text on its net, or to
/// the open-port placeholder when nothing else is on it. Two cases of the
/// placeholder are not open ports: when a route of unnamed instances joins
/// two external ports, KLayout folds their pins into one pin named "p,q",
/// which stands for p attached to q; a port with truly nothing attached (a
/// leaf cell's ports, say) has no endpoint to compare and is left out.

#include "quillon/lvs/lvs.hpp"
#include "quillon/lvs/netlist/net_groups.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

namespace {

bool contains(nb::handle container, nb::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

/// The port names a folded pin name joins, or an empty list when `name` is
/// not a join of two or more of the cell's port names.
nb::list folded_names(nb::handle name, nb::handle port_names) {
    if (!PyUnicode_Check(name.ptr()) || contains(port_names, name))
        return nb::list();
    nb::list parts = nb::borrow<nb::list>(name.attr("split")(","));
    if (nb::len(parts) < 2)
        return nb::list();
    for (nb::handle part : parts)
        if (!contains(port_names, part))
            return nb::list();
    return parts;
}

} // namespace

nb::dict plain_external_ports(nb::handle cell, nb::dict ports) {
    bool placeholders = false;
    for (nb::handle value : ports.values())
        placeholders |= is_open_port_placeholder(value);
    if (!placeholders)
        return ports;
    nb::set port_names;
    for (nb::handle port : cell.attr("ports"))
        port_names.add(port.attr("name"));
    nb::dict plain;
    for (nb::handle pair : ports.items()) {
        nb::handle name = pair[0];
        nb::handle value = pair[1];
        if (!is_open_port_placeholder(value)) {
            plain[name] = value;
            continue;
        }
        nb::list folded = folded_names(name, port_names);
        if (nb::len(folded) >= 2)
            plain[folded[0]] = folded[1];
    }
    return plain;
}

} // namespace quillon::lvs
