/// Native netlist difference: the result DeepDiff(ref, layout, ignore_order=True).to_dict()
/// gives, computed without DeepDiff for the values netlists are made of.
///
/// Covered: mappings of the exact `dict` type, strings, integers, floats, booleans and None,
/// and a change of type between any two of those (or lists, tuples, sets and bytes). The walk
/// visits values in DeepDiff's order (per mapping: added keys in the new side's order, removed
/// keys in the old side's order, then shared keys in the new side's order, depth first) and
/// fills one ordered collection per kind of change, so entries keep DeepDiff's order. Anything
/// else met on the way (a list to compare with a list, a key that is not a string where a path
/// must name it, a mapping subclass) abandons the walk: the caller hands the whole pair to
/// DeepDiff.

#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <vector>

namespace quillon::lvs {

namespace {

/// DeepDiff's default `threshold_to_diff_deeper`: two mappings that share fewer than this
/// fraction of their keys are reported as one changed value.
constexpr double whole_mapping_threshold = 0.33;

/// Thrown when the pair holds something the native walk does not compare.
struct NotNative {};

bool contains(nb::handle mapping, nb::handle key) {
    const int found = PyDict_Contains(mapping.ptr(), key.ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

/// Types whose change to another type DeepDiff reports as a plain type change with both values.
bool reports_type_change(PyTypeObject* type) {
    return type == &PyUnicode_Type || type == &PyDict_Type || type == &PyList_Type ||
           type == &PyTuple_Type || type == &PyLong_Type || type == &PyFloat_Type ||
           type == &PyBool_Type || type == Py_TYPE(Py_None) || type == &PyBytes_Type ||
           type == &PySet_Type || type == &PyFrozenSet_Type;
}

/// One mapping's key as DeepDiff writes it into a path: between single quotes, or between
/// double quotes when the key holds a single quote. Nothing is escaped.
nb::object append_key(nb::handle prefix, nb::handle key) {
    if (!PyUnicode_CheckExact(key.ptr()))
        throw NotNative{};
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key.ptr());
    const Py_ssize_t quote = PyUnicode_FindChar(key.ptr(), '\'', 0, length, 1);
    if (quote == -2)
        throw nb::python_error();
    const char* format = quote >= 0 ? "%U[\"%U\"]" : "%U['%U']";
    return format_text(format, prefix, key);
}

class Walk {
  public:
    /// Compares the two roots; throws NotNative when DeepDiff has to do it.
    void run(nb::handle old_root, nb::handle new_root) {
        prefixes_.push_back(nb::str("root"));
        parents_.push_back(old_root.ptr());
        compare(old_root, new_root);
    }
    nb::dict result() const;

  private:
    void compare(nb::handle old_value, nb::handle new_value);
    void compare_dicts(nb::handle old_dict, nb::handle new_dict);
    void compare_strings(nb::handle old_text, nb::handle new_text);
    void compare_scalars(nb::handle old_value, nb::handle new_value);
    void report_type_change(nb::handle old_value, nb::handle new_value);
    nb::dict report_value_change(nb::handle old_value, nb::handle new_value);
    /// The path of the value being compared, formatted on first use.
    nb::handle path();
    nb::object child_path(nb::handle key) { return append_key(path(), key); }

    nb::dict type_changes_;
    nb::list added_;
    nb::list removed_;
    nb::dict values_changed_;
    /// Path keys from the root down to the value being compared.
    std::vector<nb::handle> keys_;
    /// prefixes_[i]: the path of depth i, or an invalid object until it is needed.
    std::vector<nb::object> prefixes_;
    /// The old side's values on the path, root included (DeepDiff's `parents_ids`): a shared key
    /// whose old value is one of them is not descended into again.
    std::vector<PyObject*> parents_;
};

nb::handle Walk::path() {
    for (size_t depth = 1; depth < prefixes_.size(); ++depth)
        if (!prefixes_[depth].is_valid())
            prefixes_[depth] = append_key(prefixes_[depth - 1], keys_[depth - 1]);
    return prefixes_.back();
}

void Walk::compare(nb::handle old_value, nb::handle new_value) {
    if (old_value.is(new_value))
        return;
    PyTypeObject* type = Py_TYPE(old_value.ptr());
    if (type != Py_TYPE(new_value.ptr())) {
        report_type_change(old_value, new_value);
    } else if (type == &PyDict_Type) {
        compare_dicts(old_value, new_value);
    } else if (type == &PyUnicode_Type) {
        compare_strings(old_value, new_value);
    } else if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type) {
        compare_scalars(old_value, new_value);
    } else {
        throw NotNative{};
    }
}

void Walk::compare_dicts(nb::handle old_dict, nb::handle new_dict) {
    PyObject* const old_items = old_dict.ptr();
    PyObject* const new_items = new_dict.ptr();
    // One lookup per key of the new side: the shared pairs and the added keys, in the new
    // side's order. Only exact builtin values are compared natively, so no user code runs
    // while these borrowed pointers are held.
    struct Shared {
        PyObject* key;
        PyObject* old_child;
        PyObject* new_child;
    };
    std::vector<Shared> shared;
    std::vector<PyObject*> added;
    shared.reserve(static_cast<size_t>(PyDict_GET_SIZE(new_items)));
    PyObject* key;
    PyObject* value;
    for (Py_ssize_t at = 0; PyDict_Next(new_items, &at, &key, &value);) {
        PyObject* old_child = PyDict_GetItemWithError(old_items, key);
        if (old_child)
            shared.push_back({key, old_child, value});
        else if (PyErr_Occurred())
            throw nb::python_error();
        else
            added.push_back(key);
    }
    const auto shared_count = static_cast<Py_ssize_t>(shared.size());
    const Py_ssize_t all = PyDict_GET_SIZE(old_items) + PyDict_GET_SIZE(new_items) - shared_count;
    if (all > 1 &&
        static_cast<double>(shared_count) / static_cast<double>(all) < whole_mapping_threshold) {
        report_value_change(old_dict, new_dict);
        return;
    }
    for (PyObject* new_key : added)
        added_.append(child_path(new_key));
    if (shared_count < PyDict_GET_SIZE(old_items))
        for (Py_ssize_t at = 0; PyDict_Next(old_items, &at, &key, &value);)
            if (!contains(new_dict, key))
                removed_.append(child_path(key));
    for (const Shared& pair : shared) {
        // The common leaf: two equal texts need no path bookkeeping.
        if (PyUnicode_CheckExact(pair.old_child) && PyUnicode_CheckExact(pair.new_child)) {
            const int equal = PyUnicode_Compare(pair.old_child, pair.new_child);
            if (equal == 0)
                continue;
            if (equal == -1 && PyErr_Occurred())
                throw nb::python_error();
        }
        bool is_parent = false;
        for (PyObject* parent : parents_)
            is_parent = is_parent || parent == pair.old_child;
        if (is_parent)
            continue;
        nb::object key_kept = nb::borrow(pair.key);
        nb::object old_kept = nb::borrow(pair.old_child);
        nb::object new_kept = nb::borrow(pair.new_child);
        keys_.push_back(key_kept);
        prefixes_.emplace_back();
        parents_.push_back(pair.old_child);
        compare(old_kept, new_kept);
        parents_.pop_back();
        prefixes_.pop_back();
        keys_.pop_back();
    }
}

void Walk::compare_strings(nb::handle old_text, nb::handle new_text) {
    const int equal = PyUnicode_Compare(old_text.ptr(), new_text.ptr());
    if (equal == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (equal == 0)
        return;
    nb::dict change = report_value_change(old_text, new_text);
    nb::str newline("\n");
    if (!PySequence_Contains(old_text.ptr(), newline.ptr()) &&
        !PySequence_Contains(new_text.ptr(), newline.ptr()))
        return;
    // A multi-line text also carries the unified diff of its lines, as DeepDiff adds it.
    nb::list lines = nb::list(deps().unified_diff(
        old_text.attr("splitlines")(), new_text.attr("splitlines")(), nb::arg("lineterm") = ""));
    if (nb::len(lines) > 0)
        change["diff"] = newline.attr("join")(lines);
}

void Walk::compare_scalars(nb::handle old_value, nb::handle new_value) {
    const int differ = PyObject_RichCompareBool(old_value.ptr(), new_value.ptr(), Py_NE);
    if (differ < 0)
        throw nb::python_error();
    if (differ)
        report_value_change(old_value, new_value);
}

void Walk::report_type_change(nb::handle old_value, nb::handle new_value) {
    PyTypeObject* old_type = Py_TYPE(old_value.ptr());
    PyTypeObject* new_type = Py_TYPE(new_value.ptr());
    if (!reports_type_change(old_type) || !reports_type_change(new_type))
        throw NotNative{};
    nb::dict change;
    change["old_type"] = nb::handle(reinterpret_cast<PyObject*>(old_type));
    change["new_type"] = nb::handle(reinterpret_cast<PyObject*>(new_type));
    change["old_value"] = old_value;
    change["new_value"] = new_value;
    type_changes_[path()] = change;
}

nb::dict Walk::report_value_change(nb::handle old_value, nb::handle new_value) {
    nb::dict change;
    change["new_value"] = new_value;
    change["old_value"] = old_value;
    values_changed_[path()] = change;
    return change;
}

nb::dict Walk::result() const {
    nb::dict result;
    if (nb::len(type_changes_) > 0)
        result["type_changes"] = type_changes_;
    if (nb::len(added_) > 0)
        result["dictionary_item_added"] = deps().set_ordered(added_);
    if (nb::len(removed_) > 0)
        result["dictionary_item_removed"] = deps().set_ordered(removed_);
    if (nb::len(values_changed_) > 0)
        result["values_changed"] = values_changed_;
    return result;
}

} // namespace

nb::object native_netlist_diff(nb::handle ref_netlist, nb::handle lvs_netlist) {
    Walk walk;
    try {
        walk.run(ref_netlist, lvs_netlist);
    } catch (const NotNative&) {
        return nb::object();
    }
    return walk.result();
}

} // namespace quillon::lvs
