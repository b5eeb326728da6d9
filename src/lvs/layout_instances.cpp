/// LayoutInstances: the layout cell's instances by name, read in one pass.

#include "quillon/lvs/layout_instances.hpp"

#include "quillon/lvs/extraction.hpp"
#include "quillon/py.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <string>

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
    nb::list instances = each(cell_.attr("kdb_cell"), "each_inst");
    const size_t count = nb::len(instances);
    for (size_t at = 0; at < count; ++at) {
        PyObject* instance = PyList_GET_ITEM(instances.ptr(), static_cast<Py_ssize_t>(at));
        nb::object id_object = checked(PyObject_GetAttr(instance, prop_id.ptr()));
        const long long id = PyLong_AsLongLong(id_object.ptr());
        if (id == -1 && PyErr_Occurred())
            throw nb::python_error();
        // an instance without properties has the property id 0: no name to read
        if (id == 0)
            continue;
        // only instances with properties are kept: most of a layout is unnamed wiring
        named_.append(nb::handle(instance));
        ids_.push_back(id);
        auto [found, added] = name_of_id_.try_emplace(id);
        if (added) {
            order_.push_back(id);
            found->second =
                checked(PyObject_CallMethodOneArg(instance, property.ptr(), name_id.ptr()));
        }
        if (found->second.is_none())
            continue;
        // the first instance of a name wins, as in the library's own index
        nb::object key = checked(PyObject_Str(found->second.ptr()));
        if (PyDict_SetDefault(by_name_.ptr(), key.ptr(), instance) == nullptr)
            throw nb::python_error();
    }
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
    std::unordered_map<long long, std::vector<size_t>> by_id;
    for (size_t at = 0; at < ids_.size(); ++at)
        by_id[ids_[at]].push_back(at);
    std::unordered_map<std::string, size_t> group_of;
    std::vector<std::vector<size_t>> groups;
    for (long long id : order_) {
        const nb::object& name = name_of_id_.at(id);
        if (!PyUnicode_Check(name.ptr()))
            continue;
        const auto [found, added] =
            group_of.try_emplace(nb::cast<std::string>(name), groups.size());
        if (added)
            groups.emplace_back();
        const std::vector<size_t>& positions = by_id[id];
        std::vector<size_t>& group = groups[found->second];
        group.insert(group.end(), positions.begin(), positions.end());
    }
    SharedNames shared;
    for (std::vector<size_t>& group : groups) {
        if (group.size() < 2)
            continue;
        std::sort(group.begin(), group.end());
        shared.emplace_back();
        for (size_t at : group)
            shared.back().push_back(named_[at]);
    }
    return shared;
}

} // namespace quillon::lvs
