/// Reading and saving a circuit's netlist and schematic files.
///
/// A circuit `<path>` is kept as `<path>.pic.yml` (the netlist, headed by a
/// line pointing a YAML language server at the circuit's JSON schema) and
/// `<path>.scm.yml` (the editor's schematic data). Paths are confined to the
/// project directory (project_paths.hpp). A save is all or nothing: both texts
/// are produced before anything is written, and both files are replaced
/// together (atomic_write.hpp) under the circuit's lock, which reads take too,
/// so that no read returns the files of two different saves.

#include "quillon/files/atomic_write.hpp"
#include "quillon/schematic/components.hpp"
#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/project_paths.hpp"
#include "quillon/schematic/save_document.hpp"
#include "quillon/schematic/schematic.hpp"
#include "quillon/schematic/text_files.hpp"

#include <nanobind/stl/string.h>

#include <cerrno>

namespace quillon::schematic {

namespace {

constexpr const char* schema_header = "# yaml-language-server: $schema=";
constexpr const char* nothing_changed = "; nothing was changed";

nb::handle str_type() {
    return reinterpret_cast<PyObject*>(&PyUnicode_Type);
}

nb::object plain_text(const std::string& text, int status) {
    return deps().plain_text_response(text, nb::arg("status_code") = status);
}

/// A circuit saved for the first time gets the schema its header names (the
/// host's quillon.build.schemas writes it); a failure there never fails a save.
void ensure_schema(nb::handle absolute) {
    try {
        nb::module_::import_("quillon.build.schemas")
            .attr("ensure_circuit_schema")(absolute, deps().project_dir);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception))
            throw;
    }
}

nb::object dump(nb::handle value) {
    return yaml::safe_dump(deps().yaml, value);
}

/// The YAML mapping in `content` (bounded alias expansion); any other
/// document than a mapping gives an empty mapping.
nb::object parse_mapping(const std::string& content, const std::string& source) {
    nb::object value = yaml::safe_load(decode_text(content), nb::str(source.c_str()));
    return PyDict_Check(value.ptr()) ? value : nb::dict();
}

/// One line on why the file `name` could not be used.
std::string entry_failure(const std::string& name, int code) {
    return name + ": " + (code == not_regular_file ? "not a regular file" : describe_outcome(code));
}

/// Whether the present netlist text differs from the new one, leading and
/// trailing white space aside; a file that cannot be decoded differs.
bool netlist_changed(nb::handle text, const std::string& present) {
    try {
        return !text.equal(decode_text(present).attr("strip")());
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception))
            throw;
        return true;
    }
}

/// Both files of the circuit as they are now, read under its lock after any
/// interrupted save was finished or undone. An absent file reads as empty.
struct PresentFiles {
    int error = 0;
    std::string failed; ///< the suffix of the file that could not be read
    std::string netlist, schematic;
};

PresentFiles read_present(const CircuitFiles& files, uint64_t key, bool with_schematic) {
    PresentFiles present;
    nb::gil_scoped_release released;
    recover_interrupted_save(key, {&files.schematic, &files.netlist});
    auto read = [&present](const ConfinedEntry& entry, const char* suffix, std::string& content) {
        const int code = read_regular_file(entry, max_file_bytes, content);
        if (code == ENOENT) {
            content.clear();
        } else if (code != 0) {
            present.error = code;
            present.failed = suffix;
        }
    };
    read(files.netlist, ".pic.yml", present.netlist);
    if (with_schematic && present.error == 0)
        read(files.schematic, ".scm.yml", present.schematic);
    return present;
}

