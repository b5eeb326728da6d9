/// Port renaming for the electrical nets of a reference netlist: for every reference instance
/// that the layout cell places, the electrical port groups of the placed cell, so that a net
/// the schematic draws to any port of a conductor meets the name the layout extraction uses.

#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

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

/// The port mapping of one layout instance, merged over its layer sets (a later set wins).
void map_instance(nb::handle insts, nb::handle name, nb::handle electrical_layers,
                  DerivedLayerSets& derived, nb::dict& port_maps) {
    nb::dict port_map;
    nb::object instance = insts[name];
    nb::object cell = instance.attr("cell");
    const bool given = truthy(electrical_layers);
    nb::object layer_sets = given ? nb::borrow(electrical_layers) : derived.of(cell);
    for (nb::handle layer_set : layer_sets)
        port_map.attr("update")(find_connected_elec_ports(cell, layer_set));
    port_maps[instance.attr("name")] = port_map;
}

} // namespace

nb::dict reference_port_maps(nb::handle cell, nb::handle instance_names,
                             nb::handle electrical_layers) {
    nb::dict port_maps;
    nb::object insts;
    DerivedLayerSets derived;
    for (nb::handle name : instance_names) {
        // Any ordinary error stays with its instance, which then keeps the file's port names:
        // an instance the layout lacks, a cell without inner instances, a failed analysis.
        try {
            if (!insts.is_valid())
                insts = cell.attr("insts");
            map_instance(insts, name, electrical_layers, derived, port_maps);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception))
                throw;
        }
    }
    return port_maps;
}

} // namespace quillon::lvs
