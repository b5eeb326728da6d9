/// PinIndex: the named instance behind an extracted subcircuit, found in
/// constant time instead of by a search over all instances.
///
/// Placements are hashed on a grid of `cell_size` µm. KLayout treats
/// placements whose coordinates differ by less than 1e-5 µm as equal, so a
/// lookup visits every grid cell within `reach` of the point (one to four) and
/// lets KLayout decide equality for the instances found there.

#include "quillon/lvs/extraction.hpp"
#include "quillon/lvs/lvs.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

namespace quillon::lvs {

namespace {

constexpr double cell_size = 1e-3;
constexpr double reach = 2e-5;
constexpr size_t none = std::numeric_limits<size_t>::max();

int64_t grid(double v) {
    return static_cast<int64_t>(std::floor(v / cell_size));
}

} // namespace

size_t PinIndex::BucketHash::operator()(const Bucket& b) const {
    size_t h = std::hash<std::string>()(b.cell_name);
    h ^= std::hash<int64_t>()(b.bx) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    h ^= std::hash<int64_t>()(b.by) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
}

void PinIndex::add(nb::handle instance, const std::string& cell_name, const Placement& placement) {
    const size_t position = entries_.size();
    entries_.push_back({nb::borrow(instance), placement.trans});
    by_name_[cell_name].push_back(position);
    if (placement.numeric)
        buckets_[{cell_name, grid(placement.x), grid(placement.y)}].push_back(position);
    else
        irregular_[cell_name].push_back(position);
}

void PinIndex::add_named_instances(nb::handle cell) {
    CellNames cell_names;
    for (nb::handle instance : cell.attr("insts")) {
        if (!PyObject_IsTrue(instance.attr("property")(deps().cg_name_propid).ptr())) {
            if (PyErr_Occurred())
                throw nb::python_error();
            continue;
        }
        const long long cell_index = nb::cast<long long>(instance.attr("cell_index"));
        add(instance, cell_names.of(instance, cell_index).text,
            Placement::of(instance.attr("dcplx_trans")));
    }
}

size_t PinIndex::first_equal(const Positions& positions, nb::handle trans) const {
    for (size_t position : positions) {
        const int equal =
            PyObject_RichCompareBool(entries_[position].trans.ptr(), trans.ptr(), Py_EQ);
        if (equal < 0)
            throw nb::python_error();
        if (equal)
            return position;
    }
    return none;
}

nb::handle PinIndex::find(const std::string& cell_name, nb::handle trans) const {
    Placement placement = Placement::of(nb::borrow(trans));
    size_t found = none;
    if (!placement.numeric) {
        auto all = by_name_.find(cell_name);
        if (all != by_name_.end())
            found = first_equal(all->second, trans);
    } else {
        int64_t xs[2] = {grid(placement.x - reach), grid(placement.x + reach)};
        int64_t ys[2] = {grid(placement.y - reach), grid(placement.y + reach)};
        for (int i = 0; i < (xs[0] == xs[1] ? 1 : 2); ++i)
            for (int j = 0; j < (ys[0] == ys[1] ? 1 : 2); ++j) {
                auto bucket = buckets_.find({cell_name, xs[i], ys[j]});
                if (bucket != buckets_.end())
                    found = std::min(found, first_equal(bucket->second, trans));
            }
        auto odd = irregular_.find(cell_name);
        if (odd != irregular_.end())
            found = std::min(found, first_equal(odd->second, trans));
    }
    return found == none ? nb::handle() : nb::handle(entries_[found].instance);
}

} // namespace quillon::lvs
