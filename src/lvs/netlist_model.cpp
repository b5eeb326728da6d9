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
        nb::arg("unknown_connections") = "Unknown Connections");
    m.attr("lvs_categories") = categories;
}

} // namespace

nb::dict order_net(nb::handle net) {
    nb::object p1 = get_item(net, "p1");
    nb::object p2 = get_item(net, "p2");
    const bool keep = less_than(p1, p2);
    nb::dict ordered;
    ordered["p1"] = keep ? p1 : p2;
    ordered["p2"] = keep ? p2 : p1;
    return ordered;
}

nb::object endpoint_text(nb::handle instance_name, nb::handle pin_name) {
    PyObject* text = PyUnicode_FromFormat("%S,%S", instance_name.ptr(), pin_name.ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal(text);
}

namespace {

/// The key "p1:p2" of a net already in canonical form.
nb::str key_of(nb::dict ordered) {
    nb::object p1 = nb::steal(PyObject_Str(nb::object(ordered["p1"]).ptr()));
    nb::object p2 = nb::steal(PyObject_Str(nb::object(ordered["p2"]).ptr()));
    if (!p1.is_valid() || !p2.is_valid())
        throw nb::python_error();
    PyObject* joined = PyUnicode_FromFormat("%U:%U", p1.ptr(), p2.ptr());
    if (!joined)
        throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

} // namespace

nb::str net_str(nb::handle net) {
    return key_of(order_net(net));
}

nb::dict canonical_nets(nb::handle nets) {
    nb::dict by_key;
    for (nb::handle net : nets) {
        nb::dict ordered = order_net(net);
        by_key[key_of(ordered)] = ordered;
    }
    nb::list keys = nb::list(by_key.keys());
    if (PyList_Sort(keys.ptr()) < 0)
        throw nb::python_error();
    nb::dict sorted;
    for (nb::handle key : keys)
        sorted[key] = by_key[key];
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
