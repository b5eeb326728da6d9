#pragma once
/// Writing a whole text file so that readers never see it half written.

#include <nanobind/nanobind.h>

namespace quillon::schematic {
namespace nb = nanobind;

/// Writes `text` (platform default encoding) to a temporary file beside
/// `path`, then renames it over `path`. A reader sees the old file, no file or
/// the complete new one; on failure the temporary file is removed and `path`
/// is left as it was.
void write_text_by_rename(nb::handle path, nb::handle text);

} // namespace quillon::schematic
