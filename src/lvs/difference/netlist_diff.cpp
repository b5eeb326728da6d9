/// get_netlist_diff: the structural difference of the reference and the layout netlist, as
/// DeepDiff(ref, layout, ignore_order=True).to_dict() gives it.

#include "quillon/define.hpp"
#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

nb::dict get_netlist_diff(nb::handle ref_netlist, nb::handle lvs_netlist) {
    nb::object native = native_netlist_diff(ref_netlist, lvs_netlist);
    if (native.is_valid())
        return nb::borrow<nb::dict>(native);
    // Values the native comparison does not cover (lists, sets, dates, non-string keys, ...):
    // the library itself compares the whole pair, so the result is its own in every detail.
    nb::object diff = deps().deepdiff(ref_netlist, lvs_netlist, nb::arg("ignore_order") = true);
    return nb::borrow<nb::dict>(diff.attr("to_dict")());
}

void register_netlist_diff(nb::module_& m) {
    define(m, Signature("get_netlist_diff", {any("ref_netlist"), any("lvs_netlist")}),
           "def get_netlist_diff(ref_netlist: Netlist, lvs_netlist: Netlist) -> DeepDiffDict",
           "Get a deepdiff between two netlists.",
           [](const BoundArgs& a) { return get_netlist_diff(a[0], a[1]); });
}

} // namespace quillon::lvs
