/// The settings of a component: defaults and type descriptions.

#include "quillon/define.hpp"
#include "quillon/py.hpp"
#include "quillon/schematic/components.hpp"
#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/schematic.hpp"

namespace quillon::schematic {

namespace {

nb::handle str_type() {
    return nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

/// The type name of a parameter: its annotation's name or text, else the
/// type of its default, "| None" removed.
nb::object type_name(nb::handle parameter, nb::handle empty) {
    nb::object annotation = parameter.attr("annotation");
    nb::object name;
    if (annotation.is(empty)) {
        nb::object default_value = parameter.attr("default");
        name = default_value.is(empty) ? nb::str("str")
                                       : nb::object(default_value.type().attr("__name__"));
    } else if (nb::hasattr(annotation, "__name__")) {
        name = annotation.attr("__name__");
    } else {
        name = nb::str(annotation);
    }
    return name.attr("replace")("| None", "").attr("strip")();
}

/// The kit's cross-section names a setting may take ("cross_section" is an
/// alias of the default one, not a choice of its own).
nb::list cross_section_names(nb::handle pdk) {
    nb::list names;
    for (nb::handle name : pdk.attr("cross_sections"))
        if (!name.equal(nb::str("cross_section")))
            names.append(name);
    return names;
}

nb::list cell_names(nb::handle pdk) {
    nb::list names;
    for (nb::handle name : pdk.attr("cells"))
        names.append(name);
    return names;
}

/// The limits a kit declares for the numeric settings of a cell function
/// (its `setting_limits`: setting name to {"minimum": 0, ...}); empty when none.
nb::dict declared_limits(nb::handle pcell) {
    nb::object limits = nb::getattr(pcell, "setting_limits", nb::none());
    return PyDict_Check(limits.ptr()) ? nb::borrow<nb::dict>(limits) : nb::dict();
}

/// Copies the limits of `key` that the editor knows into its description.
void add_limits(nb::dict& entry, const nb::dict& limits, nb::handle key) {
    if (!limits.contains(key))
        return;
    nb::object bounds = limits[key];
    if (!PyDict_Check(bounds.ptr()))
        return;
    for (const char* name : {"minimum", "maximum", "exclusive_minimum", "exclusive_maximum"}) {
        PyObject* bound = PyDict_GetItemString(bounds.ptr(), name);
        if (bound && (PyLong_Check(bound) || PyFloat_Check(bound)) && !PyBool_Check(bound))
            entry[name] = nb::borrow(bound);
    }
}

nb::dict describe_settings(nb::handle pdk, nb::handle pcell) {
    nb::object types = allowed_instance_settings(pcell);
    nb::object defaults = deps().get_function_args(pcell);
    nb::dict limits = declared_limits(pcell);

    nb::dict result;
    for (nb::handle item : types.attr("items")()) {
        nb::object key = item[nb::int_(0)];
        nb::object type = item[nb::int_(1)];
        nb::object default_value = nb::none();
        if (contains(defaults, key)) {
            default_value = defaults[key];
            if (names_kit_entry(pdk, "cells", default_value))
                type = nb::str("@component");
            if (names_kit_entry(pdk, "cross_sections", default_value))
                type = nb::str("@cross_section");
        }
        if (PyList_Check(type.ptr()) && PyList_GET_SIZE(type.ptr()) > 1) {
            nb::object first = type[nb::int_(0)];
            type = names_kit_entry(pdk, "cells", first) ? nb::object(nb::str("@component"))
                                                        : nb::str("@") + key;
        }
        nb::dict entry;
        entry["default"] = default_value;
        entry["type"] = type;
        add_limits(entry, limits, key);
        result[key] = entry;
    }
    return result;
}

/// A copy down to the type lists, so that a caller changing the answer
/// cannot change what later requests get.
nb::dict copy_of(nb::handle described) {
    nb::dict copy;
    for (auto [key, entry] : nb::borrow<nb::dict>(described)) {
        nb::dict entry_copy = nb::borrow<nb::dict>(checked(PyDict_Copy(entry.ptr())));
        nb::object type = entry_copy["type"];
        if (PyList_Check(type.ptr()))
            entry_copy["type"] = checked(PyList_GetSlice(type.ptr(), 0, PY_SSIZE_T_MAX));
        copy[key] = entry_copy;
    }
    return copy;
}

/// Everything an answer depends on besides the cell function: the names of
/// the kit's cells and cross-sections.
nb::tuple kit_names(nb::handle pdk) {
    return nb::make_tuple(checked(PySequence_Tuple(nb::object(pdk.attr("cells")).ptr())),
                          checked(PySequence_Tuple(nb::object(pdk.attr("cross_sections")).ptr())));
}

/// The answer of a component, described once per kit object, cell function
/// and kit names: each request would otherwise read the function's signature
/// again. Kept in the module's `_settings_cache` (component name to
/// `(pdk, function, names, answer)`), one entry per component of the kit.
nb::object settings(nb::handle component) {
    nb::object pdk = activate_host_pdk();
    nb::object pcell = pdk.attr("cells").attr("get")(component);
    if (pcell.is_none())
        return nb::dict();

    nb::dict cache = nb::borrow<nb::dict>(host_value("_settings_cache"));
    nb::tuple names = kit_names(pdk);
    PyObject* cached = PyDict_GetItemWithError(cache.ptr(), component.ptr());
    if (!cached && PyErr_Occurred())
        throw nb::python_error();
    if (cached) {
        nb::tuple entry = nb::borrow<nb::tuple>(cached);
        if (entry[0].is(pdk) && entry[1].is(pcell) && entry[2].equal(names))
            return copy_of(entry[3]);
    }
    nb::dict described;
    try {
        described = describe_settings(pdk, pcell);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_KeyError))
            throw;
        return nb::dict();
    }
    cache[component] = nb::make_tuple(pdk, pcell, names, described);
    return copy_of(described);
}

} // namespace

nb::dict allowed_instance_settings(nb::handle pcell) {
    nb::object pdk = deps().maskwright.attr("get_active_pdk")();
    nb::object signature = deps().inspect.attr("signature")(pcell);
    nb::object empty = deps().inspect.attr("Parameter").attr("empty");

    nb::dict types;
    for (nb::handle item : signature.attr("parameters").attr("items")()) {
        nb::object key = item[nb::int_(0)];
        nb::object type = type_name(item[nb::int_(1)], empty);
        if (contains(type, nb::str("CrossSection")))
            type = cross_section_names(pdk);
        else if (contains(type, nb::str("Component")))
            type = cell_names(pdk);
        types[key] = type;
    }
    if (types.contains("kwargs"))
        PyDict_DelItemString(types.ptr(), "kwargs");
    return types;
}

void register_settings(nb::module_& m) {
    keep_service_module(m);
    m.attr("_settings_cache") = nb::dict();
    nb::object handler =
        make_handler(m, "settings", "Get component settings.", {{str("component"), str_type(), {}}},
                     nb::module_::import_("builtins").attr("dict"),
                     [](const BoundArgs& a) { return settings(a[0]); });
    add_route("get", "/assets/settings/{component}.json", handler, RunsOn::event_loop);
}

void register_get_allowed_instance_settings(nb::module_& m) {
    define(m, Signature("_get_allowed_instance_settings", {any("pcell")}),
           "def _get_allowed_instance_settings(pcell: Callable[..., Any]) -> dict[str, Any]",
           "Describe the type of each parameter of a cell function.",
           [](const BoundArgs& a) -> nb::object { return allowed_instance_settings(a[0]); });
}

} // namespace quillon::schematic
