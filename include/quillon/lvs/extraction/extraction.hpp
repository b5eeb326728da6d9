#pragma once
/// Building blocks of the layout netlist extraction shared by its files:
/// the placement ordering of instances and subcircuits, and the index that
/// finds the named instance behind an extracted subcircuit.

#include "quillon/key_numbers.hpp"
#include "quillon/lvs/extraction/joints.hpp"
#include "quillon/py.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillon::lvs {
namespace nb = nanobind;

class LayoutInstances;
class ElectricalProcess;

/// The items of a KLayout `each_...` iteration, as a list. KLayout's
/// iterators start over when asked again after their end, which nanobind's
/// C++ iteration does, so they are always drained this way.
nb::list each(nb::handle object, const char* method);

/// The names a placement's coordinates are read by, interned once for a
/// whole pass: a name made afresh for every read misses the interpreter's
/// attribute cache.
struct TransNames {
    nb::object disp = interned("disp");
    nb::object x = interned("x");
    nb::object y = interned("y");
};

/// A placement: a transformation and, when it is a `DCplxTrans`, its
/// displacement read once so that most comparisons need no call into KLayout.
/// An ordinary placement from the cell library's tables may come without its
/// transformation, as an orientation code and the displacement alone.
struct Placement {
    nb::object trans;
    double x = 0.0;
    double y = 0.0;
    bool numeric = false;
    int orientation = -1; ///< KLayout's code, when `trans` is left to be made

    static Placement of(nb::object trans, const TransNames& names = TransNames());
    /// `trans`, or the `DCplxTrans` of the orientation and displacement.
    nb::object transformation() const;
};

/// Sort key (placement, name), compared like the tuple (trans, name):
/// transformations by KLayout's own (tolerant) ordering, names as strings.
struct PlacementKey {
    Placement placement;
    nb::object name;
};

/// Positions of `keys` in ascending key order, sorted stably by the
/// interpreter's own list sort, so that ties and KLayout's tolerant
/// comparisons come out exactly as sorting the tuples would.
std::vector<size_t> placement_order(const std::vector<PlacementKey>& keys);

/// Must run once while the module loads: creates the key type of the sort.
void register_placement_order(nb::module_& module);

/// Must run once while the module loads, after PROPID is defined.
void bind_name_property(nb::module_& module);
/// The module's PROPID.NAME.
nb::handle module_name_propid();

/// Names of the cells that instances place, read from the cell library once
/// per cell: the instances of one cell share its name.
class CellNames {
  public:
    struct Name {
        nb::object object;
        std::string text;
    };
    /// The name of the instance's cell (`instance.cell.name`), for the cell
    /// index already read from it.
    const Name& of(nb::handle instance, long long cell_index);
    /// The name of the cell of that index when it was read already, else null.
    const Name* find(long long cell_index) const;
    /// The name of a cell already known, as the cell library gave it.
    const Name& known(long long cell_index, nb::handle name);

  private:
    std::unordered_map<long long, Name> by_index_; ///< nodes, and so entries, stay put
};

/// The instances of the cell under check, read once and shared by both
/// stages: the electrical stage's copy of the layout has the same cells, cell
/// indices and instances (with their properties), in the same order.
struct CellInstances {
    /// The cell library's instance objects; empty when the instances were
    /// taken from its connectivity tables.
    std::vector<nb::object> objects;
    std::vector<Placement> placements;   ///< `dcplx_trans`
    std::vector<long long> cell_indexes; ///< of the placed cells
    std::vector<const CellNames::Name*> cell_names;
    std::vector<nb::object> properties; ///< property PROPID.NAME: None when unnamed
    std::vector<nb::object> names;      ///< the instance's `name`; None when unnamed
    /// From the connectivity tables, when they give them: KLayout's instance
    /// of each named instance, None for the others.
    nb::object kdb_instances;
    /// From the connectivity tables: position -> (i, j) of each element of an
    /// instance array, whose KLayout instance is the whole array.
    nb::object elements;
    CellNames name_cache;

    /// Reads the instances of `cell` through the cell library.
    /// Arrays without properties count as their first element unless
    /// `every_array`, as the cell library's port connectivity read them.
    static void read(nb::handle cell, CellInstances& into, bool every_array);
    /// Takes the instances from the cell library's connectivity tables.
    static void from_tables(nb::handle tables, CellInstances& into);
    /// Reads only the named instances of `cell` (an array's elements named
    /// after it), straight from KLayout: all the electrical stage needs.
    static void read_named(nb::handle cell, CellInstances& into);
    size_t size() const { return placements.size(); }
    /// Frees the placement objects of the unnamed instances, which only the
    /// optical stage reads. Instances read one by one carry one KLayout object
    /// each, most of what the table holds on a large layout; from the cell
    /// library's tables only complex placements of unnamed instances have one.
    void forget_unnamed_placements();
    /// Positions of the instances sorted by (placement, cell name).
    std::vector<size_t> sorted_order() const;
};

/// Whether the cell library's PROPID.NAME is the module's (it is 0 in both).
bool same_name_property();

/// Appends the optical nets of `cell` and fills `instances` and `ports`; reads
/// the cell's instances into `cell_instances`, and, with `joints`, the ports
/// that do not simply meet in pairs into it.
void extract_optical_nets(nb::handle cell, CellInstances& cell_instances, nb::dict instances,
                          nb::dict ports, nb::list nets_list, Joints* joints);
/// The optical stage from the cell library's connectivity tables, which
/// describe the port-connectivity netlist `l2n` built, as plain lists. False,
/// having added nothing, when dissolving the unnamed instances needs
/// KLayout's own netlist; `cell_instances` is filled either way.
bool extract_optical_from_tables(nb::handle tables, CellInstances& cell_instances,
                                 nb::dict instances, nb::dict ports, nb::list nets_list,
                                 nb::handle joints, Joints* joints_out);
