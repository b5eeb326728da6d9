/// quillon.serve.schematic: registers the editor's routes on the host's
/// application when imported, then mounts the static assets after them.

#include "quillon/schematic/schematic.hpp"

NB_MODULE(schematic, m) {
    using namespace quillon::schematic;
    m.doc() = "Schematic editor routes.";
    register_routes(m);
    mount_assets(m);
}
