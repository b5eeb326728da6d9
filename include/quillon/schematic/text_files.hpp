#pragma once
/// Text files of the project for the handlers: the confined files of
/// `quillon::files` (file_access.hpp), with texts decoded as the interpreter's
/// `open` does it (the platform's default encoding, universal newlines).

#include "quillon/files/confined_tree.hpp"
#include "quillon/files/file_access.hpp"

#include <nanobind/nanobind.h>

#include <string>

namespace quillon::schematic {
namespace nb = nanobind;

// Every file the handlers touch goes through the confined files.
using namespace quillon::files;

/// Bytes read from a file, as text.
nb::object decode_text(const std::string& content);

/// A text, as the bytes a file of it holds.
std::string encode_text(nb::handle text);

} // namespace quillon::schematic
