/// The electrical stage of the layout extraction: ports of named instances
/// joined through metal and via layers become two-point nets.
///
/// Works on a private copy of the layout: each cell placed by a named instance
/// gets one text label per group of connected electrical ports, then KLayout's
/// netlist extraction names the pins of the extracted subcircuits after them.
/// The port groups of the copy's cells are memoised for this call only: the
/// copy is unreachable afterwards, and a process-wide memo would keep every
/// copy alive.

#include "quillon/errors.hpp"
#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <nanobind/stl/string.h>

#include <memory>
#include <unordered_set>

namespace quillon::lvs {

namespace {

void sort_list(nb::handle list) {
    if (PyList_Sort(list.ptr()) < 0)
        throw nb::python_error();
}

} // namespace

nb::object electrical_layer_sets(nb::handle cell, nb::handle electrical_layers) {
    if (truthy(electrical_layers))
        return nb::borrow(electrical_layers);
    nb::set layer_sets;
    nb::set seen_cells; // the ports of a cell placed many times are read once
    for (nb::handle instance : cell.attr("insts")) {
        nb::object placed = instance.attr("cell");
        if (seen_cells.contains(placed))
            continue;
        seen_cells.add(placed);
        for (nb::handle port : placed.attr("ports")) {
            if (is_electrical_port_type(port.attr("port_type")))
                layer_sets.add(nb::make_tuple(port.attr("layer_info").attr("name")));
        }
    }
    return nb::list(layer_sets);
}

namespace {

/// Writes into each cell placed by a named instance of the cell one label per
/// group of connected electrical ports, on the group's first port, in the
/// copy `kcl_elec` of the layout; fills `index` with the named instances.
void label_port_groups(nb::handle kcl_elec, const CellInstances& insts, nb::handle layer_sets,
                       PinIndex& index) {
    nb::dict memo; // this call's memo: the copy's cells are unreachable afterwards
    const Dependencies& d = deps();
    const bool shared_names = same_name_property();
    nb::object copied_cells = kcl_elec.attr("dkcells");
    std::unordered_set<long long> marked;
    for (size_t i = 0; i < insts.size(); ++i) {
        // Instances taken from the cell library's tables only come with a
        // shared name property (see extract_optical_nets).
        nb::object property = shared_names ? insts.properties[i]
                                           : insts.objects[i].attr("property")(d.cg_name_propid);
        if (!truthy(property))
            continue;
        nb::object name = shared_names ? insts.names[i] : insts.objects[i].attr("name");
        index.add(name, insts.cell_names[i]->text, insts.placements[i]);
        // A labelled cell keeps its labels: the groups of a cell placed again
        // are memo hits whose result would go unused.
        const long long cell_index = insts.cell_indexes[i];
        if (marked.count(cell_index))
            continue;
        nb::object placed = copied_cells[nb::int_(cell_index)];
        nb::dict port_mapping;
        for (nb::handle layer_set : layer_sets)
            port_mapping.update(connected_elec_ports_memoised(memo, placed, layer_set));
        nb::list elec_ports = nb::list(nb::set(port_mapping.values()));
        sort_list(elec_ports);
        nb::object ports = placed.attr("ports");
        for (nb::handle port_name : elec_ports) {
            nb::object port = ports[port_name];
            nb::object label = d.text(nb::arg("string") = port.attr("name"),
                                      nb::arg("trans") = port.attr("trans"));
            placed.attr("shapes")(port.attr("layer_info")).attr("insert")(label);
        }
        marked.insert(cell_index);
    }
}

/// Each layer set becomes a chain of extraction layers: every layer conducts
/// within itself and touches its neighbours; a layer in several sets is made
/// once and joins their chains. Returns the extraction layers by layer index.
nb::dict connect_layer_sets(nb::handle extractor, nb::handle kcl, nb::handle layer_sets) {
    nb::dict made_layers;
    auto layer_for = [&](nb::handle ident) {
        nb::object index = kcl.attr("find_layer")(ident);
        PyObject* known = PyDict_GetItemWithError(made_layers.ptr(), index.ptr());
        if (known)
            return nb::borrow(known);
        if (PyErr_Occurred())
            throw nb::python_error();
        nb::object layer = extractor.attr("make_layer")(index);
        extractor.attr("connect")(layer);
        made_layers[index] = layer;
        return layer;
    };
    for (nb::handle layer_set : layer_sets) {
        nb::object last = layer_for(layer_set[0]);
        nb::object rest = layer_set[nb::slice(nb::int_(1), nb::none(), nb::none())];
        for (nb::handle ident : rest) {
            nb::object layer = layer_for(ident);
            extractor.attr("connect")(layer, last);
            last = layer;
        }
    }
    return made_layers;
}

/// An electrical port of the checked cell, labelled in the copy.
struct CellPort {
    nb::object name;
    nb::object layer_index;
    nb::object position; ///< in database units
};

/// Labels each electrical port of `cell` that lies on an extraction layer in
/// the copy's top cell `copy_top`: KLayout then gives the place where the
/// port sits a net of the top circuit, which a pad's shape alone would not
/// have, and that net is found by probing the port's position.
std::vector<CellPort> label_cell_ports(nb::handle cell, nb::handle copy_layout, nb::handle copy_top,
                                       const nb::set& layer_indexes) {
    const Dependencies& d = deps();
    std::vector<CellPort> labelled;
    for (nb::handle port : cell.attr("ports")) {
        if (!is_electrical_port_type(port.attr("port_type")))
            continue;
        nb::object index = copy_layout.attr("find_layer")(port.attr("layer_info"));
        if (index.is_none() || !layer_indexes.contains(index))
            continue;
        nb::object trans = port.attr("trans");
        copy_top.attr("shapes")(index).attr("insert")(
            d.text(nb::arg("string") = port.attr("name"), nb::arg("trans") = trans));
        labelled.push_back({port.attr("name"), index, trans.attr("disp")});
    }
    return labelled;
}

/// Deletes from the copy every cell for which `goes(cell, cell_index)` holds.
///
/// The cells are listed first: reading a box may update the layout, which
/// KLayout's iterator over its cells does not survive. Every cell is judged
/// before any is changed: after a change, the next box read would bring the
/// whole layout up to date again, once per dropped cell (quadratic in a
/// layout of thousands of cells). Before KLayout deletes a cell it brings the
/// whole layout up to date, which in a fresh copy means sorting the
/// instances of every cell: the cells to go are emptied first.
template <typename Goes> void drop_cells(nb::handle layout, Goes goes) {
    nb::list dropped_cells;
    nb::list dropped;
    for (nb::handle cell : nb::list(layout.attr("each_cell")())) {
        nb::object cell_index = cell.attr("cell_index")();
        if (!goes(cell, as_long_long(cell_index)))
            continue;
        dropped_cells.append(cell);
        dropped.append(cell_index);
    }
    for (nb::handle cell : dropped_cells)
        cell.attr("clear")();
    if (nb::len(dropped) != 0)
        layout.attr("delete_cells")(dropped);
}

/// Deletes from the copy every cell other than `top` with nothing on the
/// extraction layers, and with it every instance of it: such a cell cannot
/// conduct, yet KLayout's extraction would still visit each of its instances.
/// Most of a photonic layout is such cells (waveguides and their bends).
void drop_cells_without_metal(nb::handle layout, nb::handle top, nb::handle layer_indexes) {
    const long long top_index = as_long_long(top.attr("cell_index")());
    drop_cells(layout, [&](nb::handle cell, long long cell_index) {
        if (cell_index == top_index)
            return false;
        for (nb::handle layer : layer_indexes)
            // a cell's box on a layer takes in its children's shapes there
            if (!truthy(cell.attr("bbox")(layer).attr("empty")()))
                return false;
        return true;
    });
}

/// Deletes from the copy every cell that `top` does not place, directly or
/// further down: the library may hold other layouts, even far larger ones,
/// and each change to the copy would otherwise update their boxes too. The
/// cells to keep are found in the original `top`, whose layout is up to date
/// already: asked of the fresh copy, that would sort every cell first.
void drop_cells_outside(nb::handle layout, nb::handle top) {
    std::unordered_set<long long> kept{as_long_long(top.attr("cell_index")())};
    for (nb::handle called : top.attr("called_cells")())
        kept.insert(as_long_long(called));
    drop_cells(layout, [&](nb::handle, long long cell_index) { return !kept.count(cell_index); });
}

/// Frees the private copy's KLayout layout when the stage ends, however it
/// ends: the copy's cell data refer to their library and back, so without
/// this the copy would wait for the interpreter's cycle collector.
class CopyRelease {
  public:
    explicit CopyRelease(nb::object layout) : layout_(std::move(layout)) {}
    CopyRelease(const CopyRelease&) = delete;
    CopyRelease& operator=(const CopyRelease&) = delete;
    /// Leaves the copy as it is.
    void keep() { layout_.reset(); }
    ~CopyRelease() {
        if (!layout_.is_valid())
            return;
        // An error in flight was taken out of the interpreter by nanobind, so
        // the call can run; any failure of its own is dropped. The name is
        // interned, as for every name known only at run time (see `interned`).
        PyObject* name = PyUnicode_InternFromString("_destroy");
        PyObject* done = name ? PyObject_CallMethodNoArgs(layout_.ptr(), name) : nullptr;
        Py_XDECREF(name);
        if (done)
            Py_DECREF(done);
        else
            PyErr_Clear();
    }

