/// find_mismatched_instances: instances whose name both netlists know but
/// whose component differs, and names that several layout instances share.

#include "quillon/define.hpp"
#include "quillon/lvs/diff_keys.hpp"
#include "quillon/lvs/extraction.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillon::lvs {

SharedNames instances_sharing_a_name(nb::handle cell) {
    // Instances with equal property sets share KLayout's property id, so the
    // name is read once per id rather than once per instance.
    // a plain int: KLayout converts an enumeration member far more slowly
    nb::object name_id = checked(PyNumber_Index(deps().cg_name_propid.ptr()));
    nb::list instances = each(cell.attr("kdb_cell"), "each_inst");
    nb::object prop_id = interned("prop_id");
    std::unordered_map<long long, std::vector<size_t>> by_property_id;
    std::vector<long long> property_ids; // in order of first appearance
    for (size_t at = 0; at < nb::len(instances); ++at) {
        nb::object id_object = checked(PyObject_GetAttr(
            PyList_GET_ITEM(instances.ptr(), static_cast<Py_ssize_t>(at)), prop_id.ptr()));
        const long long id = PyLong_AsLongLong(id_object.ptr());
        if (id == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (id == 0)
            continue;
        auto [found, added] = by_property_id.try_emplace(id);
        if (added)
            property_ids.push_back(id);
        found->second.push_back(at);
    }
    std::unordered_map<std::string, size_t> group_of;
    std::vector<std::vector<size_t>> groups;
    for (long long id : property_ids) {
        const std::vector<size_t>& positions = by_property_id[id];
        nb::object name = instances[positions.front()].attr("property")(name_id);
        if (!PyUnicode_Check(name.ptr()))
            continue;
        const auto [found, added] =
            group_of.try_emplace(nb::cast<std::string>(name), groups.size());
        if (added)
            groups.emplace_back();
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
            shared.back().push_back(instances[at]);
    }
    return shared;
}

namespace {

/// A cell built with other than the default settings carries them in its name
/// (`straight_length120`) while the reference names the component (`straight`):
/// the instance places the reference's component when its cell was built by it.
bool built_by(nb::handle instance, nb::handle reference_component) {
    nb::object function_name = getattr(instance.attr("cell"), "function_name", nb::none());
    return PyUnicode_Check(function_name.ptr()) && function_name.equal(reference_component);
}

} // namespace

void find_mismatched_instances(nb::handle rdb, nb::handle cell, nb::handle diff,
                               const SharedNames& shared_names) {
    nb::object category = report::category_for(rdb, report::category_title("mismatched_instances"));
    nb::object report_cell = report::cell_for(rdb, cell);
    for (const ChangedKey& change : changed_keys(diff, "instances", "component")) {
        nb::object instance = cell.attr("insts")[change.key];
        if (built_by(instance, change.reference_value))
            continue;
        nb::object item = rdb.attr("create_item")(report_cell, category);
        item.attr("add_value")(instance.attr("dbbox")());
        item.attr("add_value")(format_text(
            "Instance %U is a %U in the layout but a %U in the reference netlist",
            quoted(change.key), quoted(change.layout_value), quoted(change.reference_value)));
    }
    for (const auto& group : shared_names) {
        nb::object item = rdb.attr("create_item")(report_cell, category);
        for (const nb::object& instance : group)
            item.attr("add_value")(instance.attr("dbbox")());
        nb::object name = group.front().attr("property")(deps().cg_name_propid);
        item.attr("add_value")(
            format_text("Instance name %U is given to %S instances of the layout", quoted(name),
                        nb::int_(group.size())));
    }
}

void register_mismatched_instances(nb::module_& m) {
    define(m, Signature("find_mismatched_instances", {any("rdb"), any("cell"), any("diff")}),
           "def find_mismatched_instances(rdb: klayout.rdbcore.ReportDatabase, cell: Cell, diff: "
           "DeepDiffDict) -> None",
           "Add instances of another component, and names given to several instances, to report "
           "database.",
           [](const BoundArgs& a) {
               find_mismatched_instances(a[0], a[1], a[2], instances_sharing_a_name(a[1]));
               return nb::none();
           });
}

} // namespace quillon::lvs
