/// CellNames: the name of an instance's cell, read once per cell.

#include "quillon/lvs/extraction.hpp"

#include <nanobind/stl/string.h>

namespace quillon::lvs {

CellNames::Name& CellNames::entry(nb::handle instance) {
    // The cell index is cheap to read; the cell wrapper and its name are not.
    const long long index = nb::cast<long long>(instance.attr("cell_index"));
    auto found = by_index_.find(index);
    if (found != by_index_.end())
        return found->second;
    nb::object name = instance.attr("cell").attr("name");
    return by_index_.emplace(index, Name{name, nb::cast<std::string>(name)}).first->second;
}

nb::object CellNames::of(nb::handle instance) {
    return entry(instance).object;
}

const std::string& CellNames::text_of(nb::handle instance) {
    return entry(instance).text;
}

} // namespace quillon::lvs
