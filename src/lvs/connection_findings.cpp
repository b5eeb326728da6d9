#include "quillon/define.hpp"
#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

void find_unknown_connections(nb::handle, nb::handle, nb::handle, nb::handle) {
    not_implemented("find_unknown_connections");
}
void find_missing_connections(nb::handle, nb::handle, nb::handle, nb::handle) {
    not_implemented("find_missing_connections");
}

void register_connection_findings(nb::module_& m) {
    define(m,
           Signature("find_unknown_connections",
                     {any("rdb"), any("cell"), any("diff"), any("lvs_netlist")}),
           "def find_unknown_connections(rdb: klayout.rdbcore.ReportDatabase, cell: Cell, diff: "
           "DeepDiffDict, lvs_netlist: Netlist) -> None",
           "Add unknown connections to report database.", [](const BoundArgs& a) {
               find_unknown_connections(a[0], a[1], a[2], a[3]);
               return nb::none();
           });
    define(m,
           Signature("find_missing_connections",
                     {any("rdb"), any("cell"), any("diff"), any("ref_netlist")}),
           "def find_missing_connections(rdb: klayout.rdbcore.ReportDatabase, cell: Cell, diff: "
           "DeepDiffDict, ref_netlist: Netlist) -> None",
           "Add missing connections to report database.", [](const BoundArgs& a) {
               find_missing_connections(a[0], a[1], a[2], a[3]);
               return nb::none();
           });
}

} // namespace quillon::lvs
