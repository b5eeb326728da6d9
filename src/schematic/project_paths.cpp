/// Resolving circuit paths and refusing those that leave the project.

#include "quillon/schematic/project_paths.hpp"
#include "quillon/schematic/schematic.hpp"

#include <nanobind/stl/string.h>

namespace quillon::schematic {

namespace {

nb::object os_path() {
    return deps().os.attr("path");
}

/// Whether `resolved` lies strictly below `root`: comparing at a separator
/// keeps a sibling such as `<root>-evil` out, and a file is never the root.
bool is_below(const std::string& resolved, std::string root) {
    if (root.empty() || root.back() != '/')
        root += '/';
    return resolved.size() > root.size() && resolved.compare(0, root.size(), root) == 0;
}

std::string quoted(nb::handle text) {
    return nb::cast<std::string>(nb::repr(text));
}

} // namespace

std::string file_system_path(nb::handle path) {
    nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded.is_valid())
        throw nb::python_error();
    return {PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr()))};
}

std::optional<CircuitFiles> locate_circuit(nb::handle path, std::string& refusal) {
    nb::str text = nb::borrow<nb::str>(path);
    if (file_system_path(text).find('\0') != std::string::npos) {
        refusal = "Not found: the path " + quoted(path) + " holds a NUL character.";
        return std::nullopt;
    }
    nb::object p = os_path();
    nb::object project = nb::borrow(deps().project_dir);
    // realpath resolves each component as the kernel would, links before "..".
    nb::object realpath = p.attr("realpath");
    const std::string root = file_system_path(realpath(project));
    nb::object joined = p.attr("join")(project, text);
    CircuitFiles files{
        realpath(joined + nb::str(".pic.yml")), realpath(joined + nb::str(".scm.yml")), {}, joined};
    if (!is_below(file_system_path(files.netlist), root) ||
        !is_below(file_system_path(files.schematic), root)) {
        refusal = "Not found: the path " + quoted(path) + " is outside the project directory.";
        return std::nullopt;
    }
    files.directory = p.attr("dirname")(files.netlist);
    return files;
}

nb::object schema_path(nb::handle absolute) {
    nb::object p = os_path();
    nb::object join = p.attr("join"), relpath = p.attr("relpath");
    nb::handle repo_dir = deps().project_dir;
    nb::object schema_dir = join(repo_dir, "build", "schemas");
    nb::object pics_dir = join(repo_dir, deps().settings.attr("name"));
    nb::object schema =
        join(schema_dir, relpath(nb::borrow(absolute) + nb::str(".json"), pics_dir));
    return relpath(schema, pics_dir);
}

} // namespace quillon::schematic
