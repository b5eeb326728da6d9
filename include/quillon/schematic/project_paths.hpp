#pragma once
/// Circuit file paths from URLs, confined to the project directory.
///
/// The editor names a circuit by a path without extension, absolute or relative
/// to the project directory (`PROJECT_DIR`): a relative path is joined to the
/// project directory, never to the server's working directory, so that it
/// means the same wherever the server was started. Its files are reached
/// through handles of the project directory (confined_files.hpp): a path that
/// leads outside, through ".." or any link, is refused before anything is read
/// or created, and so is a path holding a control character or a line
/// separator (it would break the netlist's header line).

#include "quillon/schematic/text_files.hpp"

#include <nanobind/nanobind.h>

#include <string>

namespace quillon::schematic {
namespace nb = nanobind;

/// The files of one circuit, located below the project directory.
struct CircuitFiles {
    ConfinedRoot project;
    ConfinedEntry netlist;   ///< `<path>.pic.yml`
    ConfinedEntry schematic; ///< `<path>.scm.yml`
    nb::object absolute;     ///< the circuit path joined to the project directory, as given
};

/// Locates the circuit `path` (text, as captured from the URL), creating its
/// missing directories when `make_directories` is true. Returns false and
/// sets `refusal` to a one-line reason when the path is refused.
bool locate_circuit(nb::handle path, bool make_directories, CircuitFiles& files,
                    std::string& refusal);

/// The relative path from the project's source directory (`PROJECT_DIR` /
/// `SETTINGS.name`) to the JSON schema of the circuit at `absolute` (not yet
/// normalised: a trailing separator still counts), below
/// `PROJECT_DIR`/build/schemas.
nb::object schema_path(nb::handle absolute);

} // namespace quillon::schematic