  private:
    nb::object layout_;
};

/// The subcircuits of the extracted netlist, each read once however many of
/// its pins lie on nets: its circuit's pin names by pin id, and the name of
/// the named instance it stands for, found on its first labelled pin.
class ExtractedSubcircuits {
  public:
    ExtractedSubcircuits(nb::handle extractor, const PinIndex& index)
        : layout_(extractor.attr("internal_layout")()), index_(index) {}

    /// The instance name and the pin name of a subcircuit pin; an invalid
    /// instance name for a pin without a label, which no net counts. A
    /// labelled pin of no named instance raises unless `strict` is false, when
    /// it is left out too.
    std::pair<nb::handle, nb::handle> read(nb::handle ref, bool strict = true) {
        nb::object subcircuit = call_method(ref, names_.subcircuit);
        const long id = as_long(call_method(subcircuit, names_.id));
        auto known = subcircuits_.find(id);
        if (known == subcircuits_.end())
            known = subcircuits_.emplace(id, Entry{&circuit_of(subcircuit), nb::handle()}).first;
        Entry& entry = known->second;
        auto pin_name = entry.circuit->pin_names.find(as_long(call_method(ref, names_.pin_id)));
        if (pin_name == entry.circuit->pin_names.end() || !truthy(pin_name->second))
            return {nb::handle(), nb::handle()};
        if (!entry.instance_name.is_valid()) {
            nb::object trans = get_attribute(subcircuit, names_.trans);
            entry.instance_name = index_.find(entry.circuit->cell_id, trans);
            if (!entry.instance_name.is_valid()) {
                if (!strict)
                    return {nb::handle(), nb::handle()};
                raise(PyExc_ValueError, "Could not find pin");
            }
        }
        return {entry.instance_name, pin_name->second};
    }

