/// find_unknown_instances / find_missing_instances: instances that only one of
/// the two netlists has become report items.

#include "quillon/define.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

namespace {

constexpr char instances_prefix[] = "root['instances']";

/// What distinguishes the two instance passes.
struct InstancePass {
    const char* category;    ///< attribute of lvs_categories
    const char* diff_entry;  ///< change kind read from the diff
    bool with_box;           ///< unknown instances exist in the layout: show where
    const char* text_format; ///< %U receives the quoted instance name
};

constexpr InstancePass unknown_pass{"unknown_instances", "dictionary_item_added", true,
                                    "Instance %U is not present in the reference netlist"};
constexpr InstancePass missing_pass{"missing_instances", "dictionary_item_removed", false,
                                    "Cannot find Instance %U in the layout"};

/// root['instances']['NAME'] -> NAME: drops the prefix and the two characters
/// at each end of the rest; nothing is unescaped.
nb::object instance_name(nb::handle path) {
    constexpr Py_ssize_t prefix_length = sizeof(instances_prefix) - 1;
    nb::object rest = nb::steal(PySequence_GetSlice(path.ptr(), prefix_length, PY_SSIZE_T_MAX));
    if (!rest.is_valid())
        throw nb::python_error();
    nb::object name = nb::steal(PySequence_GetSlice(rest.ptr(), 2, -2));
    if (!name.is_valid())
        throw nb::python_error();
    return name;
}

void run(const InstancePass& pass, nb::handle rdb, nb::handle cell, nb::handle diff) {
    nb::object category = report::category_for(rdb, report::category_title(pass.category));
    nb::object report_cell = report::cell_for(rdb, cell);
    nb::object paths = diff.attr("get")(pass.diff_entry, nb::list());
    for (nb::handle path : paths) {
        if (!truthy(path.attr("startswith")(instances_prefix)))
            continue;
        nb::object item = rdb.attr("create_item")(report_cell, category);
        nb::object name = instance_name(path);
        if (pass.with_box)
            item.attr("add_value")(cell.attr("insts")[name].attr("dbbox")());
        item.attr("add_value")(format_text(pass.text_format, quoted(name)));
    }
}

} // namespace

void find_unknown_instances(nb::handle rdb, nb::handle cell, nb::handle diff) {
    run(unknown_pass, rdb, cell, diff);
}
void find_missing_instances(nb::handle rdb, nb::handle cell, nb::handle diff) {
    run(missing_pass, rdb, cell, diff);
}

void register_instance_findings(nb::module_& m) {
    define(m, Signature("find_unknown_instances", {any("rdb"), any("cell"), any("diff")}),
           "def find_unknown_instances(rdb: klayout.rdbcore.ReportDatabase, cell: Cell, diff: "
           "DeepDiffDict) -> None",
           "Add unknown instances to report database.", [](const BoundArgs& a) {
               find_unknown_instances(a[0], a[1], a[2]);
               return nb::none();
           });
    define(m, Signature("find_missing_instances", {any("rdb"), any("cell"), any("diff")}),
           "def find_missing_instances(rdb: klayout.rdbcore.ReportDatabase, cell: Cell, diff: "
           "DeepDiffDict) -> None",
           "Add missing instances to report database.", [](const BoundArgs& a) {
               find_missing_instances(a[0], a[1], a[2]);
               return nb::none();
           });
}

} // namespace quillon::lvs
