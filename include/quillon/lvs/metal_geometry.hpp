#pragma once
/// Where electrical nets meet or part in the layout's metal, for the markers of
/// shorts and opens: a netlist extraction of the checked cell made only when
/// the first such finding asks, which reads the layout without changing it.

#include <nanobind/nanobind.h>

#include <optional>
#include <vector>

namespace quillon::lvs {
namespace nb = nanobind;

class LayoutInstances;

/// Marks at most `search_limit` findings: each search reads nets' shapes, and
/// a layout whose metal is missing altogether would otherwise pay one per net.
class MetalGeometry {
  public:
    static constexpr size_t search_limit = 1000;

    /// Over `layer_sets` (the kit's connectivity, or, when it gives none, the
    /// sets the electrical stage derives) in the layout of `cell`.
    MetalGeometry(nb::handle cell, nb::handle layer_sets, LayoutInstances& instances)
        : cell_(cell), layer_sets_(layer_sets), instances_(instances) {}

    using Parts = std::vector<std::vector<nb::object>>;
    /// Where the metal of `parts` (groups of endpoints that one layout net
    /// joins) touches: the shapes that two parts reach first at once, and the
    /// places where a shape reached from one part touches one reached from
    /// another; micrometre polygons and boxes.
    std::vector<nb::object> junctions(const Parts& parts);
    /// Where the metal of `pieces` (groups of endpoints of one reference net
    /// that the layout keeps apart) comes closest: the overlaps of two pieces'
    /// metal on unconnected layers (a missing via), else the narrowest gap.
    std::vector<nb::object> gaps(const Parts& pieces);

  private:
    bool ready();
    /// The net at an endpoint's port and the transformation of its shapes
    /// into the checked cell (database units), or nothing.
    std::optional<std::pair<nb::object, nb::object>> net_at(nb::handle endpoint);
    /// The shapes of a net on each layer, in the checked cell.
    std::vector<std::pair<size_t, nb::object>> shapes(const std::pair<nb::object, nb::object>& net);

    nb::handle cell_;
    nb::handle layer_sets_;
    LayoutInstances& instances_;
    bool tried_ = false;
    size_t searches_ = 0;
    nb::object extractor_;
    std::vector<nb::object> layers_;       ///< the extraction's layers
    std::vector<nb::object> layer_names_;  ///< the identifier of each
    std::vector<std::vector<bool>> touch_; ///< which layers conduct into which
    double dbu_ = 0.001;
};

} // namespace quillon::lvs
