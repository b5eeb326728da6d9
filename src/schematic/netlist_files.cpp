/// Reading and saving a circuit's netlist and schematic files.
///
/// A circuit `<path>` is kept as `<path>.pic.yml` (the netlist, headed by a
/// line pointing a YAML language server at the circuit's JSON schema) and
/// `<path>.scm.yml` (the editor's schematic data). Paths are confined to the
/// project directory (project_paths.hpp); files are replaced atomically
/// (atomic_write.hpp), so a concurrent read sees the old or the new file.

#include "quillon/schematic/atomic_write.hpp"
#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/project_paths.hpp"
#include "quillon/schematic/schematic.hpp"
#include "quillon/schematic/text_files.hpp"

#include <nanobind/stl/string.h>

namespace quillon::schematic {

namespace {

constexpr const char* schema_header = "# yaml-language-server: $schema=";
constexpr const char* empty_refusal = "Refused to save empty netlist.";

nb::handle str_type() {
    return reinterpret_cast<PyObject*>(&PyUnicode_Type);
}

/// 404 with a one-line reason: the circuit is outside the project.
nb::object refuse_path(const std::string& reason) {
    return deps().plain_text_response(reason, nb::arg("status_code") = 404);
}

void make_directories(nb::handle directory) {
    deps().os.attr("makedirs")(directory, nb::arg("exist_ok") = true);
}

bool exists(nb::handle path) {
    return nb::cast<bool>(deps().os.attr("path").attr("exists")(path));
}

/// The YAML mapping in `path`; an absent file, an empty one or any other
/// document than a mapping gives an empty mapping.
nb::object load_mapping(nb::handle path) {
    if (!exists(path))
        return nb::dict();
    nb::object value = yaml::safe_load(read_text(path), path);
    return PyDict_Check(value.ptr()) ? value : nb::dict();
}

nb::object dump(nb::handle value) {
    return deps().yaml.attr("safe_dump")(value, nb::arg("sort_keys") = false);
}

/// The decoded save document; an empty mapping when the body is not a JSON
/// object or cannot be decoded at all.
nb::dict decode_document(nb::handle body) {
    nb::object document;
    try {
        document = deps().orjson.attr("loads")(body);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception))
            throw;
        return nb::dict();
    }
    return PyDict_Check(document.ptr()) ? nb::borrow<nb::dict>(document) : nb::dict();
}

nb::object member(const nb::dict& document, const char* key) {
    return document.contains(key) ? nb::borrow(document[key]) : nb::dict();
}

nb::object get_netlist(const BoundArgs& a) {
    std::string refusal;
    std::optional<CircuitFiles> files = locate_circuit(a[0], refusal);
    if (!files)
        return refuse_path(refusal);
    make_directories(files->directory);
    nb::dict answer;
    answer["netlist"] = load_mapping(files->netlist);
    answer["schematic"] = load_mapping(files->schematic);
    return deps().json_response(answer);
}

nb::object post_netlist(const BoundArgs& a) {
    std::string refusal;
    std::optional<CircuitFiles> files = locate_circuit(a[1], refusal);
    if (!files)
        return refuse_path(refusal);
    nb::dict document = decode_document(a[0]);
    if (document.size() == 0)
        return deps().plain_text_response(empty_refusal, nb::arg("status_code") = 422);
    nb::object netlist = member(document, "netlist");
    nb::object schematic = member(document, "schematic");

    make_directories(files->directory);
    nb::object schema = schema_path(files->absolute);
    // The schematic file is rewritten on every save.
    write_text(files->schematic, dump(schematic));

    nb::object text =
        (nb::str(schema_header) + schema + nb::str("\n") + dump(netlist)).attr("strip")();
    nb::object present =
        exists(files->netlist) ? read_text(files->netlist).attr("strip")() : nb::str("");
    // An unchanged netlist keeps its file, modification time included.
    if (!text.equal(present))
        write_text(files->netlist, text);

    nb::str netlist_path = nb::borrow<nb::str>(nb::borrow(a[1]) + nb::str(".pic.yml"));
    return deps().plain_text_response(nb::str("netlist saved to {}.").format(netlist_path));
}

} // namespace

void register_get_netlist(nb::module_& m) {
    nb::object handler =
        make_handler(m, "get_netlist", "Get the netlist and schematic from file.",
                     {{str("path"), str_type(), {}}}, deps().json_response, get_netlist);
    add_route("get", "/assets/netlists/{path:path}.json", handler);
}

void register_post_netlist(nb::module_& m) {
    const Dependencies& d = deps();
    nb::object annotated_body =
        nb::module_::import_("typing").attr("Annotated")[nb::make_tuple(str_type(), d.body())];
    nb::object handler = make_handler(
        m, "post_netlist", "Post a netlist to save to a file.",
        {{str("body"), annotated_body, {}}, {keyword_only(str("path")), str_type(), {}}},
        d.plain_text_response, post_netlist);
    add_route("post", "/assets/netlists/{path:path}.json", handler);
}

} // namespace quillon::schematic
