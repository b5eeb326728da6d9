/// PinIndex: the name of the named instance behind an extracted subcircuit,
/// found in constant time instead of by a search over all instances.
///
/// Placements are hashed on a grid of `cell_size` µm whose cells are centred
/// on multiples of it, so placements on the database grid lie well inside
/// their cell. KLayout treats placements whose coordinates differ by less than
/// 1e-5 µm as equal, so a lookup visits every grid cell within `reach` of the
/// point (almost always one) and lets KLayout decide equality for the
/// instances found there.

#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/lvs/lvs.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillon::lvs {

namespace {

constexpr double cell_size = 1e-3;
constexpr double reach = 2e-5;
constexpr size_t none = std::numeric_limits<size_t>::max();

int64_t grid(double v) {
    return static_cast<int64_t>(std::floor(v / cell_size + 0.5));
}

} // namespace

uint64_t PinIndex::BucketHash::operator()(const Bucket& b) const {
    return hash_fields({b.bx, b.by, b.cell_id});
}

void PinIndex::add(nb::handle name, const std::string& cell_name, const Placement& placement) {
    auto [id_entry, added] = cell_ids_.try_emplace(cell_name, static_cast<int>(all_.size()));
    if (added) {
        all_.emplace_back();
        irregular_.emplace_back();
    }
    const int id = id_entry->second;
    const size_t position = entries_.size();
    entries_.push_back({nb::borrow(name), placement.transformation()});
    next_.push_back(none);
    all_[static_cast<size_t>(id)].push_back(position);
    if (placement.numeric) {
        // most grid cells hold one instance: a chain, not a list per cell
        const uint32_t bucket = buckets_.number({id, grid(placement.x), grid(placement.y)});
        if (bucket == chains_.size()) {
            chains_.push_back({position, position});
        } else {
            next_[chains_[bucket].last] = position;
            chains_[bucket].last = position;
        }
    } else {
        irregular_[static_cast<size_t>(id)].push_back(position);
    }
}

void PinIndex::add_named_instances(nb::handle cell) {
    CellNames cell_names;
    for (nb::handle instance : cell.attr("insts").attr("elements")()) {
        if (!PyObject_IsTrue(instance.attr("property")(deps().cg_name_propid).ptr())) {
            if (PyErr_Occurred())
                throw nb::python_error();
            continue;
        }
        const long long cell_index = nb::cast<long long>(instance.attr("cell_index"));
        add(instance.attr("name"), cell_names.of(instance, cell_index).text,
            Placement::of(instance.attr("dcplx_trans")));
    }
}

int PinIndex::cell_id(const std::string& cell_name) const {
    auto found = cell_ids_.find(cell_name);
    return found == cell_ids_.end() ? -1 : found->second;
}

bool PinIndex::placed_at(size_t position, nb::handle trans) const {
    const int equal = PyObject_RichCompareBool(entries_[position].trans.ptr(), trans.ptr(), Py_EQ);
    if (equal < 0)
        throw nb::python_error();
    return equal == 1;
}

size_t PinIndex::first_equal(const Positions& positions, nb::handle trans) const {
    for (size_t position : positions)
        if (placed_at(position, trans))
            return position;
    return none;
}

size_t PinIndex::first_equal_from(size_t position, nb::handle trans) const {
    for (; position != none; position = next_[position])
        if (placed_at(position, trans))
            return position;
    return none;
}

nb::handle PinIndex::find(int cell_id, nb::handle trans) const {
    if (cell_id < 0)
        return nb::handle();
    const size_t id = static_cast<size_t>(cell_id);
    Placement placement = Placement::of(nb::borrow(trans), trans_names_);
    size_t found = none;
    if (!placement.numeric) {
        found = first_equal(all_[id], trans);
    } else {
        const int64_t xs[2] = {grid(placement.x - reach), grid(placement.x + reach)};
        const int64_t ys[2] = {grid(placement.y - reach), grid(placement.y + reach)};
        for (int i = 0; i < (xs[0] == xs[1] ? 1 : 2); ++i)
            for (int j = 0; j < (ys[0] == ys[1] ? 1 : 2); ++j) {
                const uint32_t bucket = buckets_.find({cell_id, xs[i], ys[j]});
                if (bucket != buckets_.absent)
                    found = std::min(found, first_equal_from(chains_[bucket].first, trans));
            }
        found = std::min(found, first_equal(irregular_[id], trans));
    }
    return found == none ? nb::handle() : nb::handle(entries_[found].name);
}

} // namespace quillon::lvs
