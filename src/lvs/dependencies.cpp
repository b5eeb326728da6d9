/// Binds the objects the check calls when the module is imported.

#include "quillon/define.hpp"
#include "quillon/errors.hpp"
#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

namespace {

/// Plain handles only: nothing here is destroyed when the process exits.
Dependencies bound;

/// The attribute, or an invalid object when `owner` has no such attribute;
/// any other failure propagates.
nb::object attr_if_present(nb::handle owner, const char* name) {
    PyObject* found = PyObject_GetAttrString(owner.ptr(), name);
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
    }
    return nb::steal(found);
}

/// `from cellgrid import DInstance, DKCell`, falling back to the integer-unit
/// `Instance` and `KCell` only when the library lacks those names.
void bind_cell_classes(nb::handle cellgrid) {
    nb::object instance = attr_if_present(cellgrid, "DInstance");
    nb::object cell = attr_if_present(cellgrid, "DKCell");
    if (!instance.is_valid() || !cell.is_valid()) {
        instance = cellgrid.attr("Instance");
        cell = cellgrid.attr("KCell");
    }
    bound.instance_class = instance.release();
    bound.cell_class = cell.release();
}

} // namespace

const Dependencies& deps() {
    return bound;
}

void bind_dependencies(nb::module_& module) {
    bound.module = module;
    bound.cellgrid = import_kept("cellgrid");
    bound.maskwright = import_kept("maskwright");
    bound.kdb = attr_kept(bound.cellgrid, "kdb");
    bound.report_database = attr_kept(import_kept("klayout.rdbcore"), "ReportDatabase");
    bound.item_value = attr_kept(import_kept("klayout.rdbcore"), "RdbItemValue");
    bound.deepdiff = attr_kept(import_kept("deepdiff.diff"), "DeepDiff");
    bound.get_settings = attr_kept(import_kept("quillon.settings"), "get_settings");
    bound.activate_pdk_by_name =
        attr_kept(import_kept("quillon.core.shared"), "activate_pdk_by_name");
    bound.settings_comparison =
        attr_kept(import_kept("quillon.core.instance_settings"), "SettingsComparison");
    bound.set_ordered = attr_kept(import_kept("deepdiff.helper"), "SetOrdered");
    bound.unified_diff = attr_kept(import_kept("difflib"), "unified_diff");
    bind_cell_classes(bound.cellgrid);
    bound.cg_name_propid =
        attr_kept(attr_kept(attr_kept(bound.cellgrid, "conf"), "PROPID"), "NAME");
    bound.region = attr_kept(bound.kdb, "Region");
    bound.box = attr_kept(bound.kdb, "Box");
    bound.text = attr_kept(bound.kdb, "Text");
    bound.recursive_shape_iterator = attr_kept(bound.kdb, "RecursiveShapeIterator");
    bound.layout_to_netlist = attr_kept(bound.kdb, "LayoutToNetlist");
    bound.dcplx_trans = attr_kept(bound.kdb, "DCplxTrans");
    bound.dtrans = attr_kept(bound.kdb, "DTrans");
    bound.layer_info = attr_kept(bound.kdb, "LayerInfo");
    module.attr("Instance") = bound.instance_class;
    module.attr("Cell") = bound.cell_class;
}

} // namespace quillon::lvs
