/// find_mismatched_instances: instances whose name both netlists know but
/// whose component differs, and names that several layout instances share.

#include "quillon/define.hpp"
#include "quillon/lvs/difference/diff_keys.hpp"
#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

/// A cell built with other than the default settings carries them in its name
/// (`straight_length120`) while the reference names the component (`straight`):
/// the instance places the reference's component when its cell was built by it.
bool built_by(nb::handle instance, nb::handle reference_component) {
    nb::object function_name = getattr(instance.attr("cell"), "function_name", nb::none());
    return PyUnicode_Check(function_name.ptr()) && function_name.equal(reference_component);
}

void find_mismatched_instances(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                               nb::handle diff, const SharedNames& shared_names) {
    nb::object category = report::category_for(rdb, report::category_title("mismatched_instances"));
    nb::object report_cell = report::cell_for(rdb, cell);
    for (const ChangedKey& change : changed_keys(diff, "instances", "component")) {
        nb::object instance = instances[change.key];
        if (built_by(instance, change.reference_value))
            continue;
        nb::object item =
            report::create_item(rdb, report_cell, category, kind::mismatched_instance);
        item.attr("add_value")(instance.attr("dbbox")());
        item.attr("add_value")(format_text(
            "Instance %U is a %U in the layout but a %U in the reference netlist",
            quoted(change.key), quoted(change.layout_value), quoted(change.reference_value)));
    }
    for (const auto& group : shared_names) {
        nb::object item = report::create_item(rdb, report_cell, category, kind::shared_name);
        for (const nb::object& instance : group)
            item.attr("add_value")(instance.attr("dbbox")());
        nb::object name = group.front().attr("name");
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
               LayoutInstances instances(a[1]);
               find_mismatched_instances(a[0], a[1], instances, a[2], instances.sharing_a_name());
               return nb::none();
           });
}

} // namespace quillon::lvs
