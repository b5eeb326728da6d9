#pragma once
/// The instances of the layout cell by name, read in one pass and shared by
/// every lookup of a check.

#include "quillon/lvs/lvs.hpp"

#include <optional>
#include <vector>

namespace quillon::lvs {

struct CellInstances;

/// The layout cell's instances, read once when first asked for. Looking a name
/// up through the cell library (`cell.insts[name]`) builds a name index that
/// the library keeps on the cell and builds again for every name the layout
/// lacks; this table is built once and freed with the check.
class LayoutInstances {
  public:
    explicit LayoutInstances(nb::handle cell) : cell_(cell) {}

    nb::handle cell() const { return cell_; }

    /// Fills the table from the instances the extraction read already, when
    /// it kept KLayout's instance of each named one; else leaves it to be
    /// read when first asked for.
    void take(const CellInstances& read);

    /// A named instance found by name: KLayout's instance, the (i, j) of the
    /// element when that instance is an array (else None), and the index of
    /// the cell it places.
    struct Found {
        nb::handle instance;
        nb::handle element;
        long long cell_index;
    };
    /// The cell library's instance of what `find` found.
    nb::object wrap(const Found& found) const;
    /// The instance named `name`: the first whose name property reads (as
    /// text) as `name`; nothing when the layout has none.
    std::optional<Found> find(nb::handle name);

    /// What `cell.insts[key]` gives: the library's instance of that name, a
    /// KeyError when the layout has none; a number is a position among the
    /// instances, as the library takes it.
    nb::object operator[](nb::handle key);

    /// Whether any instance of the cell carries a name property.
    bool any_named();

    /// The named instances (the cell library's) whose name another instance
    /// shares, grouped by name in the order the names first appear; only
    /// names that are texts.
    SharedNames sharing_a_name();

  private:
    void read();
    /// Adds the next named instance, in the cell's order: KLayout's instance,
    /// its name property and that property as text, and the element's (i, j)
    /// when it is an element of an instance array.
    void add(nb::handle instance, nb::handle property, nb::handle name, long long cell_index,
             nb::handle element = nb::none());
    /// Adds every element of the named instance array `instance`.
    void add_elements(nb::handle instance);

    static constexpr long long unread = -1;

    nb::handle cell_;
    bool read_ = false;
    nb::list named_;                      ///< KLayout's named instances, in the cell's order
    std::vector<nb::object> properties_;  ///< the name property of each of `named_`
    std::vector<nb::object> elements_;    ///< of each of `named_`: its (i, j), or None
    std::vector<long long> cell_indexes_; ///< of each of `named_`; `unread` until asked for
    nb::dict by_name_;          ///< name as text -> position in `named_` of its first instance
    bool names_repeat_ = false; ///< whether two instances fell under one key of `by_name_`
};

} // namespace quillon::lvs
