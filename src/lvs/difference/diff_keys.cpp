/// Per-key reading of a netlist entry out of the netlist difference, for
/// entries listed key by key and for entries reported whole alike.

#include "quillon/lvs/difference/diff_keys.hpp"
#include "quillon/py.hpp"

#include <nanobind/stl/string.h>

#include <string>

namespace quillon::lvs {

namespace {

/// "root['ENTRY']", the path of the whole entry.
std::string entry_path(const char* entry) {
    return std::string("root['") + entry + "']";
}

/// The key of a path "ENTRY_PATH[<q>KEY<q>]SUFFIX", the key quoted with single or
/// double quotes and nothing escaped (as the difference writes it); an invalid
/// object for any other path.
nb::object key_of_path(nb::handle path, const std::string& prefix, const std::string& suffix) {
    if (!PyUnicode_Check(path.ptr()))
        return nb::object();
    const std::string text = nb::cast<std::string>(path);
    if (text.size() < prefix.size() + suffix.size() + 4 ||
        text.compare(0, prefix.size(), prefix) != 0 ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return nb::object();
    const std::string quoted_key =
        text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
    const char quote = quoted_key[1];
    const size_t last = quoted_key.size() - 1;
    if (quoted_key[0] != '[' || quoted_key[last] != ']' || (quote != '\'' && quote != '"') ||
        quoted_key[last - 1] != quote)
        return nb::object();
    return nb::str(quoted_key.substr(2, quoted_key.size() - 4).c_str(), quoted_key.size() - 4);
}

/// The mapping a whole-entry change holds on one side, or an invalid object.
nb::object whole_side(nb::handle diff, const char* entry, const char* side) {
    nb::object changed = diff.attr("get")("values_changed");
    if (changed.is_none())
        return nb::object();
    nb::object whole = changed.attr("get")(entry_path(entry).c_str());
    if (whole.is_none())
        return nb::object();
    nb::object value = whole.attr("get")(side);
    if (!PyDict_Check(value.ptr()))
        return nb::object();
    return value;
}

bool contains(nb::handle mapping, nb::handle key) {
    const int found = PyDict_Contains(mapping.ptr(), key.ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

bool equal(nb::handle a, nb::handle b) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

/// The value compared for a key: the value itself, or its `field` when it is a mapping.
nb::object compared_value(nb::handle value, const char* field) {
    if (!field)
        return nb::borrow(value);
    if (!PyDict_Check(value.ptr()))
        return nb::none();
    PyObject* found = PyDict_GetItemString(value.ptr(), field);
    return found ? nb::borrow(found) : nb::none();
}

} // namespace

nb::list one_sided_keys(nb::handle diff, const char* entry, Side side) {
    const bool layout = side == Side::layout;
    const std::string prefix = entry_path(entry);
    nb::list keys;
    nb::object listed =
        diff.attr("get")(layout ? "dictionary_item_added" : "dictionary_item_removed");
    if (!listed.is_none())
        for (nb::handle path : listed) {
            nb::object key = key_of_path(path, prefix, "");
            if (key.is_valid())
                keys.append(key);
        }
    nb::object mine = whole_side(diff, entry, layout ? "new_value" : "old_value");
    nb::object theirs = whole_side(diff, entry, layout ? "old_value" : "new_value");
    if (mine.is_valid())
        for (nb::handle key : mine)
            if (!theirs.is_valid() || !contains(theirs, key))
                keys.append(key);
    return keys;
}

std::vector<ChangedKey> changed_keys(nb::handle diff, const char* entry, const char* field) {
    const std::string prefix = entry_path(entry);
    const std::string suffix = field ? std::string("['") + field + "']" : std::string();
    std::vector<ChangedKey> changes;
    nb::object changed = diff.attr("get")("values_changed");
    nb::object type_changes = diff.attr("get")("type_changes");
    for (nb::handle kind : {changed, type_changes}) {
        if (kind.is_none())
            continue;
        for (nb::handle pair : kind.attr("items")()) {
            nb::object key = key_of_path(pair[0], prefix, suffix);
            if (!key.is_valid())
                continue;
            nb::object values = pair[1];
            changes.push_back(
                {key, values.attr("get")("old_value"), values.attr("get")("new_value")});
        }
    }
    nb::object reference = whole_side(diff, entry, "old_value");
    nb::object layout = whole_side(diff, entry, "new_value");
    if (reference.is_valid() && layout.is_valid())
        for (nb::handle pair : layout.attr("items")()) {
            nb::handle key = pair[0];
            if (!contains(reference, key))
                continue;
            nb::object old_value =
                compared_value(nb::borrow(PyDict_GetItem(reference.ptr(), key.ptr())), field);
            nb::object new_value = compared_value(pair[1], field);
            if (!equal(old_value, new_value))
                changes.push_back({nb::borrow(key), old_value, new_value});
        }
    return changes;
}

bool entry_differs(nb::handle diff, const char* entry) {
    const std::string prefix = entry_path(entry);
    for (nb::handle pair : diff.attr("items")()) {
        nb::handle paths = pair[1];
        for (nb::handle path : paths)
            if (PyUnicode_Check(path.ptr()) &&
                nb::cast<std::string>(path).compare(0, prefix.size(), prefix) == 0)
                return true;
    }
    return false;
}

} // namespace quillon::lvs
