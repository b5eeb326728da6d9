/// optical_lvs: one complete check, its stages in a fixed order.

#include "quillon/define.hpp"
#include "quillon/lvs/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/memory.hpp"
#include "quillon/py.hpp"

#include <utility>

namespace quillon::lvs {

namespace {

/// Tells the module's `_progress` callable, when one is set, that `stage`
/// begins: a command line shows it while a large layout is checked.
void report_stage(const char* stage) {
    nb::object progress = attribute(deps().module, "_progress");
    if (!progress.is_none())
        progress(stage);
}

nb::object optical_lvs(nb::handle cell, nb::handle ref) {
    // destroyed last, once both netlists and the difference are freed
    ReleaseFreedMemory release_freed_memory;
    CollectorPause collector_paused;
    const Dependencies& d = deps();
    nb::object title = nb::str("LVS Diff - ") + nb::str(cell.attr("name"));
    nb::object rdb = d.report_database(title);

    nb::object settings = d.get_settings();
    nb::object pdk = d.activate_pdk_by_name(settings.attr("pdk").attr("name"));

    // Every stage finds the instances it names in one table, filled from the
    // instances the extraction reads (or read once when first needed) and
    // freed with the check. So the reference file is read first, and its
    // ports are renamed after the layout's instances once those are known.
    LayoutInstances instances(cell);
    report_stage("reference");
    ReferenceFile reference = read_reference_file(ref);
    report_stage("extraction");
    nb::dict lvs_netlist = extract_lvs_netlist(cell, pdk.attr("connectivity"), &instances);
    nb::dict written; // endpoints the reference names otherwise than the comparison
    nb::dict ref_netlist = reference_netlist(std::move(reference), instances, nb::none(), &written);
    report_stage("difference");
    nb::dict diff = get_netlist_diff(ref_netlist, lvs_netlist);
    report_stage("findings");

    // A name given to two instances always shows in the difference, and so
    // does a net group that one side splits: a clean check of a large layout
    // need look for neither.
    const bool differs = truthy(diff);
    const SharedNames shared_names = differs ? instances.sharing_a_name() : SharedNames();
    NetGroupCover covered = differs ? find_shorts_and_opens(rdb, cell, instances, ref_netlist,
                                                            lvs_netlist, shared_names, written)
                                    : NetGroupCover();
    find_unknown_connections(rdb, cell, instances, diff, lvs_netlist, covered.layout_keys, written);
    find_missing_connections(rdb, cell, instances, diff, ref_netlist, covered.reference_keys,
                             written);
    find_missing_instances(rdb, cell, diff);
    find_unknown_instances(rdb, cell, instances, diff);
    find_mismatched_instances(rdb, cell, instances, diff, shared_names);
    find_mismatched_ports(rdb, cell, instances, diff, ref_netlist, lvs_netlist);
    return rdb;
}

} // namespace

void register_check(nb::module_& m) {
    m.attr("_progress") = nb::none();
    define(m, Signature("optical_lvs", {any("cell"), str("ref")}),
           "def optical_lvs(cell: Cell, ref: str) -> klayout.rdbcore.ReportDatabase",
           "Perform optical lvs on a cell.",
           [](const BoundArgs& a) { return optical_lvs(a[0], a[1]); });
}

} // namespace quillon::lvs
