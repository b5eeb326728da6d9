/// Sorting instances and subcircuits by (placement, name).
///
/// KLayout orders transformations by displacement (y, then x) before rotation
/// and magnification, and treats coordinates closer than 1e-5 µm as equal.
/// Calling into KLayout for each of the n log n comparisons dominates the
/// sort on large layouts, so coordinates that are clearly apart or clearly
/// equal are compared here; everything else asks KLayout. The sort itself is
/// the interpreter's list sort over small key objects, so that it makes the
/// same comparisons, and gives the same order, as sorting (trans, name) tuples.

#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/lvs/lvs.hpp"

#include <cmath>

namespace quillon::lvs {

namespace {

/// Coordinates this far apart differ for KLayout; this close they are equal.
constexpr double clearly_apart = 1e-4;
constexpr double clearly_equal = 1e-7;

struct KeyObject {
    PyObject_HEAD const PlacementKey* key;
};

/// The key type, created when the module loads and never freed (a plain
/// pointer: nothing to destroy when the process exits).
PyTypeObject* key_type = nullptr;

/// 1 if `a` < `b` compared like the tuples (a.trans, a.name) and
/// (b.trans, b.name), 0 if not, -1 with a Python error set.
int key_less(const PlacementKey& a, const PlacementKey& b) {
    const Placement& pa = a.placement;
    const Placement& pb = b.placement;
    if (pa.numeric && pb.numeric) {
        const double dy = std::fabs(pa.y - pb.y);
        if (dy >= clearly_apart)
            return pa.y < pb.y;
        if (dy <= clearly_equal && std::fabs(pa.x - pb.x) >= clearly_apart)
            return pa.x < pb.x;
    }
    nb::object ta = pa.transformation();
    nb::object tb = pb.transformation();
    int equal = PyObject_RichCompareBool(ta.ptr(), tb.ptr(), Py_EQ);
    if (equal < 0)
        return -1;
    if (!equal)
        return PyObject_RichCompareBool(ta.ptr(), tb.ptr(), Py_LT);
    equal = PyObject_RichCompareBool(a.name.ptr(), b.name.ptr(), Py_EQ);
    if (equal < 0)
        return -1;
    if (!equal)
        return PyObject_RichCompareBool(a.name.ptr(), b.name.ptr(), Py_LT);
    return 0;
}

PyObject* key_richcompare(PyObject* a, PyObject* b, int op) {
    if (op != Py_LT || Py_TYPE(a) != key_type || Py_TYPE(b) != key_type)
        Py_RETURN_NOTIMPLEMENTED;
    try {
        const int less =
            key_less(*reinterpret_cast<KeyObject*>(a)->key, *reinterpret_cast<KeyObject*>(b)->key);
        if (less < 0)
            return nullptr;
        return PyBool_FromLong(less);
    } catch (nb::python_error& error) {
        // the sort runs inside the interpreter: the error goes back to it
        error.restore();
        return nullptr;
    }
}

PyType_Slot key_slots[] = {{Py_tp_richcompare, reinterpret_cast<void*>(key_richcompare)},
                           {0, nullptr}};

PyType_Spec key_spec = {"quillon.core.lvs._PlacementKey", sizeof(KeyObject), 0, Py_TPFLAGS_DEFAULT,
                        key_slots};

} // namespace

Placement Placement::of(nb::object trans, const TransNames& names) {
    Placement placement;
    placement.trans = trans;
    if (Py_TYPE(trans.ptr()) == reinterpret_cast<PyTypeObject*>(deps().dcplx_trans.ptr())) {
        nb::object disp = get_attribute(trans, names.disp);
        placement.x = as_double(get_attribute(disp, names.x));
        placement.y = as_double(get_attribute(disp, names.y));
        placement.numeric = std::isfinite(placement.x) && std::isfinite(placement.y);
    }
    return placement;
}

nb::object Placement::transformation() const {
    if (trans.is_valid() || orientation < 0)
        return trans;
    const Dependencies& d = deps();
    // as the cell library makes it again: equal to the instance's own
    return d.dcplx_trans(d.dtrans(orientation % 4, orientation >= 4, x, y));
}

std::vector<size_t> placement_order(const std::vector<PlacementKey>& keys) {
    nb::list list = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    for (size_t i = 0; i < keys.size(); ++i) {
        KeyObject* object = PyObject_New(KeyObject, key_type);
        if (!object)
            throw nb::python_error();
        object->key = &keys[i];
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i),
                        reinterpret_cast<PyObject*>(object));
    }
    if (PyList_Sort(list.ptr()) < 0)
        throw nb::python_error();
    std::vector<size_t> order;
    order.reserve(keys.size());
    for (nb::handle item : list)
        order.push_back(
            static_cast<size_t>(reinterpret_cast<KeyObject*>(item.ptr())->key - keys.data()));
    return order;
}

void register_placement_order(nb::module_&) {
    if (key_type)
        return;
    key_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&key_spec));
    if (!key_type)
        throw nb::python_error();
}

} // namespace quillon::lvs
