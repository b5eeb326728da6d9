/// find_unknown_connections / find_missing_connections: nets that only one of
/// the two netlists has become report items with a marker spanning both ports.

#include "quillon/define.hpp"
#include "quillon/lvs/difference/diff_keys.hpp"
#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/findings/metal_geometry.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/lvs/netlist/net_groups.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

namespace {

/// What distinguishes the two connection passes.
struct ConnectionPass {
    const char* category;    ///< attribute of lvs_categories
    Side side;               ///< the netlist that has the net
    const char* text_format; ///< %U receives the quoted p1 and p2
    const kind::Kind& kind;
};

constexpr ConnectionPass unknown_pass{"unknown_connections", Side::layout,
                                      "Unknown Connection from %U to %U", kind::unknown_connection};
constexpr ConnectionPass missing_pass{"missing_connections", Side::reference,
                                      "Missing Connection from %U to %U", kind::missing_connection};

/// The outline across both ports' openings.
nb::object marker(nb::handle port1, nb::handle port2) {
    return report::span(report::port_edge(port1), report::port_edge(port2));
}

/// One item per net: the description, then the marker: across both ports,
/// across the opening of a port that nothing connects to, or across the one
/// port the layout has, with a text saying what it lacks of the other. When
/// neither endpoint is a port of the layout cell, the error text.
class Recorder {
  public:
    Recorder(const ConnectionPass& pass, nb::handle rdb, nb::handle cell,
             LayoutInstances& instances, nb::handle written, MetalGeometry* metal)
        : pass_(pass), rdb_(rdb), instances_(instances), written_(written), metal_(metal),
          category_(report::category_for(rdb, report::category_title(pass.category))),
          report_cell_(report::cell_for(rdb, cell)) {}

    void record(nb::handle net) const {
        nb::object p1 = report::shown_endpoint(written_, net[nb::str("p1")]);
        nb::object p2 = report::shown_endpoint(written_, net[nb::str("p2")]);
        nb::object description = format_text(pass_.text_format, quoted(p1), quoted(p2));
        nb::object absence1, absence2;
        if (is_open_port_placeholder(p1) != is_open_port_placeholder(p2)) {
            nb::object endpoint = is_open_port_placeholder(p1) ? p2 : p1;
            nb::object port = report::endpoint_port(instances_, endpoint, absence1);
            if (port.is_valid()) {
                nb::object item = new_item(kind::open_port);
                item.attr("add_value")(description);
                item.attr("add_value")(report::port_edge(port));
                item.attr("add_value")(
                    format_text("Port %U is open: nothing connects to it", quoted(endpoint)));
                return;
            }
        }
        nb::object item = new_item(pass_.kind);
        item.attr("add_value")(description);
        nb::object port1 = report::endpoint_port(instances_, p1, absence1);
        nb::object port2 = report::endpoint_port(instances_, p2, absence2);
        if (port1.is_valid() && port2.is_valid()) {
            item.attr("add_value")(marker(port1, port2));
            add_metal_markers(item, p1, port1, p2, port2);
        } else if (port1.is_valid() || port2.is_valid()) {
            // the side the layout has is marked; the text says what it lacks of the other
            const bool first = port1.is_valid();
            item.attr("add_value")(report::port_edge(first ? port1 : port2));
            item.attr("add_value")(format_text("The layout has %U but %U", quoted(first ? p1 : p2),
                                               first ? absence2 : absence1));
        } else {
            item.attr("add_value")(
                format_text("ERROR: Could not find instances and ports for %S and %S", p1, p2));
        }
    }

  private:
    /// Between two electrical ports, also where the metal joins (an unknown
    /// connection) or parts (a missing one) them.
    void add_metal_markers(nb::handle item, nb::handle p1, nb::handle port1, nb::handle p2,
                           nb::handle port2) const {
        if (!metal_ || !is_electrical_port_type(port1.attr("port_type")) ||
            !is_electrical_port_type(port2.attr("port_type")))
            return;
        const MetalGeometry::Parts parts{{nb::borrow(p1)}, {nb::borrow(p2)}};
        const bool unknown = pass_.side == Side::layout;
        for (nb::handle shape : unknown ? metal_->junctions(parts) : metal_->gaps(parts))
            item.attr("add_value")(shape);
    }

    nb::object new_item(const kind::Kind& kind) const {
        return report::create_item(rdb_, report_cell_, category_, kind);
    }

    const ConnectionPass& pass_;
    nb::handle rdb_;
    LayoutInstances& instances_;
    nb::handle written_;
    MetalGeometry* metal_;
    nb::object category_;
    nb::object report_cell_;
};

/// Nets that only this pass's side has: those the difference lists one by one
/// and, when it reports the nets whole, those the other side lacks.
void run(const ConnectionPass& pass, nb::handle rdb, nb::handle cell, LayoutInstances& instances,
         nb::handle diff, nb::handle netlist, nb::handle covered, nb::handle written,
         MetalGeometry* metal) {
    const Recorder recorder(pass, rdb, cell, instances, written, metal);
    nb::object nets = netlist[nb::str("nets")];
    for (nb::handle key : one_sided_keys(diff, "nets", pass.side)) {
        if (covered.is_valid()) {
            const int found = PySet_Contains(covered.ptr(), key.ptr());
            if (found < 0)
                throw nb::python_error();
            if (found)
                continue;
        }
        recorder.record(nets[key]);
    }
}

} // namespace

void find_unknown_connections(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                              nb::handle diff, nb::handle lvs_netlist, nb::handle covered,
                              nb::handle written, MetalGeometry* metal) {
    run(unknown_pass, rdb, cell, instances, diff, lvs_netlist, covered, written, metal);
}
void find_missing_connections(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                              nb::handle diff, nb::handle ref_netlist, nb::handle covered,
                              nb::handle written, MetalGeometry* metal) {
    run(missing_pass, rdb, cell, instances, diff, ref_netlist, covered, written, metal);
}

void register_connection_findings(nb::module_& m) {
    define(m,
           Signature("find_unknown_connections",
                     {any("rdb"), any("cell"), any("diff"), any("lvs_netlist")}),
           "def find_unknown_connections(rdb: klayout.rdbcore.ReportDatabase, cell: Cell, diff: "
           "DeepDiffDict, lvs_netlist: Netlist) -> None",
           "Add unknown connections to report database.", [](const BoundArgs& a) {
               LayoutInstances instances(a[1]);
               find_unknown_connections(a[0], a[1], instances, a[2], a[3]);
               return nb::none();
           });
    define(m,
           Signature("find_missing_connections",
                     {any("rdb"), any("cell"), any("diff"), any("ref_netlist")}),
           "def find_missing_connections(rdb: klayout.rdbcore.ReportDatabase, cell: Cell, diff: "
           "DeepDiffDict, ref_netlist: Netlist) -> None",
           "Add missing connections to report database.", [](const BoundArgs& a) {
               LayoutInstances instances(a[1]);
               find_missing_connections(a[0], a[1], instances, a[2], a[3]);
               return nb::none();
           });
}

} // namespace quillon::lvs
