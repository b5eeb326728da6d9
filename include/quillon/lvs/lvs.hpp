#pragma once
/// Internal interface of the layout-versus-schematic module: the objects it
/// calls, the netlist helpers and one entry per stage of the check.

#include "quillon/lvs/findings/finding_kinds.hpp"

#include <nanobind/nanobind.h>

#include <vector>

namespace quillon::lvs {
namespace nb = nanobind;

/// Python objects the check calls, bound once when the module is imported.
/// Handles are deliberately kept for the life of the process (see define.hpp).
struct Dependencies {
    nb::handle module;               ///< quillon.core.lvs itself (borrowed: sys.modules keeps it)
    nb::handle kdb;                  ///< klayout.db, as the cell library re-exports it
    nb::handle report_database;      ///< klayout.rdbcore.ReportDatabase
    nb::handle item_value;           ///< klayout.rdbcore.RdbItemValue
    nb::handle deepdiff;             ///< deepdiff.diff.DeepDiff
    nb::handle cellgrid;             ///< the cell library
    nb::handle maskwright;           ///< the kit library
    nb::handle get_settings;         ///< quillon.settings.get_settings
    nb::handle activate_pdk_by_name; ///< quillon.core.shared.activate_pdk_by_name
    nb::handle settings_comparison;  ///< quillon.core.instance_settings.SettingsComparison
    nb::handle cell_class;           ///< Cell: DKCell, else KCell
    nb::handle instance_class;       ///< Instance: DInstance, else Instance
    nb::handle name_propid;          ///< PROPID.NAME
    nb::handle set_ordered;          ///< deepdiff.helper.SetOrdered, DeepDiff's ordered path set
    nb::handle unified_diff;         ///< difflib.unified_diff, for changed multi-line strings
    // Layout extraction
    nb::handle cg_name_propid;           ///< cellgrid.conf.PROPID.NAME
    nb::handle region;                   ///< klayout.db.Region
    nb::handle box;                      ///< klayout.db.Box
    nb::handle text;                     ///< klayout.db.Text
    nb::handle recursive_shape_iterator; ///< klayout.db.RecursiveShapeIterator
    nb::handle layout_to_netlist;        ///< klayout.db.LayoutToNetlist
    nb::handle dcplx_trans;              ///< klayout.db.DCplxTrans
    nb::handle dtrans;                   ///< klayout.db.DTrans
    nb::handle layer_info;               ///< klayout.db.LayerInfo
};

const Dependencies& deps();
void bind_dependencies(nb::module_& module);

/// The endpoint "instance,pin": the two names joined by one comma.
nb::object endpoint_text(nb::handle instance_name, nb::handle pin_name);
/// The instance name of the endpoint "instance,pin", split at its last comma
/// (port names hold no comma); None for a value that is no text.
nb::object endpoint_instance(nb::handle endpoint);
/// The canonical form {"p1": smaller, "p2": larger} of a net mapping.
nb::dict order_net(nb::handle net);
/// The key "p1:p2" of the canonical form of a net mapping.
nb::str net_str(nb::handle net);
/// {key: canonical net} for an iterable of nets, in ascending key order; nets
/// of one key collapse into one entry (a later one replaces an equal earlier one).
nb::dict canonical_nets(nb::handle nets);
/// The canonical nets `nets` with every group of three or more connected
/// endpoints written one way: from its smallest endpoint to each other one
/// (net_groups.cpp). The last step of both the reference loader and the extraction.
nb::dict canonical_net_groups(nb::dict nets);
/// The external ports of an extraction made plain: pins that KLayout folded
/// into one ("p,q") map the first to the second again, and ports that nothing
/// attaches to are left out (external_ports.cpp).
nb::dict plain_external_ports(nb::handle cell, nb::dict ports);

class LayoutInstances;
class MetalGeometry;
struct Joints;
class ElectricalProcess;

nb::dict load_ref_netlist(nb::handle ref, nb::handle cell, nb::handle electrical_layers);
/// What the reference netlist takes from its file before it meets the
/// layout: the parsed document itself is freed once these are read. The
/// entries are kept as written: the nets made of them are built after the
/// extraction, so that they do not add to its memory.
struct ReferenceFile {
    nb::dict instances;
    nb::object connections;     ///< optical connections, endpoint to endpoint
    nb::list links;             ///< each route's links, endpoint to endpoint
    nb::object electrical_nets; ///< the file's "nets" entries
    nb::object ports;
    nb::dict settings; ///< instance name -> its "settings", for instances that state some
};
/// Reads and checks the reference file `ref`.
ReferenceFile read_reference_file(nb::handle ref);
/// The reference netlist of `file`, its electrical ports renamed after the
/// layout instances found in `instances`, which the check goes on to use.
/// With `written`, each renamed endpoint maps there to the endpoint as the
/// file first wrote it (see `report::shown_endpoint`). With `port_endpoints`,
/// each external port maps there to its endpoint renamed as the nets' are.
nb::dict reference_netlist(ReferenceFile file, LayoutInstances& instances,
                           nb::handle electrical_layers, nb::dict* written = nullptr,
                           nb::dict* port_endpoints = nullptr);
nb::dict extract_lvs_netlist(nb::handle cell, nb::handle electrical_layers);
/// The same, filling `instances` from the instances it reads and, with
/// `joints`, the ports that do not simply meet in pairs into it; the
/// electrical nets come from `electrical` when it runs the stage in a process
/// of its own.
nb::dict extract_lvs_netlist(nb::handle cell, nb::handle electrical_layers,
                             LayoutInstances* instances, Joints* joints = nullptr,
                             ElectricalProcess* electrical = nullptr);
nb::dict get_netlist_diff(nb::handle ref_netlist, nb::handle lvs_netlist);
/// The netlist difference computed natively, or an invalid object when the
/// netlists hold values that only DeepDiff itself compares (see native_diff.cpp).
nb::object native_netlist_diff(nb::handle ref_netlist, nb::handle lvs_netlist);
/// The reference file parsed with PyYAML's safe loading rules (quillon/yaml.hpp).
nb::object read_reference_yaml(nb::handle ref);
/// Fails with one ValueError line naming the file `ref`, the entry and what was
/// expected when the parsed reference `data` is not shaped as the loader reads it.
void validate_reference(nb::handle data, nb::handle ref);
/// Per layout instance named in `instance_names`, the mapping from each electrical port of its
/// cell to the first port of its conductor; instances that cannot be analysed are left out.
nb::dict reference_port_maps(LayoutInstances& instances, nb::handle instance_names,
                             nb::handle electrical_layers);
/// The named layout instances (the cell library's) that share their name
/// with another, grouped by name in the order the names first appear.
using SharedNames = std::vector<std::vector<nb::object>>;
/// Net keys of each side that a short or an open already reports.
struct NetGroupCover {
    nb::set reference_keys;
    nb::set layout_keys;
};
/// Shorts and opens of nets of three or more pins (net_group_findings.cpp).
/// Nets that touch an instance whose name several instances share are left
/// to the item that says so: covered, and never read as a short or an open.
/// Endpoints are shown as `written` maps them (`report::shown_endpoint`);
/// `metal` marks where the metal joins or parts the nets.
NetGroupCover find_shorts_and_opens(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                                    nb::handle ref_netlist, nb::handle lvs_netlist,
                                    const SharedNames& shared_names, nb::handle written,
                                    MetalGeometry& metal);
/// Branches, open ends of unnamed wiring and near misses of the layout's
/// ports (joint_findings.cpp); the nets they explain are added to `covered`.
void find_joint_faults(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                       const Joints& joints, nb::handle diff, nb::handle ref_netlist,
                       nb::handle written, NetGroupCover& covered);
/// The connection passes; nets whose keys are in `covered` are skipped,
/// endpoints are shown as `written` maps them, and, with `metal`, a
/// connection between two electrical ports is also marked where the metal
/// joins (unknown) or parts (missing) them.
void find_unknown_connections(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                              nb::handle diff, nb::handle lvs_netlist,
                              nb::handle covered = nb::handle(), nb::handle written = nb::handle(),
                              MetalGeometry* metal = nullptr);
void find_missing_connections(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                              nb::handle diff, nb::handle ref_netlist,
                              nb::handle covered = nb::handle(), nb::handle written = nb::handle(),
                              MetalGeometry* metal = nullptr);
void find_missing_instances(nb::handle rdb, nb::handle cell, nb::handle diff);
void find_unknown_instances(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                            nb::handle diff);
/// Instances of one name but another component on the two sides, and the
/// names that several layout instances share.
void find_mismatched_instances(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                               nb::handle diff, const SharedNames& shared_names);
/// Whether the layout instance (the cell library's) places a cell built by the
/// reference's component: a cell built with other than the default settings
/// carries them in its name, so only its function tells (mismatched_instances.cpp).
bool built_by(nb::handle instance, nb::handle reference_component);
/// Instances that both sides place with one component but whose settings
/// differ. `comparison` is the check's SettingsComparison; `settings` maps
/// reference instance names to the settings the reference states.
void find_mismatched_settings(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                              nb::handle diff, nb::handle ref_netlist, nb::handle settings,
                              const SharedNames& shared_names, nb::handle comparison);
/// What a layout whose cells lost their ports and settings (a file re-saved
/// without KLayout's context information) leaves unchecked (unchecked_connections.cpp).
struct UncheckedNets {
    nb::dict portless; ///< reference instance name -> its layout cell's name, cell lost its ports
    nb::dict reached;  ///< those of them the reference connects, name -> None, in net order
    nb::set reference_keys; ///< reference nets to them: one item says so, not one each
    nb::set layout_keys;    ///< layout nets left open at their other ends or at the lost cell ports
    bool cell_ports_lost = false; ///< the checked cell lost its own ports
    bool cell_ports = false;      ///< ... and the reference names some
};
/// Without `differs` (a clean difference) only whether the cell lost its own ports.
UncheckedNets find_unchecked_connections(nb::handle cell, LayoutInstances& instances,
                                         nb::handle ref_netlist, nb::handle lvs_netlist,
                                         bool differs);
/// One item for the connections of `unchecked`, and the note that names its cells.
void record_unchecked_connections(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                                  const UncheckedNets& unchecked, nb::handle notes);
/// One item for the reference's external ports of a checked cell that lost its own.
void record_unchecked_ports(nb::handle rdb, nb::handle cell, nb::handle ref_netlist);
/// External ports that one side lacks or attaches elsewhere; `probed_ports`
/// holds the electrical ports whose nets the extraction looked at (the others
/// are compared by their presence on the cell only).
void find_mismatched_ports(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                           nb::handle diff, nb::handle ref_netlist, nb::handle lvs_netlist,
                           nb::handle probed_ports = nb::handle());
nb::object find_connected_elec_ports(nb::handle cell, nb::handle layers);

/// The port groups of one cell and layer set, memoised in `memo`, a dict keyed
/// by (cell, layers) pairs. `find_connected_elec_ports` uses the module's memo;
/// the electrical stage passes one that lives only for its call.
nb::object connected_elec_ports_memoised(nb::dict memo, nb::handle cell, nb::handle layers);

void register_netlist_model(nb::module_& module);
void register_check(nb::module_& module);
void register_reference_netlist(nb::module_& module);
void register_extraction(nb::module_& module);
void register_elec_port_groups(nb::module_& module);
void register_netlist_diff(nb::module_& module);
void register_instance_findings(nb::module_& module);
void register_connection_findings(nb::module_& module);
void register_mismatched_instances(nb::module_& module);
void register_mismatched_ports(nb::module_& module);
void register_yaml_reading(nb::module_& module);
void register_finding_kinds(nb::module_& module);

/// Report-database plumbing shared by the findings passes (report_cells.cpp),
/// in a namespace of its own so that its short names never meet other files'
/// local helpers.
namespace report {
/// The title stored under `attribute` of the module's `lvs_categories`.
nb::object category_title(const char* attribute);
/// The category titled `title`, created only when the database has none.
nb::object category_for(nb::handle rdb, nb::handle title);
/// The report cell named after the layout cell, created only when absent.
nb::object cell_for(nb::handle rdb, nb::handle cell);
/// A new item of `category` on `report_cell`, tagged with its `kind`: every
/// item the check makes is created here, by the pass that knows what it found.
nb::object create_item(nb::handle rdb, nb::handle report_cell, nb::handle category,
                       const kind::Kind& kind);
/// Adds to `item` the distance in micrometres that a finding measured (a gap),
/// as a number value tagged "distance".
void add_distance(nb::handle rdb, nb::handle item, double distance);
/// The segment across a port's opening: (0, w/2) to (0, -w/2) in the port's
/// own frame, w being its cross-section width, placed by its transformation.
nb::object port_edge(nb::handle port);
/// The outline across two such edges: edge1.p1, edge1.p2, edge2.p2, edge2.p1,
/// in that order, as a connection between two ports is marked.
nb::object span(nb::handle edge1, nb::handle edge2);
/// The endpoint as the reference file wrote it: the check compares the ports
/// of one conductor (a pad's sides) under the first one's name, but a finding
/// names and marks the port the reference uses. `written` is the mapping
/// that `reference_netlist` fills, or an invalid handle.
nb::object shown_endpoint(nb::handle written, nb::handle endpoint);
/// The port of the layout cell that the endpoint "instance,port" names (split
/// at its last comma: port names hold no comma, instance names from other
/// tools may), or an invalid object with `absence` set to a text that says
/// what the layout lacks.
nb::object endpoint_port(LayoutInstances& instances, nb::handle endpoint, nb::object& absence);
} // namespace report

/// Whether a port type names an electrical port ("electrical", "DC" or "RF",
/// tested in that order).
bool is_electrical_port_type(nb::handle port_type);

} // namespace quillon::lvs
