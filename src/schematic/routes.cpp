/// The route table: handlers are registered in this order, before the mount.

#include "quillon/schematic/schematic.hpp"

namespace quillon::schematic {

void register_routes(nb::module_&) {}

void mount_assets(nb::module_&) {}

} // namespace quillon::schematic
