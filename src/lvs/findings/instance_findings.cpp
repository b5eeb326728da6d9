/// find_unknown_instances / find_missing_instances: instances that only one of
/// the two netlists has become report items.

#include "quillon/define.hpp"
#include "quillon/lvs/difference/diff_keys.hpp"
#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

namespace {

/// What distinguishes the two instance passes.
struct InstancePass {
    const char* category;    ///< attribute of lvs_categories
    Side side;               ///< the netlist that has the instance
    bool with_box;           ///< unknown instances exist in the layout: show where
    const char* text_format; ///< %U receives the quoted instance name
    const kind::Kind& kind;
};

constexpr InstancePass unknown_pass{"unknown_instances", Side::layout, true,
                                    "Instance %U is not present in the reference netlist",
                                    kind::unknown_instance};
constexpr InstancePass missing_pass{"missing_instances", Side::reference, false,
                                    "Cannot find Instance %U in the layout",
                                    kind::missing_instance};

/// `instances` is only read by a pass that shows where its instances are.
void run(const InstancePass& pass, nb::handle rdb, nb::handle cell, LayoutInstances* instances,
         nb::handle diff) {
    nb::object category = report::category_for(rdb, report::category_title(pass.category));
    nb::object report_cell = report::cell_for(rdb, cell);
    for (nb::handle name : one_sided_keys(diff, "instances", pass.side)) {
        nb::object item = report::create_item(rdb, report_cell, category, pass.kind);
        if (pass.with_box)
            item.attr("add_value")((*instances)[name].attr("dbbox")());
        item.attr("add_value")(format_text(pass.text_format, quoted(name)));
    }
}

} // namespace

void find_unknown_instances(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                            nb::handle diff) {
    run(unknown_pass, rdb, cell, &instances, diff);
}
void find_missing_instances(nb::handle rdb, nb::handle cell, nb::handle diff) {
    run(missing_pass, rdb, cell, nullptr, diff);
}

void register_instance_findings(nb::module_& m) {
    define(m, Signature("find_unknown_instances", {any("rdb"), any("cell"), any("diff")}),
           "def find_unknown_instances(rdb: klayout.rdbcore.ReportDatabase, cell: Cell, diff: "
           "DeepDiffDict) -> None",
           "Add unknown instances to report database.", [](const BoundArgs& a) {
               LayoutInstances instances(a[1]);
               find_unknown_instances(a[0], a[1], instances, a[2]);
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