  private:
    /// Names called on every pin, interned once (see `TransNames`).
    struct Names {
        nb::object subcircuit = interned("subcircuit");
        nb::object id = interned("id");
        nb::object pin_id = interned("pin_id");
        nb::object trans = interned("trans");
    };
    static long as_long(nb::handle value) { return static_cast<long>(as_long_long(value)); }

    struct Circuit {
        nb::object object; ///< keeps the key of `circuits_` alive
        int cell_id;       ///< of the pin index, for the circuit's cell name
        std::unordered_map<long, nb::object> pin_names;
    };
    struct Entry {
        const Circuit* circuit;
        nb::handle instance_name; ///< held by the pin index
    };

    const Circuit& circuit_of(nb::handle subcircuit) {
        // a circuit comes back as the same Python object
        nb::object circuit = subcircuit.attr("circuit_ref")();
        auto known = circuits_.find(circuit.ptr());
        if (known != circuits_.end())
            return known->second;
        nb::object name = layout_.attr("cell_name")(circuit.attr("cell_index"));
        Circuit entry{circuit, index_.cell_id(nb::cast<std::string>(name)), {}};
        for (nb::handle pin : each(circuit, "each_pin"))
            entry.pin_names.emplace(nb::cast<long>(pin.attr("id")()), pin.attr("name")());
        return circuits_.emplace(circuit.ptr(), std::move(entry)).first->second;
    }

