/// Decoding a save's body, and the entries of a read document JSON cannot carry.

#include "quillon/schematic/save_document.hpp"

#include "quillon/schematic/schematic.hpp"

#include <nanobind/stl/string.h>

#include <cctype>
#include <cmath>
#include <utility>
#include <vector>

namespace quillon::schematic {

namespace {

constexpr const char* empty_refusal = "Refused to save empty netlist.";
constexpr const char* nothing_changed = "; nothing was changed.";

/// Integers of this many digits may not fit in 64 bits, where the fast
/// decoder would turn them into floats (or refuse them as infinite).
constexpr size_t long_integer_digits = 19;

/// The first line of the pending error's text, up to a first ";" (the
/// interpreter's advice on raising its limits is no help to a user).
std::string reason(const nb::python_error& error) {
    std::string text = nb::cast<std::string>(nb::str(error.value()));
    return text.substr(0, text.find_first_of("\n;"));
}

bool has_long_digit_run(const char* data, Py_ssize_t size) {
    size_t run = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        run = std::isdigit(static_cast<unsigned char>(data[i])) ? run + 1 : 0;
        if (run >= long_integer_digits)
            return true;
    }
    return false;
}

bool is_blank(const char* data, Py_ssize_t size) {
    for (Py_ssize_t i = 0; i < size; ++i)
        if (!std::isspace(static_cast<unsigned char>(data[i])))
            return false;
    return true;
}

/// The exact decoder, for integers beyond 64 bits: it refuses what the fast
/// one refuses too (NaN, infinities, numbers too large for a float).
nb::object decode_exactly(nb::handle body) {
    nb::object refuse_constant = nb::cpp_function([](nb::str constant) -> nb::object {
        throw nb::value_error(
            ("the constant " + nb::cast<std::string>(constant) + " is not a number JSON allows")
                .c_str());
    });
    nb::object finite_float = nb::cpp_function([](nb::str text) -> nb::object {
        const double value = nb::cast<double>(nb::float_(text));
        if (!std::isfinite(value))
            throw nb::value_error(
                ("the number " + nb::cast<std::string>(text).substr(0, 40) + " is too large")
                    .c_str());
        return nb::float_(value);
    });
    return deps().json.attr("loads")(body, nb::arg("parse_constant") = refuse_constant,
                                     nb::arg("parse_float") = finite_float);
}

/// A JSON value's kind, as a refusal names it.
std::string json_kind(nb::handle value) {
    if (value.is_none())
        return "null";
    if (PyBool_Check(value.ptr()))
        return "a boolean";
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))
        return "a number";
    if (PyUnicode_Check(value.ptr()))
        return "a string";
    if (PyList_Check(value.ptr()))
        return "an array";
    return "an object";
}

bool refuse(std::string& refusal, const std::string& why) {
    refusal = "Refused to save: " + why + nothing_changed;
    return false;
}

/// Whether a decoded body holds nothing at all: null, [], {} or "".
bool holds_nothing(nb::handle value) {
    return value.is_none() || ((PyList_Check(value.ptr()) || PyDict_Check(value.ptr()) ||
                                PyUnicode_Check(value.ptr())) &&
                               nb::len(value) == 0);
}

} // namespace

