/// find_connected_elec_ports: the ports of a cell that lie on one conductor of
/// a layer set, each mapped to the first port name (in string order) of its
/// group, memoised per (cell, layer set) pair.

#include "quillon/define.hpp"
#include "quillon/errors.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

namespace {

/// Attribute of the module that holds the process-wide memo (a dict), so that
/// the memo belongs to the module and can be inspected or cleared from Python.
constexpr const char* memo_attribute = "_elec_port_groups_memo";

bool assertions_enabled() {
    nb::object flags = nb::module_::import_("sys").attr("flags");
    return !PyObject_IsTrue(flags.attr("optimize").ptr());
}

/// Whether a port on the layer named `layer_name` belongs to the layer set. A
/// set holds layer names, or layer-info values where the reference loader
/// derives it from ports; a layer-info value stands for its name (KLayout
/// refuses to compare one with a name, which would leave such a set matching
/// no port at all).
bool on_layer_set(nb::handle layers, nb::handle layer_name) {
    for (nb::handle layer : layers) {
        const int is_layer_info = PyObject_IsInstance(layer.ptr(), deps().layer_info.ptr());
        if (is_layer_info < 0)
            throw nb::python_error();
        nb::object comparable = is_layer_info ? nb::object(layer.attr("name")) : nb::borrow(layer);
        const int equal = PyObject_RichCompareBool(comparable.ptr(), layer_name.ptr(), Py_EQ);
        if (equal < 0)
            throw nb::python_error();
        if (equal)
            return true;
    }
    return false;
}

/// All shapes of the layer set in the cell and below it, merged layer by layer.
nb::object merged_conductors(nb::handle cell, nb::handle layers) {
    const Dependencies& d = deps();
    nb::object kcl = cell.attr("kcl");
    nb::object merged = d.region();
    for (nb::handle layer : layers) {
        nb::object index = kcl.attr("find_layer")(layer);
        merged.attr("insert")(d.region(cell.attr("begin_shapes_rec")(index)));
        merged.attr("merge")();
    }
    return merged;
}

nb::dict group_ports(nb::handle cell, nb::handle layers) {
    const Dependencies& d = deps();
    nb::object conductors = merged_conductors(cell, layers);
    nb::object probe = d.box(2);
    // polygon hash -> port names on that polygon; dicts keep the order of first use
    nb::dict by_polygon;
    for (nb::handle port : cell.attr("ports")) {
        nb::object layer_name = port.attr("layer_info").attr("name");
        if (!on_layer_set(layers, layer_name))
            continue;
        nb::object name = port.attr("name");
        if (name.is_none() && assertions_enabled())
            raise_assertion_error();
        nb::object touched =
            conductors.attr("interacting")(d.region(probe.attr("transformed")(port.attr("trans"))));
        if (truthy(touched.attr("is_empty")()))
            continue;
        nb::object key = touched[0].attr("hash")();
        PyObject* names = PyDict_GetItemWithError(by_polygon.ptr(), key.ptr());
        if (!names) {
            if (PyErr_Occurred())
                throw nb::python_error();
            nb::list fresh;
            by_polygon[key] = fresh;
            names = fresh.ptr();
        }
        if (PyList_Append(names, name.ptr()) < 0)
            throw nb::python_error();
    }
    nb::dict groups;
    for (auto [key, names] : by_polygon) {
        nb::list sorted = nb::borrow<nb::list>(names);
        if (PyList_Sort(sorted.ptr()) < 0)
            throw nb::python_error();
        nb::object canonical = sorted[0];
        for (nb::handle name : sorted)
            groups[name] = canonical;
    }
    return groups;
}

} // namespace

nb::object connected_elec_ports_memoised(nb::dict memo, nb::handle cell, nb::handle layers) {
    nb::object key = nb::make_tuple(cell, layers);
    // Hashing the key first makes an unhashable layer set fail before any work.
    PyObject* known = PyDict_GetItemWithError(memo.ptr(), key.ptr());
    if (known)
        return nb::borrow(known);
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::dict groups = group_ports(cell, layers);
    memo[key] = groups;
    return groups;
}

nb::object find_connected_elec_ports(nb::handle cell, nb::handle layers) {
    nb::dict memo = nb::cast<nb::dict>(attribute(deps().module, memo_attribute));
    return connected_elec_ports_memoised(memo, cell, layers);
}

void register_elec_port_groups(nb::module_& m) {
    m.attr(memo_attribute) = nb::dict();
    define(m, Signature("find_connected_elec_ports", {any("c"), any("layers")}),
           "def find_connected_elec_ports(c: Cell, layers: Sequence[klayout.db.LayerInfo]) -> "
           "dict[str, str]",
           "Map each electrical port of the cell to the first port name of its conductor.",
           [](const BoundArgs& a) { return find_connected_elec_ports(a[0], a[1]); });
}

} // namespace quillon::lvs
