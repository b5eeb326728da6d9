/// extract_lvs_netlist: the layout side of the check. Named instances and
/// optical connections come from the cell library's port connectivity,
/// electrical connections from KLayout's netlist extraction on a copy of the
/// layout; the connections are then made canonical, keyed and sorted.

#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/define.hpp"
#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/memory.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

nb::dict extract_lvs_netlist(nb::handle cell, nb::handle electrical_layers) {
    return extract_lvs_netlist(cell, electrical_layers, nullptr);
}

nb::dict extract_lvs_netlist(nb::handle cell, nb::handle electrical_layers,
                             LayoutInstances* layout_instances, Joints* joints,
                             ElectricalProcess* electrical) {
    // destroyed last, once everything below is freed
    ReleaseFreedMemory release_freed_memory;
    CollectorPause collector_paused;
    return LayoutExtraction(cell, layout_instances, joints).finish(electrical_layers, electrical);
}

LayoutExtraction::LayoutExtraction(nb::handle cell, LayoutInstances* layout_instances,
                                   Joints* joints)
    : cell_(deps().cell_class(nb::arg("base") = cell.attr("_base"))) {
    extract_optical_nets(cell_, cell_instances_, instances_, ports_, nets_list_, joints);
    if (layout_instances)
        layout_instances->take(cell_instances_);
    // the electrical stage reads the instances named under the library's
    // name property: only when that is the module's are they the same
    if (same_name_property())
        cell_instances_.forget_unnamed_placements();
}

nb::dict LayoutExtraction::finish(nb::handle electrical_layers, ElectricalProcess* electrical,
                                  nb::dict* port_endpoints) {
    if (electrical && electrical->started())
        electrical->finish(nets_list_, port_endpoints);
    else
        extract_electrical_nets(cell_, cell_instances_, electrical_layers, nets_list_,
                                port_endpoints);
    nb::dict netlist;
    netlist["instances"] = instances_;
    netlist["nets"] = canonical_net_groups(canonical_nets(nets_list_));
    netlist["ports"] = plain_external_ports(cell_, ports_);
    return netlist;
}

void register_extraction(nb::module_& m) {
    register_placement_order(m);
    bind_name_property(m);
    define(m, Signature("extract_lvs_netlist", {any("cell"), optional(any("electrical_layers"))}),
           "def extract_lvs_netlist(cell: cellgrid.ProtoTKCell[Any], electrical_layers: "
           "Sequence[maskwright.typings.ConnectivitySpec] | None = None) -> Netlist",
           "Extracted netlist from layout.",
           [](const BoundArgs& a) { return extract_lvs_netlist(a[0], a.get(1, nb::none())); });
}

} // namespace quillon::lvs