bool decode_save_document(nb::handle body, SaveDocument& document, std::string& refusal) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(body.ptr(), &size);
    if (data == nullptr) { // lone surrogates: bytes that were not UTF-8
        PyErr_Clear();
        return refuse(refusal, "the body is not valid UTF-8 text");
    }
    if (is_blank(data, size)) {
        refusal = empty_refusal;
        return false;
    }
    nb::object decoded;
    try {
        try {
            decoded = deps().orjson.attr("loads")(body);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception) || !has_long_digit_run(data, size))
                throw;
        }
        if (!decoded.is_valid() || (PyDict_Check(decoded.ptr()) && has_long_digit_run(data, size)))
            decoded = decode_exactly(body);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception))
            throw;
        return refuse(refusal, "the body cannot be read as JSON (" + reason(error) + ")");
    }
    if (holds_nothing(decoded)) {
        refusal = empty_refusal;
        return false;
    }
    if (!PyDict_Check(decoded.ptr()))
        return refuse(refusal, "the body is " + json_kind(decoded) +
                                   ", not an object with \"netlist\" and \"schematic\"");
    nb::dict members = nb::borrow<nb::dict>(decoded);
    if (!members.contains("netlist"))
        return refuse(refusal, "the document has no \"netlist\"");
    document.netlist = members["netlist"];
    document.schematic =
        members.contains("schematic") ? nb::object(members["schematic"]) : nb::object(nb::dict());
    for (auto [name, value] :
         {std::pair{"netlist", &document.netlist}, std::pair{"schematic", &document.schematic}})
        if (!PyDict_Check(value->ptr()))
            return refuse(refusal, std::string("\"") + name + "\" is " + json_kind(*value) +
                                       ", not an object");
    return true;
}

namespace {

/// What a value read from YAML is, when a JSON answer cannot carry it; empty
/// when it can (as a value, or as a key when `as_key`).
std::string unfit(nb::handle value, bool as_key) {
    PyObject* object = value.ptr();
    if (PyUnicode_Check(object)) {
        if (PyUnicode_AsUTF8AndSize(object, nullptr) != nullptr)
            return "";
        PyErr_Clear();
        return "text that is not valid Unicode (a lone surrogate)";
    }
    if (object == Py_None || PyBool_Check(object) || PyLong_Check(object))
        return "";
    if (PyFloat_Check(object))
        return std::isfinite(PyFloat_AS_DOUBLE(object))
                   ? ""
                   : "a number JSON cannot carry (" + nb::cast<std::string>(nb::repr(value)) + ")";
    if (!as_key && (PyDict_Check(object) || PyList_Check(object)))
        return "";
    if (PyBytes_Check(object))
        return "binary data (!!binary)";
    if (PyAnySet_Check(object))
        return "a set (!!set)";
    const std::string type = nb::cast<std::string>(nb::str(value.type().attr("__name__")));
    if (type == "datetime" || type == "date")
        return "a timestamp (!!timestamp)";
    return "a value of type " + type;
}

std::string entry_name(const std::string& parent, nb::handle key) {
    const std::string name = nb::cast<std::string>(nb::str(key));
    return parent.empty() ? name : parent + "." + name;
}

} // namespace

std::string entry_unfit_for_json(nb::handle value) {
    std::vector<std::pair<nb::handle, std::string>> pending{{value, ""}};
    while (!pending.empty()) {
        auto [current, path] = pending.back();
        pending.pop_back();
        if (PyDict_Check(current.ptr())) {
            PyObject *key, *item;
            Py_ssize_t position = 0;
            std::vector<std::pair<nb::handle, std::string>> entries;
            while (PyDict_Next(current.ptr(), &position, &key, &item)) {
                if (std::string what = unfit(key, true); !what.empty())
                    return "the key " + nb::cast<std::string>(nb::repr(key)) +
                           (path.empty() ? "" : " of " + path) + " is " + what;
                entries.emplace_back(item, entry_name(path, key));
            }
            pending.insert(pending.end(), entries.rbegin(), entries.rend()); // in order
        } else if (PyList_Check(current.ptr())) {
            const Py_ssize_t size = PyList_GET_SIZE(current.ptr());
            for (Py_ssize_t i = size - 1; i >= 0; --i)
                pending.emplace_back(PyList_GET_ITEM(current.ptr(), i),
                                     path + "[" + std::to_string(i) + "]");
        } else if (std::string what = unfit(current, false); !what.empty()) {
            return "the entry " + path + " holds " + what;
        }
    }
    return "";
}

} // namespace quillon::schematic
