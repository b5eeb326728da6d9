/// The shared vocabulary of the check: property ids, category titles, type
/// names, and the canonical form and key of a net.

#include "quillon/define.hpp"
#include "quillon/errors.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

namespace {

void register_types(nb::module_& m) {
    nb::module_ typing = nb::module_::import_("typing");
    nb::object any = typing.attr("Any");
    m.attr("Netlist") = nb::module_::import_("builtins")
                            .attr("dict")[nb::make_tuple(
                                nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), any)];
    m.attr("DeepDiffDict") = nb::module_::import_("builtins").attr("dict");
    nb::dict fields;
    fields["p1"] = nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    fields["p2"] = nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    nb::object net_type = typing.attr("TypedDict")("_Net", fields);
    net_type.attr("__module__") = m.attr("__name__");
    m.attr("_Net") = net_type;
}

void register_propid(nb::module_& m) {
    nb::object int_enum = nb::module_::import_("enum").attr("IntEnum");
    nb::list members;
    members.append(nb::make_tuple("NAME", 0));
    members.append(nb::make_tuple("PURPOSE", 1));
    nb::object propid = int_enum("PROPID", members, nb::arg("module") = m.attr("__name__"));
    propid.attr("__doc__") = "Mapping for GDS properties.";
    m.attr("PROPID") = propid;
}

void register_categories(nb::module_& m) {
    nb::object categories = nb::module_::import_("types").attr("SimpleNamespace")(
        nb::arg("unknown_instances") = "Unknown Instances",
        nb::arg("missing_instances") = "Missing Instances",
        nb::arg("missing_connections") = "Missing Connections",
        nb::arg("unknown_connections") = "Unknown Connections",
        nb::arg("mismatched_instances") = "Mismatched Instances",
        nb::arg("mismatched_ports") = "Mismatched Ports",
        nb::arg("mismatched_settings") = "Mismatched Settings");
    m.attr("lvs_categories") = categories;
}

} // namespace

namespace {

/// The dict keys "p1" and "p2", made once per call of a caller that orders
/// many nets.
struct NetKeys {
    nb::str p1{"p1"};
    nb::str p2{"p2"};
};

nb::dict ordered_net(nb::handle net, const NetKeys& keys) {
    nb::object p1 = nb::steal(PyObject_GetItem(net.ptr(), keys.p1.ptr()));
    if (!p1.is_valid())
        throw nb::python_error();
    nb::object p2 = nb::steal(PyObject_GetItem(net.ptr(), keys.p2.ptr()));
    if (!p2.is_valid())
        throw nb::python_error();
    const bool keep = less_than(p1, p2);
    nb::dict ordered;
    if (PyDict_SetItem(ordered.ptr(), keys.p1.ptr(), (keep ? p1 : p2).ptr()) < 0 ||
        PyDict_SetItem(ordered.ptr(), keys.p2.ptr(), (keep ? p2 : p1).ptr()) < 0)
        throw nb::python_error();
    return ordered;
}

/// The canonical form of a net: the net itself when it is a plain mapping of
/// just "p1" and "p2" in order (as the loader and the extraction make them,
/// which saves a second copy of every net), else `ordered_net`.
nb::dict canonical_form(nb::handle net, const NetKeys& keys) {
    if (PyDict_CheckExact(net.ptr()) && PyDict_GET_SIZE(net.ptr()) == 2) {
        PyObject* p1 = PyDict_GetItemWithError(net.ptr(), keys.p1.ptr());
        PyObject* p2 = p1 ? PyDict_GetItemWithError(net.ptr(), keys.p2.ptr()) : nullptr;
        if (PyErr_Occurred())
            throw nb::python_error();
        if (p2 && less_than(p1, p2))
            return nb::borrow<nb::dict>(net);
    }
    return ordered_net(net, keys);
}

/// The key "p1:p2" of a net already in canonical form.
nb::str key_of(nb::dict ordered, const NetKeys& keys) {
    nb::object p1 = nb::steal(PyObject_Str(PyDict_GetItem(ordered.ptr(), keys.p1.ptr())));
    nb::object p2 = nb::steal(PyObject_Str(PyDict_GetItem(ordered.ptr(), keys.p2.ptr())));
    if (!p1.is_valid() || !p2.is_valid())
        throw nb::python_error();
    return format_text("%U:%U", p1, p2);
}

} // namespace

nb::dict order_net(nb::handle net) {
    return ordered_net(net, NetKeys());
}

nb::object endpoint_text(nb::handle instance_name, nb::handle pin_name) {
    return format_text("%S,%S", instance_name, pin_name);
}

nb::object endpoint_instance(nb::handle endpoint) {
    if (!PyUnicode_Check(endpoint.ptr()))
        return nb::none();
    return endpoint.attr("rsplit")(",", 1)[0];
}

nb::str net_str(nb::handle net) {
    const NetKeys keys;
    return key_of(ordered_net(net, keys), keys);
}

nb::dict canonical_nets(nb::handle nets) {
    const NetKeys keys;
    nb::dict by_key;
    for (nb::handle net : nets) {
        nb::dict ordered = canonical_form(net, keys);
        if (PyDict_SetItem(by_key.ptr(), key_of(ordered, keys).ptr(), ordered.ptr()) < 0)
            throw nb::python_error();
    }
    nb::list sorted_keys = nb::steal<nb::list>(PyDict_Keys(by_key.ptr()));
    if (!sorted_keys.is_valid() || PyList_Sort(sorted_keys.ptr()) < 0)
        throw nb::python_error();
    nb::dict sorted;
    for (nb::handle key : sorted_keys)
        if (PyDict_SetItem(sorted.ptr(), key.ptr(), PyDict_GetItem(by_key.ptr(), key.ptr())) < 0)
            throw nb::python_error();
    return sorted;
}

void register_netlist_model(nb::module_& m) {
    register_types(m);
    register_propid(m);
    register_categories(m);
    nb::list public_names;
    public_names.append("lvs_categories");
    public_names.append("optical_lvs");
    m.attr("__all__") = public_names;

    define(m, Signature("_order_net", {any("net")}), "def _order_net(net: _Net) -> _Net",
           "Return the net with its endpoints in ascending order.",
           [](const BoundArgs& a) { return order_net(a[0]); });
    define(m, Signature("_net_str", {any("net")}), "def _net_str(net: _Net) -> str",
           "Return the key 'p1:p2' of the net's canonical form.",
           [](const BoundArgs& a) { return net_str(a[0]); });
}

} // namespace quillon::lvs
