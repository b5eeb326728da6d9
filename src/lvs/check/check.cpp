/// optical_lvs: one complete check, its stages in a fixed order.

#include "quillon/define.hpp"
#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/lvs/extraction/joints.hpp"
#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/findings/metal_geometry.hpp"
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

/// Why every instance is missing when a layout's instances carry no names
/// (lost on the way to GDS).
nb::object unnamed_instances_note() {
    return format_text(
        "the layout has no named instances, so none can be matched by name: the check reads an "
        "instance's name from its property %S (PROPID.NAME), which the kit writes when it places "
        "the instance; keep instance properties when the layout is written to GDS",
        checked(PyNumber_Index(module_name_propid().ptr())));
}

/// `settings_tolerance`: how far numbers of instance settings may differ (the
/// comparison's default when not valid);
/// `notes`: a list that receives lines about the input that explain findings
/// (instances whose settings could not be compared), or None;
/// `kit`: the name of the kit to check with, or None for the one the host
/// settings name;
/// `threads`: how many cores the check may use: with two or more, the
/// electrical stage runs in a process of its own beside the rest.
nb::object optical_lvs(nb::handle cell, nb::handle ref, nb::handle settings_tolerance,
                       nb::handle notes, nb::handle kit, long long threads) {
    // destroyed last, once both netlists and the difference are freed
    ReleaseFreedMemory release_freed_memory;
    CollectorPause collector_paused;
    const Dependencies& d = deps();
    nb::object title = nb::str("LVS Diff - ") + nb::str(cell.attr("name"));
    nb::object rdb = d.report_database(title);

    nb::object pdk = d.activate_pdk_by_name(
        kit.is_none() ? nb::object(d.get_settings().attr("pdk").attr("name")) : nb::borrow(kit));
    nb::object comparison = settings_tolerance.is_valid() && !settings_tolerance.is_none()
                                ? d.settings_comparison(pdk, cell.attr("kcl"), settings_tolerance)
                                : d.settings_comparison(pdk, cell.attr("kcl"));

    // Every stage finds the instances it names in one table, filled from the
    // instances the extraction reads (or read once when first needed) and
    // freed with the check. So the reference file is read first, and its
    // ports are renamed after the layout's instances once those are known.
    LayoutInstances instances(cell);
    // declared before the netlists: a child left running is stopped first
    ElectricalProcess electrical;
    // the child names instances under the module's name property only
    if (threads >= 2 && same_name_property())
        electrical.start(cell, pdk.attr("connectivity"));
    report_stage("reference");
    ReferenceFile reference = read_reference_file(ref);
    report_stage("extraction");
    Joints joints; // where the layout's ports do not simply meet in pairs
    LayoutExtraction layout(cell, &instances, &joints);
    nb::dict written; // endpoints the reference names otherwise than the comparison
    nb::dict instance_settings = reference.settings;
    nb::dict reference_ports; // the reference's external ports, renamed as its nets
    // made while the electrical stage may still run beside
    nb::dict ref_netlist =
        reference_netlist(std::move(reference), instances, nb::none(), &written, &reference_ports);
    nb::dict electrical_ports; // each electrical port of the cell: the endpoints on its net
    nb::dict lvs_netlist = layout.finish(pdk.attr("connectivity"), &electrical, &electrical_ports);
    attach_electrical_ports(lvs_netlist, ref_netlist, cell, instances, electrical_ports,
                            reference_ports);
    report_stage("difference");
    nb::dict diff = get_netlist_diff(ref_netlist, lvs_netlist);
    report_stage("findings");

    // A name given to two instances always shows in the difference, and so
    // does a net group that one side splits: a clean check of a large layout
    // need look for neither.
    const bool differs = truthy(diff);
    const SharedNames shared_names = differs ? instances.sharing_a_name() : SharedNames();
    // the layout's metal, read only when a finding marks where nets join or part
    MetalGeometry metal(cell, pdk.attr("connectivity"), instances);
    NetGroupCover covered = differs
                                ? find_shorts_and_opens(rdb, cell, instances, ref_netlist,
                                                        lvs_netlist, shared_names, written, metal)
                                : NetGroupCover();
    // Nets to cells that lost their ports are one item, not one each.
    const UncheckedNets unchecked =
        find_unchecked_connections(cell, instances, ref_netlist, lvs_netlist, differs);
    for (nb::handle key : unchecked.reference_keys)
        covered.reference_keys.add(key);
    for (nb::handle key : unchecked.layout_keys)
        covered.layout_keys.add(key);
    find_joint_faults(rdb, cell, instances, joints, diff, ref_netlist, written, covered);
    find_unknown_connections(rdb, cell, instances, diff, lvs_netlist, covered.layout_keys, written,
                             &metal);
    find_missing_connections(rdb, cell, instances, diff, ref_netlist, covered.reference_keys,
                             written, &metal);
    record_unchecked_connections(rdb, cell, instances, unchecked, notes);
    find_missing_instances(rdb, cell, diff);
    find_unknown_instances(rdb, cell, instances, diff);
    find_mismatched_instances(rdb, cell, instances, diff, shared_names);
    if (unchecked.cell_ports)
        record_unchecked_ports(rdb, cell, ref_netlist);
    else
        find_mismatched_ports(rdb, cell, instances, diff, ref_netlist, lvs_netlist,
                              electrical_ports);
    find_mismatched_settings(rdb, cell, instances, diff, ref_netlist, instance_settings,
                             shared_names, comparison);
    if (!notes.is_none()) {
        nb::object note = comparison.attr("note")();
        if (!note.is_none())
            notes.attr("append")(note);
        // first: it explains why every instance is missing
        if (as_long_long(cell.attr("kdb_cell").attr("child_instances")()) > 0 &&
            !instances.any_named())
            notes.attr("insert")(0, unnamed_instances_note());
    }
    return rdb;
}

} // namespace

void register_check(nb::module_& m) {
    m.attr("_progress") = nb::none();
    define(
        m,
        Signature("optical_lvs",
                  {any("cell"), str("ref"), keyword_only(optional(any("settings_tolerance"))),
                   keyword_only(optional(any("notes"))), keyword_only(optional(any("kit"))),
                   keyword_only(optional(integer("threads")))}),
        "def optical_lvs(cell: Cell, ref: str, *, settings_tolerance: float | None = 0.001, notes: "
        "list[str] | None = None, kit: str | None = None, threads: int = 1) -> "
        "klayout.rdbcore.ReportDatabase",
        "Perform optical lvs on a cell.", [](const BoundArgs& a) {
            const long long threads = a[5].is_valid() ? as_long_long(a[5]) : 1;
            return optical_lvs(a[0], a[1], a[2], a.get(3, nb::none()), a.get(4, nb::none()),
                               threads);
        });
}

} // namespace quillon::lvs
