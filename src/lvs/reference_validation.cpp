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

    /// "instance,port": a text with a comma that has text on both sides.
    void endpoint(nb::handle where, nb::handle value) const {
        if (PyUnicode_Check(value.ptr())) {
            nb::object parts = nb::handle(value).attr("rpartition")(",");
            if (nb::len(nb::object(parts[0])) > 0 && nb::len(nb::object(parts[2])) > 0)
                return;
        }
        fail(where, "an endpoint 'instance,port'", value);
    }

    /// Each key and value of a mapping of endpoint to endpoint.
    void endpoint_pairs(nb::handle where, nb::handle pairs) const {
        for (nb::handle pair : pairs.attr("items")()) {
            nb::object place = format_text("%U %R", where, pair[0]);
            endpoint(place, pair[0]);
            endpoint(place, pair[1]);
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
    for (nb::handle pair : all.attr("items")()) {
        nb::object where = format_text("instances %R", pair[0]);
        if (!PyUnicode_Check(pair[0].ptr()))
            v.fail(nb::str("instances"), "instance names as texts", pair[0]);
        nb::handle instance = pair[1];
        v.mapping(where, instance, "a mapping with a 'component' name");
        PyObject* component = PyDict_GetItemString(instance.ptr(), "component");
        if (!component)
            v.fail_with(where, "a mapping with a 'component' name",
                        nb::str("a mapping without it"));
        if (!PyUnicode_Check(component))
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
    Py_ssize_t position = 0;
    for (nb::handle net : nets) {
        nb::object where = format_text("nets entry %S", nb::int_(++position));
        v.mapping(where, net, "a net {p1: endpoint, p2: endpoint}");
        for (const char* end : {"p1", "p2"}) {
            PyObject* endpoint = PyDict_GetItemString(net.ptr(), end);
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
