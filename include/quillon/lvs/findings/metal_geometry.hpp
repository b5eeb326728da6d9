#pragma once
/// Where electrical nets meet or part in the layout's metal, for the markers of
/// shorts and opens. Each search extracts the nets of the metal within a
/// window around the finding's ports, a flat copy that leaves the layout as it
/// is, and widens the window until the search succeeds or covers the cell: a
/// finding costs what its neighbourhood holds, not what the layout does.

#include <nanobind/nanobind.h>

#include <vector>

namespace quillon::lvs {
namespace nb = nanobind;

class LayoutInstances;

/// Searches at most `search_limit` findings: a layout whose metal is missing
/// altogether would otherwise pay one search per net.
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

    /// A port of a part: where it is (database units), on which layer, in which part.
    struct Pin {
        int64_t x, y;
        long layer; ///< among the layers searched, -1 when on none of them
        size_t part;
    };
    /// The extraction of the metal within one window.
    struct Window {
        nb::object layout; ///< the flat copy the extractor reads
        nb::object extractor;
        std::vector<nb::object> layers; ///< the extractor's, in the order of `layer_indexes_`
    };

  private:
    /// Resolves the layers once; false when the layout has none of them.
    bool layers_known();
    /// The electrical ports of `parts` that the layout has.
    std::vector<Pin> pins(const Parts& parts) const;
    template <typename Find> std::vector<nb::object> search(const Parts& parts, Find find);
    Window window(nb::handle box) const;

    nb::handle cell_;
    nb::handle layer_sets_;
    LayoutInstances& instances_;
    bool resolved_ = false;
    size_t searches_ = 0;
    std::vector<nb::object> layer_indexes_; ///< in the layout
    std::vector<nb::object> layer_names_;   ///< the identifier of each
    std::vector<std::vector<bool>> touch_;  ///< which layers conduct into which
    double dbu_ = 0.001;
};

} // namespace quillon::lvs
