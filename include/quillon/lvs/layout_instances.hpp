#pragma once
/// The instances of the layout cell by name, read in one pass and shared by
/// every lookup of a check.

#include "quillon/lvs/lvs.hpp"

#include <vector>

namespace quillon::lvs {

/// The layout cell's instances, read once when first asked for. Looking a name
/// up through the cell library (`cell.insts[name]`) builds a name index that
/// the library keeps on the cell and builds again for every name the layout
/// lacks; this table is built once and freed with the check.
class LayoutInstances {
  public:
    explicit LayoutInstances(nb::handle cell) : cell_(cell) {}

    nb::handle cell() const { return cell_; }

    /// The KLayout instance named `name`: the first whose name property reads
    /// (as text) as `name`; an invalid handle when the layout has none.
    nb::handle find(nb::handle name);

    /// What `cell.insts[key]` gives: the library's instance of that name, a
    /// KeyError when the layout has none; a number is a position among the
    /// instances, as the library takes it.
    nb::object operator[](nb::handle key);

    /// The named instances whose name another instance shares, grouped by
    /// name in the order the names first appear; only names that are texts.
    SharedNames sharing_a_name();

  private:
    void read();

    nb::handle cell_;
    bool read_ = false;
    nb::list named_; ///< KLayout's instances with properties, in the cell's order
    /// The name property of each distinct property id, in order of first appearance.
    std::vector<nb::object> names_;
    std::vector<size_t> slots_; ///< for each of `named_`, its name's place in `names_`
    nb::dict by_name_;
    bool names_repeat_ = false; ///< whether two instances fell under one key of `by_name_`
};

} // namespace quillon::lvs
