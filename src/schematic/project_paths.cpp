/// Locating circuit files and refusing paths that leave the project.

#include "quillon/schematic/project_paths.hpp"

#include "quillon/schematic/components.hpp"
#include "quillon/schematic/text_files.hpp"

#include <nanobind/stl/string.h>

namespace quillon::schematic {

namespace {

std::string quoted(nb::handle text) {
    return nb::cast<std::string>(nb::repr(text));
}

/// C0 and C1 controls, DEL, and the line and paragraph separators: any of
/// them ends a YAML line or is invisible in a file name.
bool holds_control_character(nb::handle text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    const int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029)
            return true;
    }
    return false;
}

} // namespace

bool locate_circuit(nb::handle path, bool make_directories, CircuitFiles& files,
                    std::string& refusal) {
    if (holds_control_character(path)) {
        refusal = "Not found: the path " + quoted(path) +
                  " holds a control character or a line separator.";
        return false;
    }
    nb::object project = host_value("PROJECT_DIR");
    files.project = open_confined_root(project);
    files.absolute = os_path("join")(project, path);
    const std::string stem = file_system_path(path);
    int code = locate(files.project, stem + ".pic.yml", make_directories, files.netlist);
    if (code == 0)
        code = locate(files.project, stem + ".scm.yml", make_directories, files.schematic);
    if (code == leads_outside) {
        refusal = "Not found: the path " + quoted(path) + " is outside the project directory.";
        return false;
    }
    if (code != 0) {
        refusal = "Not found: the path " + quoted(path) + ": " + describe_outcome(code) + ".";
        return false;
    }
    return true;
}

nb::object schema_path(nb::handle absolute) {
    nb::object join = os_path("join"), relpath = os_path("relpath");
    nb::object repo_dir = host_value("PROJECT_DIR");
    nb::object schema_dir = join(repo_dir, "build", "schemas");
    nb::object pics_dir = join(repo_dir, host_value("SETTINGS").attr("name"));
    nb::object schema =
        join(schema_dir, relpath(nb::borrow(absolute) + nb::str(".json"), pics_dir));
    return relpath(schema, pics_dir);
}

} // namespace quillon::schematic
