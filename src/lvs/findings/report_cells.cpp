/// Report-database plumbing shared by the findings passes: category titles,
/// category and report-cell lookup, items tagged with their kind, the edge
/// across a port's opening.

#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs::report {

namespace {

/// Runs `lookup`; false, with the error cleared, when it fails with an ordinary error.
template <typename Lookup> bool succeeds(Lookup lookup) {
    try {
        lookup();
        return true;
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception))
            throw;
        return false;
    }
}

} // namespace

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

nb::object span(nb::handle edge1, nb::handle edge2) {
    nb::list points;
    points.append(edge1.attr("p1"));
    points.append(edge1.attr("p2"));
    points.append(edge2.attr("p2"));
    points.append(edge2.attr("p1"));
    return deps().kdb.attr("DPolygon")(points);
}

nb::object shown_endpoint(nb::handle written, nb::handle endpoint) {
    if (!written.is_valid() || PyDict_GET_SIZE(written.ptr()) == 0)
        return nb::borrow(endpoint);
    PyObject* found = PyDict_GetItemWithError(written.ptr(), endpoint.ptr());
    if (!found && PyErr_Occurred())
        throw nb::python_error();
    return nb::borrow(found ? found : endpoint.ptr());
}

nb::object endpoint_port(LayoutInstances& instances, nb::handle endpoint, nb::object& absence) {
    nb::object parts;
    if (!PyUnicode_Check(endpoint.ptr()) ||
        !succeeds([&] { parts = endpoint.attr("rsplit")(",", 1); }) || nb::len(parts) != 2) {
        absence = format_text("%U names no port of an instance", quoted(endpoint));
        return nb::object();
    }
    nb::object instance;
    if (!succeeds([&] { instance = instances[parts[0]]; })) {
        absence = format_text("no instance %U", quoted(parts[0]));
        return nb::object();
    }
    nb::object port;
    if (!succeeds([&] { port = instance[parts[1]]; })) {
        absence = format_text("instance %U has no port %U", quoted(parts[0]), quoted(parts[1]));
        return nb::object();
    }
    return port;
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
