/// The kit's bundle routing strategies with their parameters.

#include "quillon/define.hpp"
#include "quillon/schematic/components.hpp"
#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/schematic.hpp"

namespace quillon::schematic {

namespace {

bool is_bundle(nb::handle func) {
    nb::object parameters = deps().inspect.attr("signature")(func).attr("parameters");
    return contains(parameters, nb::str("ports1")) && contains(parameters, nb::str("ports2"));
}

/// Parameters the editor fills in itself: the routed component and its ports.
bool text_equals(nb::handle value, const char* text) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

bool is_wiring_parameter(nb::handle name) {
    for (const char* wiring : {"component", "port1", "port2", "ports1", "ports2"})
        if (text_equals(name, wiring))
            return true;
    return false;
}

/// Elements without repetitions (first occurrence kept), in natural order.
nb::object unique_natsorted(nb::handle values) {
    return deps().natsorted(nb::module_::import_("builtins").attr("dict").attr("fromkeys")(values));
}

/// A type description as the editor reads it: marker or type text, no
/// spaces or None parts, "?" when the parameter has no default.
nb::object routing_type(nb::object type, nb::handle default_value, nb::handle pdk, nb::dict& refs) {
    if (type.is_none()) {
        type = nb::str("str");
    } else if (text_equals(type, "float | list[float]")) {
        type = nb::str("float");
    } else if (text_equals(type, "Iterable")) {
        type = nb::str("list");
    } else if (PyList_Check(type.ptr()) && PyList_GET_SIZE(type.ptr()) > 0) {
        nb::object first = type[nb::int_(0)];
        if (names_kit_entry(pdk, "cells", first)) {
            refs["@component"] = type;
            type = nb::str("@component");
        } else if (names_kit_entry(pdk, "cross_sections", first)) {
            refs["@cross_section"] = type;
            type = nb::str("@cross_section");
        }
    } else if (text_equals(type, "NoneType")) {
        type = nb::str("str");
    }
    if (PyUnicode_Check(type.ptr())) {
        type = type.attr("replace")(" ", "")
                   .attr("replace")("|None", "")
                   .attr("replace")("None|", "")
                   .attr("strip")();
        if (default_value.is_none())
            type = type + nb::str("?");
    }
    return type;
}

nb::dict types_and_defaults_for_routing(nb::handle func) {
    nb::object pdk = deps().maskwright.attr("get_active_pdk")();
    nb::object defaults = deps().get_function_args(func);
    nb::dict types = allowed_instance_settings(func);

    nb::list names;
    for (auto [name, type] : types)
        names.append(name);
    for (nb::handle name : defaults)
        if (!types.contains(name))
            names.append(name);

    nb::dict refs, result;
    for (nb::handle key : deps().natsorted(names)) {
        nb::object default_value = defaults.attr("get")(key);
        nb::object type = types.contains(key) ? nb::object(types[key]) : nb::none();
        if (text_equals(key, "waypoints")) {
            type = nb::str("Waypoints");
        } else if (text_equals(key, "port_type")) {
            type = nb::str("@port_type");
            if (!refs.contains("@port_type")) {
                nb::list known;
                known.append("optical");
                known.append("electrical");
                refs["@port_type"] = known;
            }
            if (!nb::bool_(default_value))
                default_value = nb::str("optical");
            nb::object port_types = refs["@port_type"];
            port_types.attr("append")(default_value);
        }
        if (is_wiring_parameter(key))
            continue;
        if (default_value.is_none()) {
            if (text_equals(type, "str"))
                default_value = nb::str("");
            else if (text_equals(type, "bool"))
                default_value = nb::bool_(false);
        }
        nb::dict entry;
        entry["default"] = default_value;
        entry["type"] = routing_type(type, default_value, pdk, refs);
        result[key] = entry;
    }
    if (refs.contains("@port_type"))
        refs["@port_type"] = unique_natsorted(refs["@port_type"]);
    result["@refs"] = refs;
    return result;
}

nb::object routing_strategies() {
    nb::object pdk = activate_host_pdk();
    nb::object strategies = nb::getattr(pdk, "routing_strategies", nb::none());
    nb::dict refs, result;
    if (!strategies.is_none()) {
        for (nb::handle item : strategies.attr("items")()) {
            nb::object func = item[nb::int_(1)];
            if (!is_bundle(func))
                continue;
            nb::dict args = types_and_defaults_for_routing(func);
            nb::object own_refs = args.attr("pop")("@refs");
            refs.attr("update")(own_refs);
            result[nb::object(item[nb::int_(0)])] = args;
        }
    }
    nb::dict answer;
    answer["strategies"] = result;
    answer["refs"] = refs;
    return answer;
}

} // namespace

void register_routing_strategies(nb::module_& m) {
    keep_service_module(m);
    nb::object handler = make_handler(m, "routing_strategies", "Get routing strategies.", {},
                                      nb::module_::import_("builtins").attr("dict"),
                                      [](const BoundArgs&) { return routing_strategies(); });
    add_route("get", "/assets/routing-strategies.json", handler);
}

void register_get_types_and_defaults_for_routing(nb::module_& m) {
    define(m, Signature("_get_types_and_defaults_for_routing", {any("func")}),
           "def _get_types_and_defaults_for_routing(func: Callable) -> dict",
           "Describe the parameters of a routing function.",
           [](const BoundArgs& a) -> nb::object { return types_and_defaults_for_routing(a[0]); });
}

void register_is_bundle(nb::module_& m) {
    define(m, Signature("_is_bundle", {any("func")}), "def _is_bundle(func: Callable) -> bool",
           "Whether a routing function routes bundles (has ports1 and ports2).",
           [](const BoundArgs& a) -> nb::object { return nb::bool_(is_bundle(a[0])); });
}

} // namespace quillon::schematic
