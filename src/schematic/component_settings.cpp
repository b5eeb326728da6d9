/// The settings of a component: defaults and type descriptions.

#include "quillon/define.hpp"
#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/schematic.hpp"

namespace quillon::schematic {

void register_settings(nb::module_& m) {
    nb::object handler = make_handler(
        m, "settings", "Get component settings.",
        {{str("component"), nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), {}}},
        nb::module_::import_("builtins").attr("dict"),
        [](const BoundArgs&) -> nb::object { not_implemented("settings"); });
    add_route("get", "/assets/settings/{component}.json", handler);
}

void register_get_allowed_instance_settings(nb::module_& m) {
    define(
        m, Signature("_get_allowed_instance_settings", {any("pcell")}),
        "def _get_allowed_instance_settings(pcell: Callable[..., Any]) -> dict[str, Any]",
        "Describe the type of each parameter of a cell function.",
        [](const BoundArgs&) -> nb::object { not_implemented("_get_allowed_instance_settings"); });
}

} // namespace quillon::schematic
