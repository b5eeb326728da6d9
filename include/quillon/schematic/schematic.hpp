#pragma once
/// Internal interface of the schematic editor service module.

#include "quillon/yaml.hpp"

#include <nanobind/nanobind.h>

#include <string>

namespace quillon::schematic {
namespace nb = nanobind;

/// Python objects the handlers call, bound once at import (also bound as
/// module attributes, in import order). Handles are deliberately kept for the
/// life of the process (see define.hpp).
struct Dependencies {
    nb::handle inspect, importlib, os;
    nb::handle maskwright;
    nb::handle orjson, yaml;
    nb::handle json; ///< exact decoding of integers beyond 64 bits
    nb::handle body, json_response, plain_text_response, redirect_response, response, static_files;
    nb::handle natsorted;
    nb::handle ports_from_cached_path, get_function_args;
    nb::handle activate_pdk_by_name, get_cell_path;
    nb::handle generate_multipolygon, generate_svg;
    nb::handle logger;
    nb::handle pdk, project_dir, settings, app; ///< host values: PDK, PROJECT_DIR, SETTINGS, app
    nb::handle on_event_loop, on_event_loop_when_found;
    nb::handle in_worker_when_large; ///< quillon.serve.worker
};

const Dependencies& deps();
void bind_dependencies(nb::module_& module);

/// this_dir, qln_dir and assets_dir, as module attributes and for C++.
void compute_directories(nb::module_& module);
const std::string& assets_dir();

/// Where the framework runs a handler: a worker thread, or the event loop for
/// handlers that answer at once (no thread hand-off, but nothing slow allowed),
/// or, for a circuit's handler, a worker process when the circuit's files are
/// large (reading them holds the interpreter) and a worker thread otherwise.
enum class RunsOn { worker_thread, event_loop, worker_process_when_large };

/// Registers `handler` on the host's app: `app.<method>(path)(handler)`.
void add_route(const char* method, const char* path, nb::handle handler,
               RunsOn runs_on = RunsOn::worker_thread);

/// Registers `handler` behind `find`, which takes the same arguments and
/// answers on the event loop unless it returns None; `handler` answers the
/// rest in a worker thread.
void add_route_found_on_loop(const char* method, const char* path, nb::handle find,
                             nb::handle handler);

void register_routes(nb::module_& module);
void register_helpers(nb::module_& module);
void mount_assets(nb::module_& module);

// Route handlers, in route-table order, each in the file of its concern.
void register_get_netlist(nb::module_& module);
void register_post_netlist(nb::module_& module);
void register_settings(nb::module_& module);
void register_ports(nb::module_& module);
void register_ports_extended(nb::module_& module);
void register_routing_strategies(nb::module_& module);
void register_svg(nb::module_& module);

// Helper operations, in definition order.
void register_get_types_and_defaults_for_routing(nb::module_& module);
void register_get_allowed_instance_settings(nb::module_& module);
void register_get_ports(nb::module_& module);
void register_ports_from_netlist(nb::module_& module);
void register_is_bundle(nb::module_& module);
void register_yaml_writing(nb::module_& module);
void register_pdk_svg_path(nb::module_& module);

} // namespace quillon::schematic