nb::object get_netlist(const BoundArgs& a) {
    CircuitFiles files;
    std::string refusal;
    // A read creates nothing: missing directories read as missing files.
    if (!locate_circuit(a[0], false, files, refusal))
        return plain_text(refusal, 404);
    const uint64_t key = save_key(files.netlist);
    PresentFiles present;
    {
        SaveLock lock(key);
        present = read_present(files, key, true);
    }
    const std::string stem = nb::cast<std::string>(nb::str(a[0]));
    if (present.error != 0)
        return plain_text("could not read " + entry_failure(stem + present.failed, present.error),
                          409);
    nb::dict answer;
    for (auto [key_name, content, suffix] :
         {std::tuple{"netlist", &present.netlist, ".pic.yml"},
          std::tuple{"schematic", &present.schematic, ".scm.yml"}}) {
        try {
            answer[key_name] = parse_mapping(*content, stem + suffix);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception))
                throw;
            // The bounded reader names the file itself.
            const std::string source = stem + suffix, reason = first_line(error);
            const bool named = reason.compare(0, source.size() + 2, source + ": ") == 0;
            return plain_text("could not read " + source + ": " +
                                  (named ? reason.substr(source.size() + 2) : reason),
                              422);
        }
        // YAML has values JSON has not (binary data, sets, timestamps, NaN).
        if (const std::string unfit = entry_unfit_for_json(answer[key_name]); !unfit.empty())
            return plain_text("could not read " + stem + suffix + ": " + unfit +
                                  ", which the editor cannot show",
                              422);
    }
    return deps().json_response(answer);
}

/// The two new texts, made before anything is written; a document that
/// cannot be written as YAML is refused here.
struct SaveTexts {
    nb::object schematic, netlist;
};

bool make_texts(const SaveDocument& document, nb::handle absolute, SaveTexts& texts,
                std::string& refusal) {
    try {
        texts.schematic = dump(document.schematic);
        nb::object header = nb::str(schema_header) + schema_path(absolute) + nb::str("\n");
        texts.netlist = (header + dump(document.netlist)).attr("strip")();
        encode_text(texts.schematic);
        encode_text(texts.netlist);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception))
            throw;
        refusal = "Refused to save: the document cannot be written as YAML (" + first_line(error) +
                  ")" + nothing_changed + ".";
        return false;
    }
    return true;
}

nb::object post_netlist(const BoundArgs& a) {
    CircuitFiles files;
    std::string refusal;
    // A first look that creates nothing: a refused path must leave no trace.
    if (!locate_circuit(a[1], false, files, refusal))
        return plain_text(refusal, 404);
    SaveDocument document;
    if (!decode_save_document(a[0], document, refusal))
        return plain_text(refusal, 422);
    SaveTexts texts;
    if (!make_texts(document, files.absolute, texts, refusal))
        return plain_text(refusal, 422);
    if (!locate_circuit(a[1], true, files, refusal))
        return plain_text(refusal, 404);

    const uint64_t key = save_key(files.netlist);
    std::vector<PlannedFile> planned{{&files.schematic, encode_text(texts.schematic)}};
    int error = 0;
    bool committed = false;
    {
        SaveLock lock(key);
        PresentFiles present = read_present(files, key, false);
        if (present.error != 0)
            return plain_text(
                "could not save: " +
                    entry_failure(nb::cast<std::string>(nb::str(a[1])) + present.failed,
                                  present.error) +
                    nothing_changed,
                409);
        // An unchanged netlist keeps its file, modification time included.
        if (netlist_changed(texts.netlist, present.netlist))
            planned.push_back({&files.netlist, encode_text(texts.netlist)});
        nb::gil_scoped_release released;
        error = replace_files_atomically(key, planned, committed);
    }
    if (error != 0) {
        const std::string outcome =
            committed ? "; the save is completed on the next access" : nothing_changed;
        return plain_text("could not save: " + describe_outcome(error) + outcome, 500);
    }
    ensure_schema(files.absolute);
    nb::str netlist_path = nb::borrow<nb::str>(nb::borrow(a[1]) + nb::str(".pic.yml"));
    return deps().plain_text_response(nb::str("netlist saved to {}.").format(netlist_path));
}

} // namespace

void register_get_netlist(nb::module_& m) {
    nb::object handler =
        make_handler(m, "get_netlist", "Get the netlist and schematic from file.",
                     {{str("path"), str_type(), {}}}, deps().json_response, get_netlist);
    add_route("get", "/assets/netlists/{path:path}.json", handler,
              RunsOn::worker_process_when_large);
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
