#include "quillon/define.hpp"
#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

nb::dict load_ref_netlist(nb::handle, nb::handle, nb::handle) {
    not_implemented("load_ref_netlist");
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
