/// validate_reference: a reference netlist file checked for the shape the
/// loader reads, before it reads it, so that a malformed file gives one line
/// naming the file, the entry and what was expected instead of a failure deep
/// in the loader.

#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

namespace {

/// What a YAML value is, in the words of the file: "null", "a list", "the text 'x'", ...
nb::object described(nb::handle value) {
    if (value.is_none())
        return nb::str("null");
    if (PyBool_Check(value.ptr()))
        return format_text("the value %S", value);
    if (PyUnicode_Check(value.ptr()))
        return format_text("the text %R", value);
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))
        return format_text("the number %S", value);
    if (PyDict_Check(value.ptr()))
        return nb::str("a mapping");
    if (PyList_Check(value.ptr()))
        return nb::str("a list");
    return format_text("a value of type %U", nb::str(Py_TYPE(value.ptr())->tp_name));
}

/// "instance,port": a text with a comma that has text on both sides of its last one.
bool is_endpoint(nb::handle value) {
    if (!PyUnicode_Check(value.ptr()))
        return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value.ptr());
    const Py_ssize_t comma = PyUnicode_FindChar(value.ptr(), ',', 0, length, -1);
    if (comma == -2)
        throw nb::python_error();
    return comma > 0 && comma < length - 1;
}

class Validator {
  public:
    explicit Validator(nb::handle file) : file_(file) {}

    [[noreturn]] void fail(nb::handle where, const char* expected, nb::handle value) const {
        fail_with(where, expected, described(value));
    }

    [[noreturn]] void fail_with(nb::handle where, const char* expected, nb::handle got) const {
        PyErr_SetObject(PyExc_ValueError,
                        format_text("reference netlist %R: %U: expected %U, got %U", file_, where,
                                    nb::str(expected), got)
                            .ptr());
        throw nb::python_error();
    }

    nb::object entry(nb::handle data, const char* name, const char* expected) const {
        PyObject* value = PyDict_GetItemString(data.ptr(), name);
        if (!value) {
            PyErr_SetObject(
                PyExc_ValueError,
                format_text("reference netlist %R: the entry %U is missing (expected %U)", file_,
                            nb::str(name), nb::str(expected))
                    .ptr());
            throw nb::python_error();
        }
        return nb::borrow(value);
    }

    /// `value` must be a mapping; `where` names it in the message.
    void mapping(nb::handle where, nb::handle value, const char* expected) const {
        if (!PyDict_Check(value.ptr()))
            fail(where, expected, value);
    }

    /// `value` must be an endpoint (see `is_endpoint`).
    void endpoint(nb::handle where, nb::handle value) const {
        if (!is_endpoint(value))
            fail(where, "an endpoint 'instance,port'", value);
    }

    /// Each key and value of a mapping of endpoint to endpoint. Where an
    /// entry is, is worked out only for one that is wrong: a large file has
    /// hundreds of thousands of them.
    void endpoint_pairs(nb::handle where, nb::handle pairs) const {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t at = 0;
        while (PyDict_Next(pairs.ptr(), &at, &key, &value)) {
            if (is_endpoint(key) && is_endpoint(value))
                continue;
            nb::object place = format_text("%U %R", where, key);
            endpoint(place, key);
            endpoint(place, value);
        }
    }

  private:
    nb::handle file_;
};

constexpr char instances_shape[] = "a mapping of instance name to {component: NAME}";
constexpr char pairs_shape[] = "a mapping of endpoint to endpoint";
constexpr char routes_shape[] = "a mapping of route name to {links: {endpoint: endpoint}}";
constexpr char nets_shape[] = "a list of nets {p1: endpoint, p2: endpoint}";
constexpr char ports_shape[] = "a mapping of port name to endpoint";

void instances(const Validator& v, nb::handle data) {
    nb::object all = v.entry(data, "instances", instances_shape);
    v.mapping(nb::str("instances"), all, instances_shape);
    PyObject* name = nullptr;
    PyObject* instance = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(all.ptr(), &at, &name, &instance)) {
        if (!PyUnicode_Check(name))
            v.fail(nb::str("instances"), "instance names as texts", name);
        PyObject* component =
            PyDict_Check(instance) ? PyDict_GetItemString(instance, "component") : nullptr;
        PyObject* settings =
            PyDict_Check(instance) ? PyDict_GetItemString(instance, "settings") : nullptr;
        const bool settings_fit = !settings || settings == Py_None || PyDict_Check(settings);
        if (component && PyUnicode_Check(component)) {
            if (settings_fit)
                continue;
            v.fail(format_text("instances %R settings", name), "a mapping of setting name to value",
                   settings);
        }
        nb::object where = format_text("instances %R", name);
        v.mapping(where, instance, "a mapping with a 'component' name");
        if (!component)
            v.fail_with(where, "a mapping with a 'component' name",
                        nb::str("a mapping without it"));
        v.fail(format_text("%U component", where), "a component name", component);
    }
}

void connections_and_routes(const Validator& v, nb::handle data) {
    nb::object connections = v.entry(data, "connections", pairs_shape);
    v.mapping(nb::str("connections"), connections, pairs_shape);
    v.endpoint_pairs(nb::str("connections"), connections);
    nb::object routes = v.entry(data, "routes", routes_shape);
    v.mapping(nb::str("routes"), routes, routes_shape);
    for (nb::handle pair : routes.attr("items")()) {
        nb::object where = format_text("routes %R", pair[0]);
        v.mapping(where, pair[1], "a mapping with 'links' (endpoint to endpoint)");
        PyObject* links = PyDict_GetItemString(pair[1].ptr(), "links");
        if (!links)
            v.fail_with(where, "a mapping with 'links' (endpoint to endpoint)",
                        nb::str("a mapping without it"));
        nb::object links_where = format_text("%U links", where);
        v.mapping(links_where, links, pairs_shape);
        v.endpoint_pairs(links_where, links);
    }
}

void nets_and_ports(const Validator& v, nb::handle data) {
    nb::object nets = v.entry(data, "nets", nets_shape);
    if (!PyList_Check(nets.ptr()))
        v.fail(nb::str("nets"), nets_shape, nets);
    for (Py_ssize_t at = 0; at < PyList_GET_SIZE(nets.ptr()); ++at) {
        PyObject* net = PyList_GET_ITEM(nets.ptr(), at);
        if (PyDict_Check(net)) {
            PyObject* first = PyDict_GetItemString(net, "p1");
            PyObject* second = PyDict_GetItemString(net, "p2");
            if ((!first || is_endpoint(first)) && (!second || is_endpoint(second)))
                continue;
        }
        nb::object where = format_text("nets entry %S", nb::int_(at + 1));
        v.mapping(where, net, "a net {p1: endpoint, p2: endpoint}");
        for (const char* end : {"p1", "p2"}) {
            PyObject* endpoint = PyDict_GetItemString(net, end);
            if (endpoint)
                v.endpoint(format_text("%U %U", where, nb::str(end)), endpoint);
        }
    }
    // "ports" is taken as the file gives it; the ports pass compares whatever it holds.
    v.entry(data, "ports", ports_shape);
}

} // namespace

void validate_reference(nb::handle data, nb::handle file) {
    const Validator v(file);
    if (!PyDict_Check(data.ptr()))
        v.fail(nb::str("the file"), "a mapping with instances, connections, routes, nets and ports",
               data);
    instances(v, data);
    connections_and_routes(v, data);
    nets_and_ports(v, data);
}

} // namespace quillon::lvs
