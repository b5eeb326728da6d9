/// The kit's bundle routing strategies with their parameters.

#include "quillon/define.hpp"
#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/schematic.hpp"

namespace quillon::schematic {

void register_routing_strategies(nb::module_& m) {
    nb::object handler =
        make_handler(m, "routing_strategies", "Get routing strategies.", {},
                     nb::module_::import_("builtins").attr("dict"),
                     [](const BoundArgs&) -> nb::object { not_implemented("routing_strategies"); });
    add_route("get", "/assets/routing-strategies.json", handler);
}

void register_get_types_and_defaults_for_routing(nb::module_& m) {
    define(m, Signature("_get_types_and_defaults_for_routing", {any("func")}),
           "def _get_types_and_defaults_for_routing(func: Callable) -> dict",
           "Describe the parameters of a routing function.", [](const BoundArgs&) -> nb::object {
               not_implemented("_get_types_and_defaults_for_routing");
           });
}

void register_is_bundle(nb::module_& m) {
    define(m, Signature("_is_bundle", {any("func")}), "def _is_bundle(func: Callable) -> bool",
           "Whether a routing function routes bundles (has ports1 and ports2).",
           [](const BoundArgs&) -> nb::object { not_implemented("_is_bundle"); });
}

} // namespace quillon::schematic
