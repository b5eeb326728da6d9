/// The sides of a component's ports, plain and extended.

#include "quillon/define.hpp"
#include "quillon/schematic/components.hpp"
#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/schematic.hpp"

#include <nanobind/stl/string.h>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace quillon::schematic {

namespace {

nb::object dict_type() {
    return nb::module_::import_("builtins").attr("dict");
}

nb::handle str_type() {
    return nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

/// Port name -> side letter: names starting with "in" go west, with "out"
/// east, the others are shared out over the four sides.
nb::dict ports_from_netlist(nb::handle netlist) {
    // Also reached with a parsed netlist file, which must be a mapping too.
    check_kind(dict("netlist"), netlist);
    nb::object ports = netlist.attr("get")("ports", nb::dict());
    nb::list names =
        nb::borrow<nb::list>(nb::module_::import_("builtins").attr("sorted")(ports.attr("keys")()));

    std::vector<nb::object> west, north, east, south, other;
    for (nb::handle name : names) {
        if (nb::bool_(name.attr("startswith")("in")))
            west.push_back(nb::borrow(name));
        else if (nb::bool_(name.attr("startswith")("out")))
            east.push_back(nb::borrow(name));
        else
            other.push_back(nb::borrow(name));
    }

    const size_t n = other.size();
    auto share = [&](std::vector<nb::object>& side, size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            side.push_back(other[i]);
    };
    if (n == 1) {
        share(west, 0, 1);
    } else if (n == 2) {
        share(west, 0, 1);
        share(east, 1, 2);
    } else if (n == 3) {
        share(west, 0, 1);
        share(north, 1, 2);
        share(east, 2, 3);
    } else if (n >= 4) {
        // East takes what the integer division leaves over.
        const size_t quarter = n / 4;
        share(west, 0, quarter);
        share(north, quarter, 2 * quarter);
        share(east, 2 * quarter, n - quarter);
        share(south, n - quarter, n);
    }

    nb::dict result;
    for (auto& [side, letter] : {std::pair<std::vector<nb::object>*, const char*>{&west, "w"},
                                 {&north, "n"},
                                 {&east, "e"},
                                 {&south, "s"}})
        for (const nb::object& name : *side)
            result[name] = letter;
    return result;
}

/// The netlist fallback: the ports of the component's ".pic.yml" source (a
/// file of the kit or of the project; only a regular file is read).
nb::object ports_from_source(nb::handle path) {
    if (!nb::bool_(path.attr("endswith")(".pic.yml")))
        return nb::dict();
    const std::string name = file_system_path(path);
    FileHandle file;
    std::string content;
    int code = open_regular_file(name, file);
    if (code == 0) {
        nb::gil_scoped_release released;
        code = read_all(file.get(), max_file_bytes, content);
    }
    if (code == ENOENT)
        return nb::dict();
    if (code != 0)
        raise_outcome(code, name);
    return ports_from_netlist(yaml::safe_load(decode_text(content), path));
}

/// The cached ports file at `path` below the project, opened inside it, or an
/// unopened handle when there is no such file. Refused paths raise.
FileHandle open_cached_ports(const ConfinedRoot& project, const std::string& path) {
    ConfinedEntry entry;
    FileHandle file;
    int code = locate(project, path, false, entry);
    if (code == 0 && entry.directory_exists) {
        file = FileHandle(openat(entry.directory.get(), entry.name.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        code = file.is_open() ? 0 : errno;
        if (code == 0) {
            struct stat status;
            code = fstat(file.get(), &status) != 0 ? errno
                   : S_ISREG(status.st_mode)       ? 0
                                                   : not_regular_file;
        }
    }
    if (code == ENOENT || (code == 0 && !entry.directory_exists))
        return FileHandle();
    if (code != 0)
        raise_outcome(code, path);
    return file;
}

/// The cached ports file, opened inside the project: the kit-wide one when it
/// exists, else the one kept beside the build of the component's source file
/// (unopened when neither exists).
FileHandle cached_ports_file(nb::handle component, nb::handle source) {
    nb::object project_dir = host_value("PROJECT_DIR");
    ConfinedRoot project = open_confined_root(project_dir);
    FileHandle first = open_cached_ports(
        project, "build/gds/pdk/ports/" + file_system_path(nb::str(component) + nb::str(".json")));
    if (first.is_open())
        return first;
    nb::object path_type = nb::module_::import_("pathlib").attr("Path");
    nb::object relative = path_type(source).attr("relative_to")(
        path_type(project_dir) / host_value("SETTINGS").attr("name"));
    nb::object second = path_type("build") / nb::str("gds") / relative.attr("parent") /
                        nb::str("ports") / relative.attr("name");
    return open_cached_ports(project, file_system_path(nb::str(second)));
}

/// A component whose ".pic.yml" source cannot be read or holds no ports
/// mapping: the route answers with `text`, one line naming the file.
struct UnreadableSource {
    std::string text;
};

/// `ports_from_source`, whose ordinary failures become `UnreadableSource`
/// while a route answers (the Python face raises them as they are).
nb::object ports_of_source(nb::handle component, nb::handle source, bool answering) {
    const auto unreadable = [&](const std::string& why) {
        return UnreadableSource{"Cannot read the ports of component " +
                                nb::cast<std::string>(nb::repr(component)) + " from " +
                                nb::cast<std::string>(nb::str(source)) + ": " + why};
    };
    try {
        return ports_from_source(source);
    } catch (nb::python_error& error) {
        if (!answering || !is_ordinary(error))
            throw;
        throw unreadable(first_line(error));
    } catch (const nb::builtin_exception& error) { // a file that is no mapping
        if (!answering)
            throw;
        throw unreadable(error.what());
    }
}

nb::object get_ports(nb::handle component, bool answering = false) {
    nb::object pdk = activate_host_pdk();
    nb::object source = deps().get_cell_path(pdk.attr("cells").attr("get")(component),
                                             nb::arg("error_on_not_found") = true);
    nb::object fallback = ports_of_source(component, source, answering);

    nb::object cached;
    try {
        FileHandle file = cached_ports_file(component, source);
        if (!file.is_open())
            return fallback;
        // The host reads the file by name: the name of the open handle
        // reaches the very file checked here, whatever changes meanwhile.
        cached =
            deps().ports_from_cached_path(nb::str(descriptor_path(file.get()).c_str()), component);
    } catch (nb::python_error& error) {
        if (!is_ordinary(error))
            throw;
        return fallback;
    }
    if (!nb::bool_(cached))
        return fallback;
    if (!PyDict_Check(cached.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "dict",
                     Py_TYPE(cached.ptr())->tp_name);
        throw nb::python_error();
    }
    return cached;
}

nb::dict extended_record(nb::handle side, nb::handle port_type, nb::handle index) {
    nb::dict record;
    record["orientation"] = side;
    record["port_type"] = port_type;
    record["index"] = index;
    return record;
}

/// Fills in the type and position of each port from the built component.
void add_built_ports(nb::dict& result, nb::handle cell_function) {
    nb::object component = cell_function();
    for (nb::handle port : component.attr("ports")) {
        nb::object name = port.attr("name");
        if (!result.contains(name)) {
            result[name] = extended_record(nb::str("w"), nb::str("optical"), nb::float_(0.0));
            continue;
        }
        nb::object record = result[name];
        record["port_type"] = port.attr("port_type");
        nb::object side = record["orientation"];
        const bool sideways = side.equal(nb::str("w")) || side.equal(nb::str("e"));
        record["index"] = port.attr("center")[nb::int_(sideways ? 1 : 0)];
    }
}

nb::object ports_extended(nb::handle component) {
    nb::object pdk = activate_host_pdk();
    nb::object ports = get_ports(component, true);

    nb::dict result;
    double index = 0.0;
    for (nb::handle item : ports.attr("items")()) {
        nb::object name = item[nb::int_(0)];
        nb::object side = item[nb::int_(1)];
        result[name] = extended_record(side, nb::str("optical"), nb::float_(index));
        index += 1.0;
    }

    nb::object cell_function = pdk.attr("cells").attr("get")(component);
    if (cell_function.is_none())
        return result;
    try {
        add_built_ports(result, cell_function);
    } catch (nb::python_error& error) {
        if (!is_ordinary(error))
            throw;
        deps().logger.attr("error")(nb::str(error.value()));
    }
    return result;
}

/// A component the kit does not have is the request's fault, not the
/// service's: 404 with a line that names it, rather than the host's bare 500.
nb::object unknown_component_answer(nb::handle component) {
    nb::object pdk = activate_host_pdk();
    if (!pdk.attr("cells").attr("get")(component).is_none())
        return nb::none();
    const std::string text = "The kit " + nb::cast<std::string>(nb::str(host_value("PDK"))) +
                             " has no component " + nb::cast<std::string>(nb::repr(component)) +
                             ".";
    return deps().plain_text_response(text, nb::arg("status_code") = 404);
}

/// `answer` for a component of the kit, the 404 of an unknown one otherwise,
/// and 422 naming the file for one whose source holds no readable ports.
template <typename Answer> nb::object for_known_component(nb::handle component, Answer answer) {
    nb::object refused = unknown_component_answer(component);
    if (!refused.is_none())
        return refused;
    try {
        return nb::object(answer(component));
    } catch (const UnreadableSource& unreadable) {
        return deps().plain_text_response(unreadable.text, nb::arg("status_code") = 422);
    }
}

} // namespace

void register_ports(nb::module_& m) {
    keep_service_module(m);
    nb::object handler = make_handler(
        m, "ports", "Get component ports.", {{str("component"), str_type(), {}}}, dict_type(),
        [](const BoundArgs& a) {
            return for_known_component(a[0], [](nb::handle c) { return get_ports(c, true); });
        });
    add_route("get", "/assets/ports/{component}.json", handler);
}

void register_ports_extended(nb::module_& m) {
    keep_service_module(m);
    nb::object handler = make_handler(
        m, "ports_extended", "Get all ports.", {{str("component"), str_type(), {}}}, dict_type(),
        [](const BoundArgs& a) { return for_known_component(a[0], ports_extended); });
    add_route("get", "/assets/ports-extended/{component}.json", handler);
}

void register_get_ports(nb::module_& m) {
    define(m, Signature("_get_ports", {str("component")}), "def _get_ports(component: str) -> dict",
           "Get the side of each port of a component.",
           [](const BoundArgs& a) { return get_ports(a[0]); });
}

void register_ports_from_netlist(nb::module_& m) {
    define(m, Signature("_ports_from_netlist", {dict("netlist")}),
           "def _ports_from_netlist(netlist: dict) -> dict",
           "Distribute the ports of a netlist over the four sides.",
           [](const BoundArgs& a) -> nb::object { return ports_from_netlist(a[0]); });
}

} // namespace quillon::schematic
