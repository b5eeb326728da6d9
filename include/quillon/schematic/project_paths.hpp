#pragma once
/// Circuit file paths from URLs, confined to the project directory.
///
/// The editor names a circuit by a path without extension, absolute or relative
/// to the project directory (`PROJECT_DIR`): a relative path is joined to the
/// project directory, never to the server's working directory, so that it
/// means the same wherever the server was started. A path whose files resolve
/// (after normalisation and following links) outside the project directory is
/// refused before anything is read or created.

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace quillon::schematic {
namespace nb = nanobind;

/// The files of one circuit, as real paths inside the project directory.
struct CircuitFiles {
    nb::object netlist;   ///< `<path>.pic.yml`, links followed
    nb::object schematic; ///< `<path>.scm.yml`, links followed
    nb::object directory; ///< the directory of the netlist file
    nb::object absolute;  ///< the circuit path joined to the project directory, as given
};

/// Locates the circuit `path` (text, as captured from the URL). Returns
/// nothing and sets `refusal` to a one-line reason when it lies outside the
/// project directory or cannot name a file.
std::optional<CircuitFiles> locate_circuit(nb::handle path, std::string& refusal);

/// The relative path from the project's source directory (`PROJECT_DIR` /
/// `SETTINGS.name`) to the JSON schema of the circuit at `absolute` (not yet
/// normalised: a trailing separator still counts), below
/// `PROJECT_DIR`/build/schemas.
nb::object schema_path(nb::handle absolute);

/// A path as the file system sees it (file system encoding, as `os.fsencode`).
std::string file_system_path(nb::handle path);

} // namespace quillon::schematic
