/// A component's SVG symbol: from the kit, the package, the project cache, or
/// freshly generated.

#include "quillon/define.hpp"
#include "quillon/schematic/components.hpp"
#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/schematic.hpp"
#include "quillon/schematic/text_files.hpp"

namespace quillon::schematic {

namespace {

/// Where a component without a symbol of its own is sent (answered by this
/// same route, from the packaged `_svg/_empty.svg`).
constexpr const char* empty_symbol_url = "/assets/svg/_empty.svg";

/// A symbol generated for more polygons than this would be unreadable.
constexpr size_t max_symbol_polygons = 4;

nb::handle str_type() {
    return nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

nb::object file_name(nb::handle component) {
    return nb::str(component) + nb::str(".svg");
}

nb::object pdk_svg_path(nb::handle component) {
    nb::object module;
    try {
        module = deps().importlib.attr("import_module")(host_value("PDK"));
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError))
            throw;
        return nb::none();
    }
    nb::object file = module.attr("__file__");
    if (file.is_none())
        return nb::none();
    nb::object directory = os_path("dirname")(os_path("abspath")(file));
    return os_path("join")(directory, "svg", file_name(component));
}

nb::object redirect_to_empty_symbol() {
    return deps().redirect_response(empty_symbol_url);
}

nb::object symbol_response(nb::handle text) {
    return deps().response(nb::arg("content") = text, nb::arg("media_type") = "image/svg+xml");
}

/// The first symbol file found: the kit's, the package's, then the cache.
nb::object find_symbol(nb::handle component, nb::handle cached) {
    nb::object exists = os_path("exists");
    nb::object packaged = os_path("join")(nb::str(assets_dir().c_str(), assets_dir().size()),
                                          "_svg", file_name(component));
    nb::object own = pdk_svg_path(component);
    if (!own.is_none() && nb::bool_(own) && nb::bool_(exists(own)))
        return own;
    if (nb::bool_(exists(packaged)))
        return packaged;
    if (nb::bool_(exists(cached)))
        return nb::borrow(cached);
    return nb::none();
}

nb::object svg(const BoundArgs& a) {
    nb::handle component = a[0];
    nb::object width = a.get(1, nb::int_(80));
    nb::object height = a.get(2, nb::int_(80));

    nb::object cached =
        os_path("join")(host_value("PROJECT_DIR"), "build", "svg", file_name(component));
    nb::object found = find_symbol(component, cached);
    if (!found.is_none())
        return symbol_response(read_text(found));

    nb::object pdk = activate_host_pdk();
    nb::object built;
    try {
        built = pdk.attr("get_component")(component);
    } catch (nb::python_error& error) {
        if (!is_ordinary(error))
            throw;
        return redirect_to_empty_symbol();
    }
    nb::object outline = deps().generate_multipolygon(built);
    if (nb::len(nb::object(outline.attr("geoms"))) > max_symbol_polygons)
        return redirect_to_empty_symbol();
    nb::object text = deps().generate_svg(built, width, height);
    deps().os.attr("makedirs")(os_path("dirname")(cached), nb::arg("exist_ok") = true);
    write_text(cached, text);
    return symbol_response(text);
}

} // namespace

void register_svg(nb::module_& m) {
    keep_service_module(m);
    nb::object int_type = nb::module_::import_("builtins").attr("int");
    nb::object handler = make_handler(m, "svg", "Get component svg.",
                                      {{str("component"), str_type(), {}},
                                       {optional(integer("width")), int_type, nb::int_(80)},
                                       {optional(integer("height")), int_type, nb::int_(80)}},
                                      deps().response, svg);
    add_route("get", "/assets/svg/{component}.svg", handler);
}

void register_pdk_svg_path(nb::module_& m) {
    define(m, Signature("_pdk_svg_path", {str("component")}),
           "def _pdk_svg_path(component: str) -> str | None",
           "Path of the kit's own symbol file for a component.",
           [](const BoundArgs& a) { return pdk_svg_path(a[0]); });
}

} // namespace quillon::schematic
