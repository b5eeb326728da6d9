#include "quillon/define.hpp"
#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

void find_unknown_instances(nb::handle, nb::handle, nb::handle) {
    not_implemented("find_unknown_instances");
}
void find_missing_instances(nb::handle, nb::handle, nb::handle) {
    not_implemented("find_missing_instances");
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
