/// Whole-file text writes through a temporary file and a rename.

#include "quillon/schematic/text_file_by_rename.hpp"

namespace quillon::schematic {

namespace {

/// Cleans up after a failed write: a failure here must not hide the error
/// that made the write fail.
template <typename Cleanup> void ignore_errors(Cleanup cleanup) {
    try {
        cleanup();
    } catch (nb::python_error&) {
    }
}

} // namespace

void write_text_by_rename(nb::handle path, nb::handle text) {
    nb::module_ os = nb::module_::import_("os");
    nb::object os_path = os.attr("path");
    // Hidden, and named so that no lookup of "<name>.svg" can find it.
    nb::object prefix = nb::str(".") + os_path.attr("basename")(path) + nb::str(".");
    nb::object made = nb::module_::import_("tempfile")
                          .attr("mkstemp")(nb::arg("prefix") = prefix, nb::arg("suffix") = ".tmp",
                                           nb::arg("dir") = os_path.attr("dirname")(path));
    nb::object descriptor = made[nb::int_(0)];
    nb::object temporary = made[nb::int_(1)];
    try {
        nb::object file;
        try {
            file = nb::module_::import_("io").attr("open")(descriptor, "w");
        } catch (nb::python_error&) {
            ignore_errors([&] { os.attr("close")(descriptor); });
            throw;
        }
        try {
            file.attr("write")(text);
            file.attr("flush")();
            os.attr("fsync")(descriptor);
        } catch (nb::python_error&) {
            ignore_errors([&] { file.attr("close")(); });
            throw;
        }
        file.attr("close")();
        // mkstemp makes the file private to its owner; a cache file is as
        // readable as any other build output. (Reading the umask would mean
        // changing it, which races with other threads creating files.)
        os.attr("chmod")(temporary, 0644);
        os.attr("replace")(temporary, path);
    } catch (nb::python_error&) {
        ignore_errors([&] { os.attr("unlink")(temporary); });
        throw;
    }
}

} // namespace quillon::schematic