/// `electrical_layers` when given and not empty; otherwise one single-layer set
/// per layer that carries an electrical port of an instance of `cell`.
nb::object electrical_layer_sets(nb::handle cell, nb::handle electrical_layers);
/// Appends the electrical nets of `cell`, found on a private copy of its layout.
/// With `port_endpoints`, each electrical port of the cell on an extraction
/// layer maps there to the sorted endpoints of the named instances on its net.
/// With `kept`, the copy and KLayout's extraction go there instead of being
/// freed: a process about to end need not take them apart.
void extract_electrical_nets(nb::handle cell, const CellInstances& cell_instances,
                             nb::handle electrical_layers, nb::list nets_list,
                             nb::dict* port_endpoints = nullptr, nb::list* kept = nullptr);
/// Adds to the layout netlist's "ports" each electrical port of the cell that
/// `port_endpoints` places on a net of named instances: at the reference's
/// endpoint when that lies on the same net (`reference_endpoints`, renamed as
/// the nets' are), else at the one whose port the cell's port sits on, else
/// at the first endpoint there.
void attach_electrical_ports(nb::dict lvs_netlist, nb::handle ref_netlist, nb::handle cell,
                             LayoutInstances& instances, nb::dict port_endpoints,
                             nb::dict reference_endpoints);

/// The layout netlist in two steps, so that the check can do other work
/// between them while the electrical stage runs in a process of its own: the
/// optical stage when made, then the electrical nets and the netlist.
class LayoutExtraction {
  public:
    /// Runs the optical stage of `cell`, filling `layout_instances` from the
    /// instances it reads and, with `joints`, the ports that do not simply meet
    /// in pairs.
    LayoutExtraction(nb::handle cell, LayoutInstances* layout_instances, Joints* joints);
    /// The netlist, its electrical nets from `electrical` when that runs the
    /// stage, else found here; with `port_endpoints`, the electrical ports'
    /// nets go there (see `extract_electrical_nets`).
    nb::dict finish(nb::handle electrical_layers, ElectricalProcess* electrical,
                    nb::dict* port_endpoints = nullptr);

  private:
    nb::object cell_; ///< the cell re-wrapped in the library's own class
    CellInstances cell_instances_;
    nb::dict instances_;
    nb::dict ports_;
    nb::list nets_list_;
};

/// The electrical stage in a child process of its own, beside the rest of the
/// check (electrical_process.cpp). Without a child, nothing happens here and
/// the stage runs in this process.
class ElectricalProcess {
  public:
    ElectricalProcess() = default;
    ElectricalProcess(const ElectricalProcess&) = delete;
    ElectricalProcess& operator=(const ElectricalProcess&) = delete;
    /// Kills and waits for a child whose nets were not taken.
    ~ElectricalProcess();

    /// Starts the stage on `cell` in a child process.
    void start(nb::handle cell, nb::handle electrical_layers);
    bool started() const { return child_ > 0; }
    /// Waits for the child and appends its nets to `nets_list` and, when
    /// given, the electrical ports' nets to `port_endpoints`; raises the
    /// error that stopped it.
    void finish(nb::list nets_list, nb::dict* port_endpoints);

  private:
    long child_ = -1; ///< the child's process id
    int pipe_ = -1;   ///< the end its nets are read from
};

/// Named instances of a cell by (cell name, placement): finds the first named
/// instance, in instance order, that places a cell of a given name at a
/// transformation equal (by KLayout's tolerant equality) to a given one.
class PinIndex {
  public:
    /// Adds the next named instance, in instance order, by its `name`.
    void add(nb::handle name, const std::string& cell_name, const Placement& placement);
    /// Adds the named instances of `cell`, read through the cell library.
    void add_named_instances(nb::handle cell);

    /// A number for the cell name, to look instances up by; -1 when no named
    /// instance places a cell of that name.
    int cell_id(const std::string& cell_name) const;
    /// The instance's name, or an invalid handle when no named instance matches.
    nb::handle find(int cell_id, nb::handle trans) const;

  private:
    struct Entry {
        nb::object name;
        nb::object trans;
    };
    struct Bucket {
        int cell_id;
        int64_t bx;
        int64_t by;
        bool operator==(const Bucket& other) const {
            return bx == other.bx && by == other.by && cell_id == other.cell_id;
        }
    };
    struct BucketHash {
        uint64_t operator()(const Bucket& b) const;
    };
    using Positions = std::vector<size_t>;
    /// The entries of one grid cell, chained through `next_` in instance order.
    struct Chain {
        size_t first;
        size_t last;
    };

    /// Whether the entry at `position` is placed at `trans` (by KLayout's equality).
    bool placed_at(size_t position, nb::handle trans) const;
    /// The first position of `positions` whose placement equals `trans`.
    size_t first_equal(const Positions& positions, nb::handle trans) const;
    /// The same along the chain that starts at `position`.
    size_t first_equal_from(size_t position, nb::handle trans) const;

    std::vector<Entry> entries_; ///< named instances, in instance order
    std::vector<size_t> next_;   ///< per entry, the next of its grid cell
    std::unordered_map<std::string, int> cell_ids_;
    KeyNumbers<Bucket, BucketHash> buckets_;
    std::vector<Chain> chains_; ///< per grid cell of `buckets_`
    /// Per cell id: every named instance, and those not placed by a DCplxTrans.
    std::vector<Positions> all_;
    std::vector<Positions> irregular_;
    TransNames trans_names_;
};

} // namespace quillon::lvs
