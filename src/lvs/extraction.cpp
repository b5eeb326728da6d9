#include "quillon/define.hpp"
#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

nb::dict extract_lvs_netlist(nb::handle, nb::handle) {
    not_implemented("extract_lvs_netlist");
}

void register_extraction(nb::module_& m) {
    define(m, Signature("extract_lvs_netlist", {any("cell"), optional(any("electrical_layers"))}),
           "def extract_lvs_netlist(cell: cellgrid.ProtoTKCell[Any], electrical_layers: "
           "Sequence[maskwright.typings.ConnectivitySpec] | None = None) -> Netlist",
           "Extracted netlist from layout.",
           [](const BoundArgs& a) { return extract_lvs_netlist(a[0], a.get(1, nb::none())); });
}

} // namespace quillon::lvs
