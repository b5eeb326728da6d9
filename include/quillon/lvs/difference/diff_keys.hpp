#pragma once
/// Reading one netlist entry ("instances", "nets", "ports") out of a netlist
/// difference key by key. The difference lists a mapping's keys one by one,
/// or, when the two mappings share too few keys, reports the whole mapping as
/// one changed value; these helpers give the same per-key answer either way.

#include <nanobind/nanobind.h>

#include <vector>

namespace quillon::lvs {
namespace nb = nanobind;

/// The side of the comparison: the reference is the old side, the layout the new one.
enum class Side { reference, layout };

/// Keys of the netlist entry `entry` that only `side` has: those the
/// difference lists one by one, in its order, then those of a whole-mapping
/// change, in the order of that side's mapping.
nb::list one_sided_keys(nb::handle diff, const char* entry, Side side);

/// A key both sides have whose value differs.
struct ChangedKey {
    nb::object key;
    nb::object reference_value;
    nb::object layout_value;
};

/// Keys of `entry` that both sides have with different values. With `field`,
/// the values are mappings compared at that one field (an instance's
/// "component"); without, the values themselves are compared.
std::vector<ChangedKey> changed_keys(nb::handle diff, const char* entry, const char* field);

/// Whether the difference says anything about `entry`.
bool entry_differs(nb::handle diff, const char* entry);

} // namespace quillon::lvs
