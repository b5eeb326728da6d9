/// The route table: the module's directories, the seven routes in their
/// order, the helpers after them, and the static mount last (mounted first it
/// would shadow the routes).

#include "quillon/schematic/schematic.hpp"

#include <nanobind/stl/string.h>

namespace quillon::schematic {

namespace {

std::string assets_directory;

/// The module's own file: `__file__` is set only once initialisation is
/// over, so ask the import system where it found the module.
nb::object module_file(nb::module_& m) {
    nb::object spec = nb::module_::import_("importlib.util").attr("find_spec")(m.attr("__name__"));
    return spec.attr("origin");
}

} // namespace

void compute_directories(nb::module_& m) {
    nb::object path = deps().os.attr("path");
    nb::object this_dir = path.attr("dirname")(path.attr("abspath")(module_file(m)));
    nb::object qln_dir = path.attr("dirname")(this_dir);
    nb::object assets = path.attr("join")(qln_dir, "assets");
    m.attr("this_dir") = this_dir;
    m.attr("qln_dir") = qln_dir;
    m.attr("assets_dir") = assets;
    assets_directory = nb::cast<std::string>(assets);
}

const std::string& assets_dir() {
    return assets_directory;
}

void add_route(const char* method, const char* path, nb::handle handler, RunsOn runs_on) {
    nb::object endpoint = runs_on == RunsOn::event_loop ? deps().on_event_loop(handler)
                          : runs_on == RunsOn::worker_process_when_large
                              ? deps().in_worker_when_large(handler)
                              : nb::borrow(handler);
    deps().app.attr(method)(path)(endpoint);
}

void add_route_found_on_loop(const char* method, const char* path, nb::handle find,
                             nb::handle handler) {
    deps().app.attr(method)(path)(deps().on_event_loop_when_found(find, handler));
}

void register_routes(nb::module_& m) {
    register_get_netlist(m);
    register_post_netlist(m);
    register_settings(m);
    register_ports(m);
    register_ports_extended(m);
    register_routing_strategies(m);
    register_svg(m);
}

void register_helpers(nb::module_& m) {
    register_get_types_and_defaults_for_routing(m);
    register_get_allowed_instance_settings(m);
    register_get_ports(m);
    register_ports_from_netlist(m);
    register_is_bundle(m);
    register_pdk_svg_path(m);
    register_yaml_writing(m);
}

void mount_assets(nb::module_&) {
    const Dependencies& d = deps();
    d.app.attr("mount")("/assets", d.static_files(nb::arg("directory") = assets_directory),
                        nb::arg("name") = "assets");
}

} // namespace quillon::schematic
