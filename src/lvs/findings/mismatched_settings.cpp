/// find_mismatched_settings: instances that both netlists place with one
/// component, whose settings in the reference netlist differ from those their
/// layout cell was built with. The comparison itself (defaults, tolerance, what
/// kit references resolve to) is the host's `SettingsComparison`.

#include "quillon/lvs/difference/diff_keys.hpp"
#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

namespace {

/// Names whose instances another item already reports: a component that
/// differs (and is not the function that built the layout's cell), a name that
/// several layout instances share.
nb::set reported_elsewhere(LayoutInstances& instances, nb::handle diff,
                           const SharedNames& shared_names) {
    nb::set names;
    for (const ChangedKey& change : changed_keys(diff, "instances", "component"))
        if (!built_by(instances[change.key], change.reference_value))
            names.add(change.key);
    for (const auto& group : shared_names)
        names.add(nb::str(group.front().attr("property")(deps().cg_name_propid)));
    return names;
}

/// "Instance 'x': a; b": the instance and each phrase of the comparison.
nb::object settings_text(nb::handle name, nb::handle phrases) {
    nb::object joined = nb::str("; ").attr("join")(phrases);
    return format_text("Instance %U: %U", quoted(name), joined);
}

} // namespace

void find_mismatched_settings(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                              nb::handle diff, nb::handle ref_netlist, nb::handle settings,
                              const SharedNames& shared_names, nb::handle comparison) {
    nb::object category = report::category_for(rdb, report::category_title("mismatched_settings"));
    nb::object report_cell = report::cell_for(rdb, cell);
    const nb::set skipped = reported_elsewhere(instances, diff, shared_names);
    nb::object differences = attribute(comparison, "differences");
    nb::object component_key = interned("component");
    nb::dict reference_instances = nb::borrow<nb::dict>(get_item(ref_netlist, "instances"));
    for (auto [name, entry] : reference_instances) {
        const int reported = PySet_Contains(skipped.ptr(), name.ptr());
        if (reported < 0)
            throw nb::python_error();
        if (reported)
            continue;
        const std::optional<LayoutInstances::Found> found = instances.find(name);
        if (!found)
            continue;
        PyObject* stated = PyDict_GetItemWithError(settings.ptr(), name.ptr());
        if (!stated && PyErr_Occurred())
            throw nb::python_error();
        nb::object component = checked(PyObject_GetItem(entry.ptr(), component_key.ptr()));
        nb::object phrases = differences(component, nb::handle(stated ? stated : Py_None),
                                         nb::int_(found->cell_index));
        if (phrases.is_none() || !truthy(phrases))
            continue;
        nb::object item = report::create_item(rdb, report_cell, category, kind::settings_mismatch);
        item.attr("add_value")(instances[name].attr("dbbox")());
        item.attr("add_value")(settings_text(name, phrases));
    }
}

} // namespace quillon::lvs
