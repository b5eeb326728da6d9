/// LayoutInstances: the layout cell's instances by name, read in one pass.

#include "quillon/lvs/layout_instances.hpp"

#include "quillon/lvs/extraction.hpp"
#include "quillon/py.hpp"

#include <nanobind/stl/string.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace quillon::lvs {

void LayoutInstances::read() {
    if (read_)
        return;
    read_ = true;
    // Instances with equal property sets share KLayout's property id, so the
    // name is read once per id rather than once per instance.
    // a plain int: KLayout converts an enumeration member far more slowly
    nb::object name_id = checked(PyNumber_Index(deps().cg_name_propid.ptr()));
    nb::object prop_id = interned("prop_id");
    nb::object property = interned("property");
    std::unordered_map<long long, size_t> slot_of_id; // into names_
    // Iterated, not listed: the unnamed instances, most of a layout, are
    // freed as soon as they are passed.
    nb::object instances =
        checked(PyObject_GetIter(checked(PyObject_CallMethodNoArgs(cell_.attr("kdb_cell").ptr(),
                                                                   interned("each_inst").ptr()))
                                     .ptr()));
    while (PyObject* next = PyIter_Next(instances.ptr())) {
        const nb::object held = nb::steal(next); // freed at the end of the turn unless kept
        PyObject* instance = held.ptr();
        nb::object id_object = checked(PyObject_GetAttr(instance, prop_id.ptr()));
        const long long id = PyLong_AsLongLong(id_object.ptr());
        if (id == -1 && PyErr_Occurred())
            throw nb::python_error();
        // an instance without properties has the property id 0: no name to read
        if (id == 0)
            continue;
        // only instances with properties are kept: most of a layout is unnamed wiring
        named_.append(nb::handle(instance));
        const auto [found, added] = slot_of_id.try_emplace(id, names_.size());
        if (added)
            names_.push_back(
                checked(PyObject_CallMethodOneArg(instance, property.ptr(), name_id.ptr())));
        slots_.push_back(found->second);
        const nb::object& name = names_[found->second];
        if (name.is_none())
            continue;
        // the first instance of a name wins, as in the library's own index
        nb::object key = checked(PyObject_Str(name.ptr()));
        PyObject* first = PyDict_SetDefault(by_name_.ptr(), key.ptr(), instance);
        if (first == nullptr)
            throw nb::python_error();
        names_repeat_ |= first != instance;
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

nb::handle LayoutInstances::find(nb::handle name) {
    read();
    PyObject* found = PyDict_GetItemWithError(by_name_.ptr(), name.ptr());
    if (!found && PyErr_Occurred())
        throw nb::python_error();
    return found;
}

nb::object LayoutInstances::operator[](nb::handle key) {
    if (PyLong_Check(key.ptr()))
        return cell_.attr("insts")[key]; // a position: the library keeps no index for it
    nb::handle instance = find(key);
    if (!instance.is_valid()) {
        // built as KeyError(key): a tuple key stays one argument
        nb::object error = checked(PyObject_CallOneArg(PyExc_KeyError, key.ptr()));
        PyErr_SetObject(PyExc_KeyError, error.ptr());
        throw nb::python_error();
    }
    return deps().instance_class(instance, cell_);
}

SharedNames LayoutInstances::sharing_a_name() {
    read();
    // no two instances under one key of the name table: no text name repeats
    if (!names_repeat_)
        return SharedNames();
    // groups by name, in the order the names first appear; -1 for a name that is no text
    std::unordered_map<std::string, size_t> group_of_name;
    std::vector<long> group_of_slot;
    std::vector<std::vector<size_t>> groups;
    group_of_slot.reserve(names_.size());
    for (const nb::object& name : names_) {
        if (!PyUnicode_Check(name.ptr())) {
            group_of_slot.push_back(-1);
            continue;
        }
        const auto [found, added] =
            group_of_name.try_emplace(nb::cast<std::string>(name), groups.size());
        if (added)
            groups.emplace_back();
        group_of_slot.push_back(static_cast<long>(found->second));
    }
    for (size_t at = 0; at < slots_.size(); ++at) {
        const long group = group_of_slot[slots_[at]];
        if (group >= 0)
            groups[static_cast<size_t>(group)].push_back(at); // ascending: read in order
    }
    SharedNames shared;
    for (const std::vector<size_t>& group : groups) {
        if (group.size() < 2)
            continue;
        shared.emplace_back();
        for (size_t at : group)
            shared.back().push_back(named_[at]);
    }
    return shared;
}

} // namespace quillon::lvs
