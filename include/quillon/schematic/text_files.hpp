#pragma once
/// Files of the project for the handlers: the confined files of
/// `quillon::files` (file_access.hpp, confined_tree.hpp), with texts decoded
/// as the interpreter's `open` does it.

#include "quillon/files/confined_tree.hpp"
#include "quillon/files/file_access.hpp"

namespace quillon::schematic {

// Every file the handlers touch goes through the confined files.
using namespace quillon::files;

} // namespace quillon::schematic
