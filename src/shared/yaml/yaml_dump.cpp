/// Writing Python values as YAML: the text of PyYAML's `safe_dump`, made by PyYAML's C
/// emitter wherever that emitter is known to write the very same text.
///
/// Both emitters share PyYAML's representer and resolver, so they choose the same scalars
/// and styles; they part in two places. A mapping key of 123 to 127 characters, or an empty
/// one, is a simple key for one and a `? ` key for the other. A double-quoted text that
/// runs past the line width is folded at other places. A document is left to the C emitter
/// only when it holds neither: plain data (mappings with text keys, lists, texts, numbers,
/// booleans, None), keys short and on one line, and every text that needs escapes (any
/// character outside printable ASCII) ending within the line width wherever it stands.

#include "quillon/py.hpp"
#include "quillon/yaml.hpp"

namespace quillon::yaml {

namespace {

/// PyYAML's default line width, past which both emitters fold.
constexpr Py_ssize_t line_width = 80;
/// The longest key (in UTF-8 bytes) that both emitters write as a simple key: PyYAML counts
/// its characters and the five of its `!!str` tag below 128, libyaml its bytes and the tag
/// up to 128.
constexpr Py_ssize_t longest_simple_key = 122;
/// Deeper documents are left to the Python emitter, which the walk need not follow.
constexpr int deepest = 64;
/// PyYAML's indentation, and the width of a list's `- `.
constexpr Py_ssize_t indent_step = 2;

bool is_line_break(Py_UCS4 c) {
    return c == '\n' || c == '\r' || c == 0x85 || c == 0x2028 || c == 0x2029;
}

/// Width of one character written double-quoted with ASCII escapes, as PyYAML does.
Py_ssize_t escaped_width(Py_UCS4 c) {
    if (c >= 0x20 && c <= 0x7E)
        return c == '"' || c == '\\' ? 2 : 1;
    switch (c) {
    case 0x00:
    case 0x07:
    case 0x08:
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x1B:
    case 0x85:
    case 0xA0:
    case 0x2028:
    case 0x2029:
        return 2;
    default:
        return c <= 0xFF ? 4 : c <= 0xFFFF ? 6 : 10;
    }
}

/// What of a text decides how the emitters write it.
struct TextShape {
    bool printable_ascii = true; ///< written as it is (plain or single-quoted)
    bool surrogate = false;      ///< not encodable: the C emitter fails where Python does not
    bool line_break = false;
    Py_ssize_t escaped = 0; ///< width written double-quoted, quotes left out
    Py_ssize_t utf8_bytes = 0;
};

TextShape shape_of(PyObject* text) {
    TextShape shape;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        shape.utf8_bytes = length;
        const auto* chars = static_cast<const unsigned char*>(PyUnicode_DATA(text));
        for (Py_ssize_t i = 0; i < length; ++i) {
            const unsigned char c = chars[i];
            shape.escaped += escaped_width(c);
            if (c < 0x20 || c == 0x7F) {
                shape.printable_ascii = false;
                shape.line_break = shape.line_break || is_line_break(c);
            }
        }
        return shape;
    }
    shape.printable_ascii = false;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        shape.escaped += escaped_width(c);
        shape.utf8_bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        shape.surrogate = shape.surrogate || (c >= 0xD800 && c <= 0xDFFF);
        shape.line_break = shape.line_break || is_line_break(c);
    }
    return shape;
}

/// Whether both emitters write `value` alike when it starts at `column`: the column of its
/// keys for a mapping, of its dashes for a list, of its first character for a scalar.
/// A key's width is taken quoted and escaped, the widest it can be written.
bool emitters_agree(PyObject* value, Py_ssize_t column, int depth) {
    if (depth > deepest)
        return false;
    if (PyDict_CheckExact(value)) {
        Py_ssize_t position = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key))
                return false;
            const TextShape shape = shape_of(key);
            if (shape.utf8_bytes == 0 || shape.utf8_bytes > longest_simple_key || shape.surrogate ||
                shape.line_break)
                return false;
            // a mapping below starts on the next line, indented; a list there is not
            // indented; a scalar follows the key, its quotes and ": "
            const Py_ssize_t at = PyDict_CheckExact(item)   ? column + indent_step
                                  : PyList_CheckExact(item) ? column
                                                            : column + shape.escaped + 2 + 2;
            if (!emitters_agree(item, at, depth + 1))
                return false;
        }
        return true;
    }
    if (PyList_CheckExact(value)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i)
            if (!emitters_agree(PyList_GET_ITEM(value, i), column + indent_step, depth + 1))
                return false;
        return true;
    }
    if (PyUnicode_CheckExact(value)) {
        const TextShape shape = shape_of(value);
        if (shape.printable_ascii)
            return true;
        return !shape.surrogate && column + shape.escaped + 2 <= line_width;
    }
    return value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) ||
           PyFloat_CheckExact(value);
}

} // namespace

bool c_emitter_agrees(nb::handle yaml_module, nb::handle value) {
    if (!emitters_agree(value.ptr(), 0, 0))
        return false;
    PyObject* dumper = PyObject_GetAttrString(yaml_module.ptr(), "CSafeDumper");
    if (!dumper) { // PyYAML built without libyaml
        PyErr_Clear();
        return false;
    }
    Py_DECREF(dumper);
    return true;
}

nb::object safe_dump(nb::handle yaml_module, nb::handle value) {
    if (c_emitter_agrees(yaml_module, value))
        return attribute(yaml_module,
                         "dump")(value, nb::arg("Dumper") = attribute(yaml_module, "CSafeDumper"),
                                 nb::arg("sort_keys") = false);
    return attribute(yaml_module, "safe_dump")(value, nb::arg("sort_keys") = false);
}

} // namespace quillon::yaml
