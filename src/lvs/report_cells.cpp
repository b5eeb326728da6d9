/// Report-database plumbing shared by the findings passes: category titles,
/// category and report-cell lookup, items tagged with their kind, the edge
/// across a port's opening.

#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs::report {

nb::object category_title(const char* attribute) {
    return quillon::attribute(deps().module.attr("lvs_categories"), attribute);
}

nb::object category_for(nb::handle rdb, nb::handle title) {
    // category_by_path parses a path ("parent.child", words split at blanks),
    // so the title is looked up in its quoted form, which names exactly one
    // top-level category whatever characters the title holds.
    nb::object found = rdb.attr("category_by_path")(quoted(title));
    if (truthy(found))
        return found;
    return rdb.attr("create_category")(title);
}

nb::object cell_for(nb::handle rdb, nb::handle cell) {
    nb::object found = rdb.attr("cell_by_qname")(cell.attr("name"));
    if (truthy(found))
        return found;
    return rdb.attr("create_cell")(cell.attr("name"));
}

nb::object create_item(nb::handle rdb, nb::handle report_cell, nb::handle category,
                       const kind::Kind& kind) {
    nb::object item = rdb.attr("create_item")(report_cell, category);
    nb::object tag = rdb.attr("user_tag_id")(kind.name);
    if (!truthy(rdb.attr("tag_description")(tag)))
        rdb.attr("set_tag_description")(tag, kind.meaning);
    item.attr("add_tag")(tag);
    return item;
}

void add_distance(nb::handle rdb, nb::handle item, double distance) {
    nb::object value = deps().item_value(distance);
    value.attr("tag_id") = rdb.attr("user_tag_id")("distance");
    item.attr("add_value")(value);
}

nb::object port_edge(nb::handle port) {
    nb::object width = port.attr("cross_section").attr("width");
    nb::object two = nb::int_(2);
    nb::object top = checked(PyNumber_TrueDivide(width.ptr(), two.ptr()));
    nb::object negated = checked(PyNumber_Negative(width.ptr()));
    nb::object bottom = checked(PyNumber_TrueDivide(negated.ptr(), two.ptr()));
    nb::object edge = deps().kdb.attr("DEdge")(0, top, 0, bottom);
    return edge.attr("transformed")(port.attr("dcplx_trans"));
}

} // namespace quillon::lvs::report
