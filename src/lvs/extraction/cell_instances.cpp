/// CellInstances: the instances of the cell under check, read once; CellNames:
/// the name of an instance's cell, read once per cell.

#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <nanobind/stl/string.h>

namespace quillon::lvs {

namespace {

/// The module's PROPID.NAME, bound when the module loads (after PROPID exists).
nb::handle name_propid;

} // namespace

void bind_name_property(nb::module_& m) {
    name_propid = nb::object(m.attr("PROPID").attr("NAME")).release();
}

nb::handle module_name_propid() {
    return name_propid;
}

const CellNames::Name& CellNames::of(nb::handle instance, long long cell_index) {
    if (const Name* name = find(cell_index))
        return *name;
    return known(cell_index, instance.attr("cell").attr("name"));
}

const CellNames::Name* CellNames::find(long long cell_index) const {
    auto found = by_index_.find(cell_index);
    return found == by_index_.end() ? nullptr : &found->second;
}

const CellNames::Name& CellNames::known(long long cell_index, nb::handle name) {
    if (const Name* known_name = find(cell_index))
        return *known_name;
    return by_index_.emplace(cell_index, Name{nb::borrow(name), nb::cast<std::string>(name)})
        .first->second;
}

void CellInstances::read(nb::handle cell, CellInstances& into, bool every_array) {
    nb::handle name_id = module_name_propid();
    const TransNames trans_names;
    // an instance array is read as its elements, as the port connectivity places them
    for (nb::handle instance : cell.attr("insts").attr("elements")(every_array)) {
        // The cell index is cheap to read; the cell wrapper and its name are not.
        const long long cell_index = nb::cast<long long>(instance.attr("cell_index"));
        into.objects.push_back(nb::borrow(instance));
        into.placements.push_back(Placement::of(instance.attr("dcplx_trans"), trans_names));
        into.cell_indexes.push_back(cell_index);
        into.cell_names.push_back(&into.name_cache.of(instance, cell_index));
        nb::object property = instance.attr("property")(name_id);
        into.names.push_back(property.is_none() ? nb::none() : instance.attr("name"));
        into.properties.push_back(std::move(property));
    }
}

void CellInstances::read_named(nb::handle cell, CellInstances& into) {
    const Dependencies& d = deps();
    nb::handle name_id = module_name_propid();
    nb::object prop_id = interned("prop_id");
    nb::object property = interned("property");
    nb::object cell_index_name = interned("cell_index");
    nb::object is_array = interned("is_regular_array");
    nb::object dcplx_trans = interned("dcplx_trans");
    const TransNames trans_names;
    const auto add = [&](nb::object name, nb::handle trans, long long cell_index,
                         const CellNames::Name& cell_name) {
        into.placements.push_back(Placement::of(nb::borrow(trans), trans_names));
        into.cell_indexes.push_back(cell_index);
        into.cell_names.push_back(&cell_name);
        into.names.push_back(name);
        into.properties.push_back(std::move(name));
    };
    nb::object instances =
        checked(PyObject_GetIter(call_method(cell.attr("kdb_cell"), interned("each_inst")).ptr()));
    while (PyObject* next = PyIter_Next(instances.ptr())) {
        nb::object instance = nb::steal(next);
        // an instance without properties has the property id 0: no name to read
        if (!truthy(get_attribute(instance, prop_id)))
            continue;
        nb::object value =
            checked(PyObject_CallMethodOneArg(instance.ptr(), property.ptr(), name_id.ptr()));
        if (value.is_none())
            continue;
        const long long cell_index = as_long_long(get_attribute(instance, cell_index_name));
        const CellNames::Name& cell_name = into.name_cache.of(instance, cell_index);
        if (truthy(call_method(instance, is_array))) {
            // named after the array and where they are, as the cell library names them
            for (nb::handle element : d.instance_class(instance, cell).attr("elements")())
                add(element.attr("name"), element.attr("dcplx_trans"), cell_index, cell_name);
            continue;
        }
        add(nb::str(value), get_attribute(instance, dcplx_trans), cell_index, cell_name);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

void CellInstances::forget_unnamed_placements() {
    for (size_t i = 0; i < size(); ++i)
        if (!truthy(properties[i]))
            placements[i].trans.reset();
}

std::vector<size_t> CellInstances::sorted_order() const {
    std::vector<PlacementKey> keys;
    keys.reserve(size());
    for (size_t i = 0; i < size(); ++i)
        keys.push_back({placements[i], cell_names[i]->object});
    return placement_order(keys);
}

bool same_name_property() {
    const int same =
        PyObject_RichCompareBool(module_name_propid().ptr(), deps().cg_name_propid.ptr(), Py_EQ);
    if (same < 0)
        throw nb::python_error();
    return same == 1;
}

} // namespace quillon::lvs
