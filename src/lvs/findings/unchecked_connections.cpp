/// find_unchecked_connections: what a layout whose cells lost their ports and
/// settings (a file re-saved without KLayout's context information) leaves
/// unchecked. The connections the reference makes to instances of such cells,
/// and the open ports they leave at the other end, would each read as a fault
/// of its own; they become one item, and a note says how to keep the cells'
/// ports. The checked cell's own ports, when it lost them, likewise: one item,
/// and the instance ports they attach to are not reported open one by one.

#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/lvs/netlist/net_groups.hpp"
#include "quillon/py.hpp"

#include <unordered_map>
#include <vector>

namespace quillon::lvs {

namespace {

/// Names shown in a text before "and N more".
constexpr size_t shown_names = 10;

/// Whether the cell library knows the ports of a cell: false for a cell read
/// from a file that had lost them (cells of other libraries always know).
bool ports_known(nb::handle library_cell) {
    return truthy(getattr(library_cell, "ports_known", nb::bool_(true)));
}

/// "a, b, c and 4 more" of `names`.
nb::object listed(const std::vector<nb::object>& names) {
    nb::list shown;
    for (size_t at = 0; at < names.size() && at < shown_names; ++at)
        shown.append(names[at]);
    nb::object text = nb::str(", ").attr("join")(shown);
    if (names.size() > shown_names)
        text = format_text("%U and %S more", text, nb::int_(names.size() - shown_names));
    return text;
}

/// The reference instances whose layout cells lost their ports: instance
/// name -> the cell's name, in the reference's order.
nb::dict portless_instances(nb::handle cell, LayoutInstances& instances, nb::handle ref_netlist) {
    nb::object kcl = cell.attr("kcl");
    nb::object base = attribute(kcl, "base");
    std::unordered_map<long long, bool> known_of_cell;
    nb::dict portless;
    for (nb::handle name : get_item(ref_netlist, "instances")) {
        const std::optional<LayoutInstances::Found> found = instances.find(name);
        if (!found)
            continue;
        auto [entry, added] = known_of_cell.try_emplace(found->cell_index, true);
        if (added)
            entry->second = ports_known(base(found->cell_index));
        if (!entry->second)
            portless[name] = kcl.attr("layout").attr("cell_name")(found->cell_index);
    }
    return portless;
}

} // namespace

UncheckedNets find_unchecked_connections(nb::handle cell, LayoutInstances& instances,
                                         nb::handle ref_netlist, nb::handle lvs_netlist,
                                         bool differs) {
    UncheckedNets unchecked;
    unchecked.cell_ports_lost = !ports_known(cell);
    if (!differs) // nothing to explain but that the cell's own ports could not be compared
        return unchecked;
    nb::object reference_ports = ref_netlist.attr("get")("ports");
    unchecked.cell_ports = unchecked.cell_ports_lost && PyDict_Check(reference_ports.ptr()) &&
                           PyDict_GET_SIZE(reference_ports.ptr()) > 0;
    // endpoints whose open ports in the layout what is unchecked explains
    nb::set partners;
    if (unchecked.cell_ports)
        // the instance ports that the checked cell's lost ports attach to
        for (auto [name, endpoint] : nb::borrow<nb::dict>(reference_ports))
            if (PyUnicode_Check(endpoint.ptr()))
                partners.add(endpoint);
    unchecked.portless = portless_instances(cell, instances, ref_netlist);

    // the reference's nets to instances that lost their ports, and the endpoints at their other
    // ends
    if (PyDict_GET_SIZE(unchecked.portless.ptr()) > 0)
        for (auto [key, net] : nb::borrow<nb::dict>(get_item(ref_netlist, "nets"))) {
            nb::object ends[] = {get_item(net, "p1"), get_item(net, "p2")};
            bool touches = false;
            for (const nb::object& end : ends)
                if (unchecked.portless.contains(endpoint_instance(end))) {
                    touches = true;
                    unchecked.reached[endpoint_instance(end)] = nb::none();
                }
            if (!touches)
                continue;
            unchecked.reference_keys.add(key);
            for (const nb::object& end : ends)
                if (!unchecked.portless.contains(endpoint_instance(end)))
                    partners.add(end);
        }
    if (nb::len(partners) == 0)
        return unchecked;
    // ...which the layout leaves open
    for (auto [key, net] : nb::borrow<nb::dict>(get_item(lvs_netlist, "nets"))) {
        nb::object p1 = get_item(net, "p1");
        nb::object p2 = get_item(net, "p2");
        if ((is_open_port_placeholder(p1) && partners.contains(p2)) ||
            (is_open_port_placeholder(p2) && partners.contains(p1)))
            unchecked.layout_keys.add(key);
    }
    return unchecked;
}

void record_unchecked_connections(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                                  const UncheckedNets& unchecked, nb::handle notes) {
    const size_t connections = nb::len(unchecked.reference_keys);
    if (connections > 0) {
        nb::object category =
            report::category_for(rdb, report::category_title("missing_connections"));
        nb::object item = report::create_item(rdb, report::cell_for(rdb, cell), category,
                                              kind::unchecked_connections);
        std::vector<nb::object> names;
        for (auto [name, unused] : unchecked.reached) {
            item.attr("add_value")(instances[name].attr("dbbox")());
            names.push_back(
                format_text("%U (%U)", quoted(name), nb::str(unchecked.portless[name])));
        }
        item.attr("add_value")(format_text(
            "%S connection%U of the reference netlist reach%U instances whose cells carry no "
            "port information, so %U not checked: %U",
            nb::int_(connections), nb::str(connections == 1 ? "" : "s"),
            nb::str(connections == 1 ? "es" : ""), nb::str(connections == 1 ? "it is" : "they are"),
            listed(names)));
    }
    std::vector<nb::object> cells;
    nb::dict seen;
    for (auto [name, cell_name] : unchecked.portless)
        if (!seen.contains(cell_name)) {
            seen[cell_name] = nb::none();
            cells.push_back(nb::borrow(cell_name));
        }
    // also when the reference states no ports: the layout's may be lost with them
    if (unchecked.cell_ports_lost)
        cells.push_back(format_text("%U (the checked cell's own ports)", cell.attr("name")));
    if (cells.empty() || notes.is_none())
        return;
    const bool one = cells.size() == 1;
    notes.attr("append")(format_text(
        "the layout carries no ports or settings for the cell%U %U: it was written without "
        "KLayout's context information, which keeps them, and the kit builds no cell of %U; "
        "connections to %U are not checked one by one. Write the layout with context "
        "information (KLayout's save option, on by default; `write_context_info` of "
        "SaveLayoutOptions) to check them",
        nb::str(one ? "" : "s"), listed(cells), nb::str(one ? "that name" : "those names"),
        nb::str(one ? "it" : "them")));
}

void record_unchecked_ports(nb::handle rdb, nb::handle cell, nb::handle ref_netlist) {
    nb::object category = report::category_for(rdb, report::category_title("mismatched_ports"));
    nb::object item =
        report::create_item(rdb, report::cell_for(rdb, cell), category, kind::unchecked_ports);
    const size_t count = nb::len(get_item(ref_netlist, "ports"));
    item.attr("add_value")(format_text(
        "The cell %U carries no port information, so the %S port%U of the reference netlist "
        "cannot be checked",
        quoted(cell.attr("name")), nb::int_(count), nb::str(count == 1 ? "" : "s")));
}

} // namespace quillon::lvs
