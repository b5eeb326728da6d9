#include "quillon/define.hpp"
#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

nb::object find_connected_elec_ports(nb::handle, nb::handle) {
    not_implemented("find_connected_elec_ports");
}

void register_elec_port_groups(nb::module_& m) {
    define(m, Signature("find_connected_elec_ports", {any("c"), any("layers")}),
           "def find_connected_elec_ports(c: Cell, layers: Sequence[klayout.db.LayerInfo]) -> "
           "dict[str, str]",
           "Map each electrical port of the cell to the first port name of its conductor.",
           [](const BoundArgs& a) { return find_connected_elec_ports(a[0], a[1]); });
}

} // namespace quillon::lvs
