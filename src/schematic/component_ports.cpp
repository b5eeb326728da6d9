/// The sides of a component's ports, plain and extended.

#include "quillon/define.hpp"
#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/schematic.hpp"

namespace quillon::schematic {

namespace {

nb::object dict_type() {
    return nb::module_::import_("builtins").attr("dict");
}

} // namespace

void register_ports(nb::module_& m) {
    nb::object handler = make_handler(
        m, "ports", "Get component ports.",
        {{str("component"), nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), {}}},
        dict_type(), [](const BoundArgs&) -> nb::object { not_implemented("ports"); });
    add_route("get", "/assets/ports/{component}.json", handler);
}

void register_ports_extended(nb::module_& m) {
    nb::object handler = make_handler(
        m, "ports_extended", "Get all ports.",
        {{str("component"), nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), {}}},
        dict_type(), [](const BoundArgs&) -> nb::object { not_implemented("ports_extended"); });
    add_route("get", "/assets/ports-extended/{component}.json", handler);
}

void register_get_ports(nb::module_& m) {
    define(m, Signature("_get_ports", {str("component")}), "def _get_ports(component: str) -> dict",
           "Get the side of each port of a component.",
           [](const BoundArgs&) -> nb::object { not_implemented("_get_ports"); });
}

void register_ports_from_netlist(nb::module_& m) {
    define(m, Signature("_ports_from_netlist", {any("netlist")}),
           "def _ports_from_netlist(netlist: dict) -> dict",
           "Distribute the ports of a netlist over the four sides.",
           [](const BoundArgs&) -> nb::object { not_implemented("_ports_from_netlist"); });
}

} // namespace quillon::schematic
