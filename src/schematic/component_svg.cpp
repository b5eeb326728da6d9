/// A component's SVG symbol: from the kit, the package, the project cache, or
/// freshly generated.

#include "quillon/define.hpp"
#include "quillon/schematic/components.hpp"
#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/schematic.hpp"
#include "quillon/schematic/text_files.hpp"

#include <nanobind/stl/string.h>

#include <cerrno>

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

/// Symbols of the default size are cached under the component's name (the
/// kit cache writes them); a symbol of another size is looked for in a
/// directory named after its size, so that none is served at a size it was
/// not made for.
std::string cached_symbol_path(nb::handle component, nb::handle width, nb::handle height) {
    std::string path = "build/svg/";
    if (!width.equal(nb::int_(80)) || !height.equal(nb::int_(80)))
        path += file_system_path(nb::str("{}x{}/").format(width, height));
    return path + file_system_path(file_name(component));
}

nb::object kit_module() {
    try {
        return deps().importlib.attr("import_module")(host_value("PDK"));
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError))
            throw;
        return nb::none();
    }
}

/// The directory of the kit's package, or None when it cannot be located.
nb::object kit_directory() {
    nb::object module = kit_module();
    if (module.is_none())
        return module;
    nb::object file = module.attr("__file__");
    if (file.is_none())
        return file;
    return os_path("dirname")(os_path("abspath")(file));
}

nb::object pdk_svg_path(nb::handle component) {
    nb::object directory = kit_directory();
    if (directory.is_none())
        return directory;
    return os_path("join")(directory, "svg", file_name(component));
}

/// The text of the symbol file `path` below `directory`, or None when there is
/// none there: only a regular file reached inside the directory counts.
nb::object read_symbol(nb::handle directory, const std::string& path) {
    ConfinedRoot root;
    if (open_root(file_system_path(directory), root) != 0)
        return nb::none();
    ConfinedEntry entry;
    std::string content;
    int code = locate(root, path, false, entry);
    if (code == 0)
        code = read_entry(entry, content);
    if (code == 0)
        return decode_text(content);
    if (code == ENOENT || code == ENOTDIR || code == EISDIR || code == leads_outside ||
        code == not_regular_file)
        return nb::none();
    raise_outcome(code, path);
}

nb::object redirect_to_empty_symbol() {
    return deps().redirect_response(empty_symbol_url);
}

nb::object symbol_response(nb::handle text) {
    return deps().response(nb::arg("content") = text, nb::arg("media_type") = "image/svg+xml");
}

/// The first symbol found: the kit's, the package's, then the project's cache.
nb::object find_symbol(nb::handle component, const std::string& cached) {
    const std::string name = file_system_path(file_name(component));
    nb::object kit = kit_directory();
    if (!kit.is_none()) {
        nb::object own = read_symbol(kit, "svg/" + name);
        if (!own.is_none())
            return own;
    }
    nb::object packaged =
        read_symbol(nb::str(assets_dir().c_str(), assets_dir().size()), "_svg/" + name);
    if (!packaged.is_none())
        return packaged;
    return read_symbol(host_value("PROJECT_DIR"), cached);
}

/// The symbol when one exists already, else None: files only, no kit cell
/// is built.
nb::object found_svg(const BoundArgs& a) {
    nb::object found =
        find_symbol(a[0], cached_symbol_path(a[0], a.get(1, nb::int_(80)), a.get(2, nb::int_(80))));
    return found.is_none() ? found : symbol_response(found);
}

nb::object svg(const BoundArgs& a) {
    nb::handle component = a[0];
    nb::object width = a.get(1, nb::int_(80));
    nb::object height = a.get(2, nb::int_(80));

    const std::string cached = cached_symbol_path(component, width, height);
    nb::object found = find_symbol(component, cached);
    if (!found.is_none())
        return symbol_response(found);

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
    // A GET writes nothing: the project's symbol cache is filled by the kit
    // cache's build, so a symbol generated here is served and not kept.
    return symbol_response(deps().generate_svg(built, width, height));
}

} // namespace

void register_svg(nb::module_& m) {
    keep_service_module(m);
    nb::object int_type = nb::module_::import_("builtins").attr("int");
    const std::vector<HandlerParam> params = {
        {str("component"), str_type(), {}},
        {optional(integer("width")), int_type, nb::int_(80)},
        {optional(integer("height")), int_type, nb::int_(80)}};
    nb::object found = make_handler(m, "_found_svg", "Get a component svg that exists already.",
                                    params, deps().response, found_svg);
    nb::object handler = make_handler(m, "svg", "Get component svg.", params, deps().response, svg);
    add_route_found_on_loop("get", "/assets/svg/{component}.svg", found, handler);
}

void register_pdk_svg_path(nb::module_& m) {
    define(m, Signature("_pdk_svg_path", {str("component")}),
           "def _pdk_svg_path(component: str) -> str | None",
           "Path of the kit's own symbol file for a component.",
           [](const BoundArgs& a) { return pdk_svg_path(a[0]); });
}

} // namespace quillon::schematic
