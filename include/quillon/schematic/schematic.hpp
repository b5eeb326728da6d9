#pragma once
/// Internal interface of the schematic editor service module.

#include <nanobind/nanobind.h>

namespace quillon::schematic {
namespace nb = nanobind;

void register_routes(nb::module_& module);
void mount_assets(nb::module_& module);

} // namespace quillon::schematic
