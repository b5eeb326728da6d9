/// A component's SVG symbol: from the kit, the package, the project cache, or
/// freshly generated.

#include "quillon/define.hpp"
#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/schematic.hpp"

namespace quillon::schematic {

void register_svg(nb::module_& m) {
    nb::object int_type = nb::module_::import_("builtins").attr("int");
    nb::object handler = make_handler(
        m, "svg", "Get component svg.",
        {{str("component"), nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), {}},
         {optional(integer("width")), int_type, nb::int_(80)},
         {optional(integer("height")), int_type, nb::int_(80)}},
        deps().response, [](const BoundArgs&) -> nb::object { not_implemented("svg"); });
    add_route("get", "/assets/svg/{component}.svg", handler);
}

void register_pdk_svg_path(nb::module_& m) {
    define(m, Signature("_pdk_svg_path", {str("component")}),
           "def _pdk_svg_path(component: str) -> str | None",
           "Path of the kit's own symbol file for a component.",
           [](const BoundArgs&) -> nb::object { not_implemented("_pdk_svg_path"); });
}

} // namespace quillon::schematic
