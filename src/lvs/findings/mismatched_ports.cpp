/// find_mismatched_ports: external ports of the cell that only one netlist
/// has, or that the two netlists attach to different endpoints.

#include "quillon/define.hpp"
#include "quillon/lvs/difference/diff_keys.hpp"
#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

namespace quillon::lvs {

namespace {

/// What a netlist attaches the external port `name` to; None when it has no such port.
nb::object attached(nb::handle netlist, nb::handle name) {
    nb::object ports = netlist.attr("get")("ports");
    if (!PyDict_Check(ports.ptr()))
        return nb::none();
    return ports.attr("get")(name);
}

/// An electrical port of the cell whose net the electrical stage did not look
/// at (its layer is not one the extraction reads): only its presence on the
/// cell is compared.
bool unprobed_electrical(nb::handle port, nb::handle name, nb::handle probed) {
    return port.is_valid() && !nb::str("optical").equal(port.attr("port_type")) &&
           !(probed.is_valid() && truthy(probed.attr("__contains__")(name)));
}

class Recorder {
  public:
    Recorder(nb::handle rdb, nb::handle cell)
        : rdb_(rdb), cell_(cell),
          category_(report::category_for(rdb, report::category_title("mismatched_ports"))),
          report_cell_(report::cell_for(rdb, cell)) {}

    /// The layout cell's own port `name`, or an invalid object when it has none.
    nb::object layout_port(nb::handle name) const {
        if (name.is_none())
            return nb::object();
        try {
            return cell_.attr("ports")[name];
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception))
                throw;
            return nb::object();
        }
    }

    /// An item with the marker across the layout port `port` when there is one, then `text`.
    void record(const kind::Kind& kind, nb::handle port, nb::handle text) const {
        nb::object item = report::create_item(rdb_, report_cell_, category_, kind);
        if (port.is_valid())
            item.attr("add_value")(report::port_edge(port));
        item.attr("add_value")(text);
    }

  private:
    nb::handle rdb_;
    nb::handle cell_;
    nb::object category_;
    nb::object report_cell_;
};

} // namespace

void find_mismatched_ports(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                           nb::handle diff, nb::handle ref_netlist, nb::handle lvs_netlist,
                           nb::handle probed_ports) {
    const Recorder recorder(rdb, cell);
    nb::object reference_ports = ref_netlist.attr("get")("ports");
    if (!PyDict_Check(reference_ports.ptr())) {
        // Nothing to compare port by port: one item when the two differ at all.
        if (entry_differs(diff, "ports"))
            recorder.record(kind::ports_mismatch, nb::handle(),
                            format_text("The reference netlist gives the ports as %R, the "
                                        "layout as %R",
                                        reference_ports, lvs_netlist.attr("get")("ports")));
        return;
    }
    for (nb::handle name : one_sided_keys(diff, "ports", Side::reference)) {
        // The layout leaves out a port that nothing attaches to, but the cell may have it.
        nb::object port = recorder.layout_port(name);
        if (unprobed_electrical(port, name, probed_ports))
            continue;
        nb::object at = attached(ref_netlist, name);
        if (port.is_valid()) {
            recorder.record(kind::unattached_port, port,
                            format_text("Port %U attaches to nothing in the layout but to %U in "
                                        "the reference netlist",
                                        quoted(name), quoted(at)));
            continue;
        }
        // marked at the instance port the reference attaches it to, where the layout has that
        nb::object absence;
        nb::object inner = report::endpoint_port(instances, at, absence);
        recorder.record(kind::missing_port, inner,
                        format_text("Port %U (at %U in the reference netlist) is not a port of "
                                    "the layout",
                                    quoted(name), quoted(at)));
    }
    for (nb::handle name : one_sided_keys(diff, "ports", Side::layout))
        recorder.record(
            kind::unknown_port, recorder.layout_port(name),
            format_text("Port %U (at %U in the layout) is not present in the reference netlist",
                        quoted(name), quoted(attached(lvs_netlist, name))));
    for (const ChangedKey& change : changed_keys(diff, "ports", nullptr))
        recorder.record(
            kind::moved_port, recorder.layout_port(change.key),
            format_text("Port %U is at %U in the layout but at %U in the reference netlist",
                        quoted(change.key), quoted(change.layout_value),
                        quoted(change.reference_value)));
}

void register_mismatched_ports(nb::module_& m) {
    define(m,
           Signature("find_mismatched_ports", {any("rdb"), any("cell"), any("diff"),
                                               any("ref_netlist"), any("lvs_netlist")}),
           "def find_mismatched_ports(rdb: klayout.rdbcore.ReportDatabase, cell: Cell, diff: "
           "DeepDiffDict, ref_netlist: Netlist, lvs_netlist: Netlist) -> None",
           "Add external ports that differ between the netlists to report database.",
           [](const BoundArgs& a) {
               LayoutInstances instances(a[1]);
               find_mismatched_ports(a[0], a[1], instances, a[2], a[3], a[4]);
               return nb::none();
           });
}

} // namespace quillon::lvs
