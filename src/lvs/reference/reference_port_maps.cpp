/// Port renaming for the electrical nets of a reference netlist: for every reference instance
/// that the layout cell places, the electrical port groups of the placed cell, so that a net
/// the schematic draws to any port of a conductor meets the name the layout extraction uses.

#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <unordered_map>

namespace quillon::lvs {

namespace {

/// Adds the layer info of every electrical port of `cell` to `layers`.
void add_electrical_layers(nb::handle cell, nb::dict& layers) {
    nb::object ports = cell.attr("ports");
    for (nb::handle port : ports)
        if (is_electrical_port_type(port.attr("port_type")))
            layers[port.attr("layer_info")] = nb::none();
}

/// One single-layer set per distinct layer (by layer equality) of the
/// electrical ports of `cell` and of the cells placed inside it. The cell's own
/// ports count too: the layout extraction labels the ports of a placed cell
/// (a pad, say) by the group of its conductor, so the reference must rename
/// them alike even when the cell places nothing itself.
nb::list derive_layer_sets(nb::handle cell) {
    nb::dict layers;
    add_electrical_layers(cell, layers);
    nb::object insts = cell.attr("insts");
    for (nb::handle inner : insts) {
        // Held in a variable: a range over `inner.attr("cell").attr("ports")`
        // would outlive the placed cell it reads from.
        nb::object inner_cell = inner.attr("cell");
        add_electrical_layers(inner_cell, layers);
    }
    nb::list sets;
    for (nb::handle layer : layers.keys())
        sets.append(nb::make_tuple(layer));
    return sets;
}

/// Derived layer sets per placed cell: instances of one cell share them. A cell that cannot be
/// hashed is analysed afresh for every instance.
class DerivedLayerSets {
  public:
    nb::object of(nb::handle cell) {
        const Py_hash_t hash = PyObject_Hash(cell.ptr());
        if (hash == -1) {
            PyErr_Clear();
            return derive_layer_sets(cell);
        }
        PyObject* known = PyDict_GetItemWithError(by_cell_.ptr(), cell.ptr());
        if (known)
            return nb::borrow(known);
        if (PyErr_Occurred())
            throw nb::python_error();
        nb::object sets = derive_layer_sets(cell);
        by_cell_[cell] = sets;
        return sets;
    }

  private:
    nb::dict by_cell_;
};

/// The port mapping of a layout instance's cell, merged over its layer sets (a later set wins).
nb::dict port_map_of(nb::handle instance, nb::handle electrical_layers, DerivedLayerSets& derived) {
    nb::dict port_map;
    nb::object cell = instance.attr("cell");
    const bool given = truthy(electrical_layers);
    nb::object layer_sets = given ? nb::borrow(electrical_layers) : derived.of(cell);
    for (nb::handle layer_set : layer_sets)
        port_map.attr("update")(find_connected_elec_ports(cell, layer_set));
    return port_map;
}

/// Port mappings by the cell's index: every instance of a cell has its cell's
/// mapping, so it is worked out once per cell. The mappings are only read.
class PortMapsByCell {
  public:
    PortMapsByCell(LayoutInstances& instances, nb::handle electrical_layers)
        : cell_(instances.cell()), electrical_layers_(electrical_layers), instances_(instances) {}

    /// Adds to `port_maps` the mapping of the instance of that name, when
    /// the layout has one and its cell can be analysed.
    void add(nb::handle name, nb::dict& port_maps) {
        if (PyLong_Check(name.ptr())) {
            // the library takes a number for a position among the instances
            nb::object instance = cell_.attr("insts")[name];
            port_maps[instance.attr("name")] = port_map_of(instance, electrical_layers_, derived_);
            return;
        }
        // Found in one table read in one pass: looking every name up through
        // `insts` rebuilds the library's name index for each name the layout
        // lacks, which makes a half-placed layout cost quadratic time.
        const std::optional<LayoutInstances::Found> instance = instances_.find(name);
        if (!instance)
            return;
        const long long cell_index = instance->cell_index;
        auto known = by_cell_.find(cell_index);
        if (known == by_cell_.end()) {
            nb::object map; // stays invalid when the analysis fails, for every instance alike
            try {
                map = port_map_of(instances_.wrap(*instance), electrical_layers_, derived_);
            } catch (nb::python_error& error) {
                if (!error.matches(PyExc_Exception))
                    throw;
            }
            known = by_cell_.emplace(cell_index, std::move(map)).first;
        }
        // stored under the instance's `name`: its name property as text, the name looked up
        if (known->second.is_valid())
            port_maps[name] = known->second;
    }

  private:
    nb::handle cell_;
    nb::handle electrical_layers_;
    LayoutInstances& instances_;
    DerivedLayerSets derived_;
    std::unordered_map<long long, nb::object> by_cell_;
};

} // namespace

nb::dict reference_port_maps(LayoutInstances& instances, nb::handle instance_names,
                             nb::handle electrical_layers) {
    nb::dict port_maps;
    PortMapsByCell maps(instances, electrical_layers);
    for (nb::handle name : instance_names) {
        // Any ordinary error stays with its instance, which then keeps the file's port names:
        // an instance the layout lacks, a cell without inner instances, a failed analysis.
        try {
            maps.add(name, port_maps);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception))
                throw;
        }
    }
    return port_maps;
}

} // namespace quillon::lvs
