#include "quillon/schematic/text_files.hpp"

#include "quillon/schematic/atomic_write.hpp"
#include "quillon/schematic/project_paths.hpp"

#include <string>

namespace quillon::schematic {

namespace {

/// The platform's default text encoding, as the interpreter's `open` uses it.
nb::object default_encoding() {
    return nb::module_::import_("locale").attr("getpreferredencoding")(false);
}

} // namespace

nb::object read_text(nb::handle path) {
    nb::object file =
        nb::module_::import_("io").attr("open")(path, nb::arg("encoding") = default_encoding());
    try {
        nb::object text = file.attr("read")();
        file.attr("close")();
        return text;
    } catch (nb::python_error&) {
        // Close without losing the read error; a failure to close is secondary.
        try {
            file.attr("close")();
        } catch (nb::python_error&) {
        }
        throw;
    }
}

void write_text(nb::handle path, nb::handle text) {
    nb::bytes data = nb::borrow<nb::bytes>(text.attr("encode")(default_encoding()));
    write_file_atomically(file_system_path(path),
                          std::string(data.c_str(), static_cast<size_t>(data.size())));
}

} // namespace quillon::schematic
