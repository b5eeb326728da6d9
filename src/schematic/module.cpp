/// quillon.serve.schematic: on import, binds its dependencies, computes its
/// directories, registers the editor's routes on the host's application,
/// defines the helpers and mounts the static assets last.

#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/schematic.hpp"

NB_MODULE(schematic, m) {
    using namespace quillon::schematic;
    m.doc() = "Schematic editor routes.";
    register_handler_type(m);
    // The host's app keeps the route handlers (and the framework caches them)
    // until the process ends, so they are alive at exit by design: nanobind's
    // leak report would only list them. Set after the first registration,
    // which creates nanobind's state for this module.
    nanobind::set_leak_warnings(false);
    bind_dependencies(m);
    compute_directories(m);
    register_routes(m);
    register_helpers(m);
    mount_assets(m);
}