    Names names_;
    nb::object layout_;
    const PinIndex& index_;
    std::unordered_map<PyObject*, Circuit> circuits_;
    std::unordered_map<long, Entry> subcircuits_;
};

/// Appends one net per labelled pin after the first on each extracted net.
void append_nets(nb::handle extractor, nb::handle top_circuit, const PinIndex& index,
                 nb::list nets_list) {
    ExtractedSubcircuits subcircuits(extractor, index);
    std::vector<std::pair<nb::handle, nb::handle>> pins; // (instance name, pin name)
    nb::object pin_count = interned("subcircuit_pin_count");
    for (nb::handle net : each(top_circuit, "each_net")) {
        // Most nets reach one pin (a port wired to nothing) or none: counted
        // without reading them, which is far cheaper.
        if (as_long_long(call_method(net, pin_count)) < 2)
            continue;
        pins.clear();
        for (nb::handle ref : each(net, "each_subcircuit_pin")) {
            auto pin = subcircuits.read(ref);
            if (pin.first.is_valid())
                pins.push_back(pin);
        }
        if (pins.size() < 2)
            continue;
        nb::object first = endpoint_text(pins[0].first, pins[0].second);
        for (size_t i = 1; i < pins.size(); ++i) {
            nb::dict joined;
            joined["p1"] = first;
            joined["p2"] = endpoint_text(pins[i].first, pins[i].second);
            nets_list.append(joined);
        }
    }
}

/// Maps each port of `ports` to the sorted endpoints of named instances on
/// the top circuit's net where it sits (none when it touches no metal or
/// only unnamed instances).
void read_port_endpoints(nb::handle extractor, nb::handle regions, nb::handle top_circuit,
                         const std::vector<CellPort>& ports, const PinIndex& index,
                         nb::dict& port_endpoints) {
    ExtractedSubcircuits subcircuits(extractor, index);
    const Dependencies& d = deps();
    for (const CellPort& port : ports) {
        nb::list endpoints;
        nb::object net = extractor.attr("probe_net")(regions[port.layer_index],
                                                     d.kdb.attr("Point")(port.position));
        // the same circuit may come back as another Python object
        if (!net.is_none() &&
            net.attr("circuit")().attr("cell_index").equal(top_circuit.attr("cell_index"))) {
            for (nb::handle ref : each(net, "each_subcircuit_pin")) {
                auto pin = subcircuits.read(ref, false);
                if (pin.first.is_valid())
                    endpoints.append(endpoint_text(pin.first, pin.second));
            }
        }
        sort_list(endpoints);
        port_endpoints[port.name] = endpoints;
    }
}

} // namespace

void extract_electrical_nets(nb::handle cell, const CellInstances& cell_instances,
                             nb::handle electrical_layers, nb::list nets_list,
                             nb::dict* port_endpoints, nb::list* kept) {
    const Dependencies& d = deps();
    nb::object kcl_elec = cell.attr("kcl").attr("dup")();
    CopyRelease release(kcl_elec.attr("layout"));
    // the copy is private: its cells are opened once for labels and deletions
    // (listed first: changing a cell while KLayout iterates the cells is unsafe)
    nb::object copied_layout = kcl_elec.attr("layout");
    for (nb::handle copied : nb::list(copied_layout.attr("each_cell")()))
        copied.attr("locked") = false;
    nb::object copy = kcl_elec.attr("dkcells")[cell.attr("name")];
    drop_cells_outside(copied_layout, cell.attr("kdb_cell"));
    nb::object layer_sets = electrical_layer_sets(cell, electrical_layers);

    // The extraction layers come first: `layer` creates a layer the layout
    // lacks (in the copy only), so a layout without metal, such as a purely
    // optical one, groups no ports instead of failing to find the kit's layers.
    nb::set layer_indexes;
    for (nb::handle layer_set : layer_sets)
        for (nb::handle ident : layer_set)
            layer_indexes.add(kcl_elec.attr("layer")(ident));

    // The copy has the cell's instances, in the same order: they are read
    // once, for both stages. `index` finds the named ones for extracted pins.
    PinIndex index;
    label_port_groups(kcl_elec, cell_instances, layer_sets, index);
    const std::vector<CellPort> cell_ports =
        port_endpoints ? label_cell_ports(cell, copied_layout, copy.attr("kdb_cell"), layer_indexes)
                       : std::vector<CellPort>();

    nb::object copy_kcl = copy.attr("kcl");
    drop_cells_without_metal(copy_kcl.attr("layout"), copy.attr("kdb_cell"), layer_indexes);
    nb::object shapes = d.recursive_shape_iterator(copy_kcl.attr("layout"), copy.attr("kdb_cell"),
                                                   nb::arg("layers") = nb::list(layer_indexes));
    nb::object extractor = d.layout_to_netlist(shapes);
    nb::dict regions = connect_layer_sets(extractor, copy_kcl, layer_sets);

    extractor.attr("extract_netlist")();
    nb::object netlist = extractor.attr("netlist")();
    if (kept) {
        kept->append(kcl_elec);
        kept->append(extractor);
        kept->append(netlist);
        release.keep();
    }
    nb::object top_cell = extractor.attr("internal_layout")().attr("cell")(copy.attr("name"));
    nb::object top_circuit = netlist.attr("circuit_by_cell_index")(top_cell.attr("cell_index")());
    if (top_circuit.is_none())
        return;
    nb::object top_name = top_circuit.attr("name");
    if (!top_name.equal(copy.attr("name"))) {
        index = PinIndex();
        index.add_named_instances(kcl_elec.attr("dkcells")[top_name]);
    }
    append_nets(extractor, top_circuit, index, nets_list);
    if (port_endpoints)
        read_port_endpoints(extractor, regions, top_circuit, cell_ports, index, *port_endpoints);
}

} // namespace quillon::lvs
