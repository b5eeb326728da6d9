#pragma once
/// Whole text files, read and written as the interpreter's `open` does it (the
/// platform's default text encoding); writes replace the file atomically.

#include <nanobind/nanobind.h>

namespace quillon::schematic {
namespace nb = nanobind;

/// The whole text of the file at `path` (universal newlines); the file is
/// closed whether or not reading succeeds.
nb::object read_text(nb::handle path);

/// Replaces the file at `path` with `text` through a temporary file and a
/// rename (atomic_write.hpp), so no reader ever sees a partial file.
void write_text(nb::handle path, nb::handle text);

} // namespace quillon::schematic
