/// finding_kinds: the kinds a report item can be tagged with, and what each means.

#include "quillon/lvs/findings/finding_kinds.hpp"
#include "quillon/lvs/lvs.hpp"

namespace quillon::lvs {

void register_finding_kinds(nb::module_& m) {
    nb::dict kinds;
    for (const kind::Kind* k : kind::all)
        kinds[k->name] = k->meaning;
    m.attr("finding_kinds") = kinds;
}

} // namespace quillon::lvs
