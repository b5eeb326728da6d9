/// Binds the handlers' dependencies at import, in a fixed order: a failure
/// aborts the import before any route is registered.

#include "quillon/define.hpp"
#include "quillon/schematic/schematic.hpp"

namespace quillon::schematic {

namespace {

/// Plain handles only: nothing here is destroyed when the process exits.
Dependencies bound;

/// Binds `module.<name>` to `owner.<attribute>` and returns the kept handle.
nb::handle bind_attr(nb::module_& module, nb::handle owner, const char* attribute,
                     const char* name = nullptr) {
    nb::handle value = attr_kept(owner, attribute);
    module.attr(name ? name : attribute) = value;
    return value;
}

nb::handle bind_module(nb::module_& module, const char* import_name, const char* name) {
    nb::handle value = import_kept(import_name);
    module.attr(name) = value;
    return value;
}

} // namespace

const Dependencies& deps() {
    return bound;
}

void bind_dependencies(nb::module_& m) {
    bound.importlib = bind_module(m, "importlib", "importlib");
    bound.inspect = bind_module(m, "inspect", "inspect");
    bound.os = bind_module(m, "os", "os");
    bind_attr(m, import_kept("collections.abc"), "Callable");
    bind_attr(m, import_kept("pathlib"), "Path");
    nb::handle typing = import_kept("typing");
    bind_attr(m, typing, "Annotated");
    bind_attr(m, typing, "Any");

    bound.maskwright = bind_module(m, "maskwright", "mw");
    bound.orjson = bind_module(m, "orjson", "orjson");
    bound.yaml = bind_module(m, "yaml", "yaml");
    bound.json = import_kept("json");
    // The one place YAML is read from: a bound on alias expansion.

    bound.body = bind_attr(m, import_kept("fastapi"), "Body");
    nb::handle responses = import_kept("fastapi.responses");
    bound.json_response = bind_attr(m, responses, "JSONResponse");
    bound.plain_text_response = bind_attr(m, responses, "PlainTextResponse");
    bound.redirect_response = bind_attr(m, responses, "RedirectResponse");
    bound.response = bind_attr(m, responses, "Response");
    bound.static_files = bind_attr(m, import_kept("fastapi.staticfiles"), "StaticFiles");

    bound.natsorted = bind_attr(m, import_kept("natsort"), "natsorted");

    nb::handle tree = import_kept("quillon.cli.tree");
    bound.ports_from_cached_path = bind_attr(m, tree, "_ports_from_cached_path");
    bound.get_function_args = bind_attr(m, tree, "get_function_args");
    nb::handle shared = import_kept("quillon.core.shared");
    bound.activate_pdk_by_name = bind_attr(m, shared, "activate_pdk_by_name");
    bound.get_cell_path = bind_attr(m, shared, "get_cell_path");
    nb::handle svg = import_kept("quillon.generate_svg");
    bound.generate_multipolygon = bind_attr(m, svg, "_generate_multipolygon");
    bound.generate_svg = bind_attr(m, svg, "generate_svg");
    bound.logger = bind_attr(m, import_kept("quillon.logger"), "logger");

    nb::handle app_module = import_kept("quillon.serve.app");
    bound.pdk = bind_attr(m, app_module, "PDK");
    bound.project_dir = bind_attr(m, app_module, "PROJECT_DIR");
    bound.settings = bind_attr(m, app_module, "SETTINGS");
    bound.app = bind_attr(m, app_module, "app");
    bound.on_event_loop = attr_kept(app_module, "on_event_loop");
    bound.on_event_loop_when_found = attr_kept(app_module, "on_event_loop_when_found");
    bound.in_worker_when_large =
        attr_kept(import_kept("quillon.serve.worker"), "in_worker_when_large");
}

} // namespace quillon::schematic
