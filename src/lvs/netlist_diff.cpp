#include "quillon/define.hpp"
#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

nb::dict get_netlist_diff(nb::handle, nb::handle) {
    not_implemented("get_netlist_diff");
}

void register_netlist_diff(nb::module_& m) {
    define(m, Signature("get_netlist_diff", {any("ref_netlist"), any("lvs_netlist")}),
           "def get_netlist_diff(ref_netlist: Netlist, lvs_netlist: Netlist) -> DeepDiffDict",
           "Get a deepdiff between two netlists.",
           [](const BoundArgs& a) { return get_netlist_diff(a[0], a[1]); });
}

} // namespace quillon::lvs
