/// LayoutInstances: the layout cell's instances by name, read in one pass.

#include "quillon/lvs/extraction/layout_instances.hpp"

#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/py.hpp"

#include <nanobind/stl/string.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace quillon::lvs {

void LayoutInstances::add(nb::handle instance, nb::handle property, nb::handle name,
                          long long cell_index, nb::handle element) {
    nb::object position = checked(PyLong_FromSsize_t(PyList_GET_SIZE(named_.ptr())));
    named_.append(instance);
    properties_.push_back(nb::borrow(property));
    elements_.push_back(nb::borrow(element));
    cell_indexes_.push_back(cell_index);
    // the first instance of a name wins, as in the library's own index
    PyObject* first = PyDict_SetDefault(by_name_.ptr(), name.ptr(), position.ptr());
    if (first == nullptr)
        throw nb::python_error();
    names_repeat_ |= first != position.ptr();
}

void LayoutInstances::add_elements(nb::handle instance) {
    nb::object elements = deps().instance_class(instance, cell_).attr("elements")();
    for (nb::handle element : elements) {
        nb::object name = element.attr("name");
        add(instance, name, name, unread, element.attr("element"));
    }
}

void LayoutInstances::take(const CellInstances& read) {
    if (read_ || !read.kdb_instances.is_valid() || !PyList_Check(read.kdb_instances.ptr()) ||
        static_cast<size_t>(PyList_GET_SIZE(read.kdb_instances.ptr())) != read.size())
        return;
    const bool arrays = read.elements.is_valid() && PyDict_Check(read.elements.ptr()) &&
                        PyDict_GET_SIZE(read.elements.ptr()) > 0;
    for (size_t at = 0; at < read.size(); ++at) {
        if (read.properties[at].is_none())
            continue;
        nb::handle instance =
            PyList_GET_ITEM(read.kdb_instances.ptr(), static_cast<Py_ssize_t>(at));
        if (instance.is_none()) {
            // not what the tables promise: read the cell itself when asked
            *this = LayoutInstances(cell_);
            return;
        }
        nb::handle element = nb::none();
        if (arrays) {
            PyObject* found = PyDict_GetItemWithError(read.elements.ptr(), nb::int_(at).ptr());
            if (!found && PyErr_Occurred())
                throw nb::python_error();
            if (found)
                element = found;
        }
        add(instance, read.properties[at], read.names[at], read.cell_indexes[at], element);
    }
    read_ = true;
}

bool LayoutInstances::any_named() {
    read();
    return nb::len(named_) > 0;
}

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
    nb::object is_regular_array = interned("is_regular_array");
    std::unordered_map<long long, std::pair<nb::object, nb::object>> name_of_id; // property, text
    // Iterated, not listed: the unnamed instances, most of a layout, are
    // freed as soon as they are passed.
    nb::object instances =
        checked(PyObject_GetIter(call_method(cell_.attr("kdb_cell"), interned("each_inst")).ptr()));
    while (PyObject* next = PyIter_Next(instances.ptr())) {
        const nb::object held = nb::steal(next); // freed at the end of the turn unless kept
        PyObject* instance = held.ptr();
        const long long id = as_long_long(get_attribute(instance, prop_id));
        // an instance without properties has the property id 0: no name to read
        if (id == 0)
            continue;
        auto [found, added] = name_of_id.try_emplace(id);
        if (added) {
            found->second.first =
                checked(PyObject_CallMethodOneArg(instance, property.ptr(), name_id.ptr()));
            if (!found->second.first.is_none())
                found->second.second = checked(PyObject_Str(found->second.first.ptr()));
        }
        const auto& [name_property, name] = found->second;
        if (name_property.is_none())
            continue;
        if (truthy(call_method(held, is_regular_array)))
            add_elements(held);
        else
            add(instance, name_property, name, unread);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

std::optional<LayoutInstances::Found> LayoutInstances::find(nb::handle name) {
    read();
    PyObject* found = PyDict_GetItemWithError(by_name_.ptr(), name.ptr());
    if (!found) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return std::nullopt;
    }
    const size_t at = PyLong_AsSize_t(found);
    nb::handle instance = PyList_GET_ITEM(named_.ptr(), static_cast<Py_ssize_t>(at));
    long long& cell_index = cell_indexes_[at];
    if (cell_index == unread)
        cell_index = as_long_long(instance.attr("cell_index"));
    return Found{instance, elements_[at], cell_index};
}

nb::object LayoutInstances::wrap(const Found& found) const {
    if (found.element.is_none())
        return deps().instance_class(found.instance, cell_);
    return deps().instance_class(found.instance, cell_, found.element);
}

nb::object LayoutInstances::operator[](nb::handle key) {
    if (PyLong_Check(key.ptr()))
        return cell_.attr("insts")[key]; // a position: the library keeps no index for it
    const std::optional<Found> found = find(key);
    if (!found) {
        // built as KeyError(key): a tuple key stays one argument
        nb::object error = checked(PyObject_CallOneArg(PyExc_KeyError, key.ptr()));
        PyErr_SetObject(PyExc_KeyError, error.ptr());
        throw nb::python_error();
    }
    return wrap(*found);
}

SharedNames LayoutInstances::sharing_a_name() {
    read();
    // no two instances under one key of the name table: no text name repeats
    if (!names_repeat_)
        return SharedNames();
    // groups by name, in the order the names first appear
    std::unordered_map<std::string, size_t> group_of_name;
    std::vector<std::vector<size_t>> groups;
    for (size_t at = 0; at < properties_.size(); ++at) {
        if (!PyUnicode_Check(properties_[at].ptr()))
            continue;
        const auto [found, added] =
            group_of_name.try_emplace(nb::cast<std::string>(properties_[at]), groups.size());
        if (added)
            groups.emplace_back();
        groups[found->second].push_back(at);
    }
    SharedNames shared;
    for (const std::vector<size_t>& group : groups) {
        if (group.size() < 2)
            continue;
        shared.emplace_back();
        for (size_t at : group) {
            nb::handle instance = PyList_GET_ITEM(named_.ptr(), static_cast<Py_ssize_t>(at));
            shared.back().push_back(wrap({instance, elements_[at], unread}));
        }
    }
    return shared;
}

} // namespace quillon::lvs
