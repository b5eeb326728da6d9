/// find_unknown_connections / find_missing_connections: nets that only one of
/// the two netlists has become report items with a marker spanning both ports.

#include "quillon/define.hpp"
#include "quillon/errors.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

namespace {

constexpr char nets_prefix[] = "root['nets']";

/// What distinguishes the two connection passes.
struct ConnectionPass {
    const char* category;    ///< attribute of lvs_categories
    const char* diff_entry;  ///< change kind of nets listed one by one
    const char* whole_side;  ///< side of a whole-nets "values_changed" entry
    const char* text_format; ///< %U receives the quoted p1 and p2
};

constexpr ConnectionPass unknown_pass{"unknown_connections", "dictionary_item_added", "new_value",
                                      "Unknown Connection from %U to %U"};
constexpr ConnectionPass missing_pass{"missing_connections", "dictionary_item_removed", "old_value",
                                      "Missing Connection from %U to %U"};

/// root['nets']['KEY'] -> KEY; nothing is unescaped.
nb::object net_key(nb::handle path) {
    nb::object key = path.attr("removeprefix")("root['nets']['");
    return key.attr("removesuffix")("']");
}

/// The port of the layout cell named by the endpoint "instance,port".
nb::object resolve_port(nb::handle cell, nb::handle endpoint) {
    nb::object parts = endpoint.attr("split")(",");
    if (nb::len(parts) != 2)
        raise(PyExc_ValueError, "an endpoint must be an instance name and a port name "
                                "separated by one comma");
    return cell.attr("insts")[parts[0]][parts[1]];
}

/// The segment across the port opening: (0, w/2) to (0, -w/2) in the port's
/// own frame, w being its cross-section width, placed by its transformation.
nb::object port_edge(nb::handle port) {
    nb::object width = port.attr("cross_section").attr("width");
    nb::object two = nb::int_(2);
    nb::object top = checked(PyNumber_TrueDivide(width.ptr(), two.ptr()));
    nb::object negated = checked(PyNumber_Negative(width.ptr()));
    nb::object bottom = checked(PyNumber_TrueDivide(negated.ptr(), two.ptr()));
    nb::object edge = deps().kdb.attr("DEdge")(0, top, 0, bottom);
    return edge.attr("transformed")(port.attr("dcplx_trans"));
}

/// The outline edge1.p1, edge1.p2, edge2.p2, edge2.p1, in that order.
nb::object marker(nb::handle port1, nb::handle port2) {
    nb::object edge1 = port_edge(port1);
    nb::object edge2 = port_edge(port2);
    nb::list points;
    points.append(edge1.attr("p1"));
    points.append(edge1.attr("p2"));
    points.append(edge2.attr("p2"));
    points.append(edge2.attr("p1"));
    return deps().kdb.attr("DPolygon")(points);
}

/// One item per net: the description, then the marker, or the error text when
/// the endpoints do not resolve to ports of the layout cell.
class Recorder {
  public:
    Recorder(const ConnectionPass& pass, nb::handle rdb, nb::handle cell)
        : pass_(pass), rdb_(rdb), cell_(cell),
          category_(report::category_for(rdb, report::category_title(pass.category))),
          report_cell_(report::cell_for(rdb, cell)) {}

    void record(nb::handle net) const {
        nb::object item = rdb_.attr("create_item")(report_cell_, category_);
        nb::object p1 = net[nb::str("p1")];
        nb::object p2 = net[nb::str("p2")];
        item.attr("add_value")(format_text(pass_.text_format, quoted(p1), quoted(p2)));
        nb::object port1, port2;
        try {
            port1 = resolve_port(cell_, p1);
            port2 = resolve_port(cell_, p2);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception))
                throw;
            item.attr("add_value")(
                format_text("ERROR: Could not find instances and ports for %U and %U", nb::str(p1),
                            nb::str(p2)));
            return;
        }
        item.attr("add_value")(marker(port1, port2));
    }

  private:
    const ConnectionPass& pass_;
    nb::handle rdb_;
    nb::handle cell_;
    nb::object category_;
    nb::object report_cell_;
};

void run(const ConnectionPass& pass, nb::handle rdb, nb::handle cell, nb::handle diff,
         nb::handle netlist) {
    const Recorder recorder(pass, rdb, cell);

    // Nets that the diff lists one by one.
    nb::object paths = diff.attr("get")(pass.diff_entry, nb::list());
    for (nb::handle path : paths) {
        if (!truthy(path.attr("startswith")(nets_prefix)))
            continue;
        recorder.record(netlist[nb::str("nets")][net_key(path)]);
    }

    // The whole nets mapping reported as one changed value: every net of this side.
    nb::object changed = diff.attr("get")("values_changed", nb::dict());
    nb::object whole = changed.attr("get")(nets_prefix, nb::dict());
    nb::object side = whole.attr("get")(pass.whole_side, nb::dict());
    for (nb::handle key : side)
        recorder.record(netlist[nb::str("nets")][key]);
}

} // namespace

void find_unknown_connections(nb::handle rdb, nb::handle cell, nb::handle diff,
                              nb::handle lvs_netlist) {
    run(unknown_pass, rdb, cell, diff, lvs_netlist);
}
void find_missing_connections(nb::handle rdb, nb::handle cell, nb::handle diff,
                              nb::handle ref_netlist) {
    run(missing_pass, rdb, cell, diff, ref_netlist);
}

void register_connection_findings(nb::module_& m) {
    define(m,
           Signature("find_unknown_connections",
                     {any("rdb"), any("cell"), any("diff"), any("lvs_netlist")}),
           "def find_unknown_connections(rdb: klayout.rdbcore.ReportDatabase, cell: Cell, diff: "
           "DeepDiffDict, lvs_netlist: Netlist) -> None",
           "Add unknown connections to report database.", [](const BoundArgs& a) {
               find_unknown_connections(a[0], a[1], a[2], a[3]);
               return nb::none();
           });
    define(m,
           Signature("find_missing_connections",
                     {any("rdb"), any("cell"), any("diff"), any("ref_netlist")}),
           "def find_missing_connections(rdb: klayout.rdbcore.ReportDatabase, cell: Cell, diff: "
           "DeepDiffDict, ref_netlist: Netlist) -> None",
           "Add missing connections to report database.", [](const BoundArgs& a) {
               find_missing_connections(a[0], a[1], a[2], a[3]);
               return nb::none();
           });
}

} // namespace quillon::lvs
