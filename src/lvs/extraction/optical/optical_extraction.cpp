/// The optical stage of the layout extraction: named instances, the
/// two-point connections where their ports meet, and the cell's external
/// ports, from the cell library's port-connectivity netlist.
///
/// The library's subcircuits are linked to the cell's instances only by
/// position: both lists are sorted by (placement, cell name) and paired.
/// Unnamed instances are wiring: the nets on their pins are joined and they
/// leave the netlist, so named instances linked by a route share one net.
///
/// When the library hands the netlist over as plain lists as well (its
/// connectivity tables), the stage reads those (optical_tables.cpp);
/// otherwise, here, it walks the netlist object by object.

#include "quillon/errors.hpp"
#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/lvs/extraction/optical/optical_nets.hpp"
#include "quillon/lvs/lvs.hpp"

#include <unordered_map>

namespace quillon::lvs {

namespace {

/// A circuit of the port-connectivity netlist: its name and pins, in
/// `each_pin` order.
struct CircuitInfo {
    nb::object name;
    std::vector<long> ids;
    std::unordered_map<long, nb::object> pin_names;
};

struct Subcircuit {
    nb::object object;
    nb::object circuit; ///< keeps the circuit, and so its CircuitInfo key, alive
    const CircuitInfo* info;
    mutable nb::object name; ///< read when first needed
};

/// Everything read from the port-connectivity netlist and the cell.
struct Connectivity {
    nb::object circuit; ///< the top circuit
    std::vector<Subcircuit> subcircuits;
    std::unordered_map<long, size_t> subcircuit_by_id;
    std::unordered_map<PyObject*, CircuitInfo> circuits;
    const CellInstances* instances;
    std::vector<size_t> sub_order;  ///< subcircuits by (trans, circuit name)
    std::vector<size_t> inst_order; ///< instances by (dcplx_trans, cell name)
    std::vector<bool> unnamed;      ///< per pair: the instance has no name
};

const CircuitInfo& info_of(Connectivity& c, nb::handle circuit) {
    // The same circuit comes back as the same Python object while it lives.
    auto found = c.circuits.find(circuit.ptr());
    if (found != c.circuits.end())
        return found->second;
    CircuitInfo info;
    info.name = circuit.attr("name");
    for (nb::handle pin : each(circuit, "each_pin")) {
        const long id = nb::cast<long>(pin.attr("id")());
        info.ids.push_back(id);
        info.pin_names.emplace(id, pin.attr("name")());
    }
    return c.circuits.emplace(circuit.ptr(), std::move(info)).first->second;
}

const nb::object& name_of(const Subcircuit& sub) {
    if (!sub.name.is_valid())
        sub.name = sub.object.attr("name");
    return sub.name;
}

void read_subcircuits(Connectivity& c) {
    const TransNames trans_names;
    std::vector<PlacementKey> keys;
    for (nb::handle sc : each(c.circuit, "each_subcircuit")) {
        Subcircuit entry;
        entry.object = nb::borrow(sc);
        nb::object trans = sc.attr("trans");
        entry.circuit = sc.attr("circuit_ref")();
        entry.info = &info_of(c, entry.circuit);
        c.subcircuit_by_id.emplace(nb::cast<long>(sc.attr("id")()), c.subcircuits.size());
        keys.push_back({Placement::of(trans, trans_names), entry.info->name});
        c.subcircuits.push_back(std::move(entry));
    }
    c.sub_order = placement_order(keys);
}

size_t pair_count(const Connectivity& c) {
    return std::min(c.sub_order.size(), c.inst_order.size());
}

const Subcircuit& paired_subcircuit(const Connectivity& c, size_t pair) {
    return c.subcircuits[c.sub_order[pair]];
}

/// Position of the paired instance in the cell's instances.
size_t paired_instance(const Connectivity& c, size_t pair) {
    return c.inst_order[pair];
}

PortNets read_nets(const Connectivity& c) {
    return PortNets::read(c.circuit, c.subcircuits.size(), [&](nb::handle id) {
        auto found = c.subcircuit_by_id.find(nb::cast<long>(id));
        if (found == c.subcircuit_by_id.end())
            raise(PyExc_RuntimeError, "a net refers to a subcircuit of another circuit");
        return found->second;
    });
}

/// Dissolves the unnamed instances in KLayout's netlist itself.
void dissolve_in_klayout(const Connectivity& c) {
    for (size_t pair = 0; pair < c.unnamed.size(); ++pair) {
        if (!c.unnamed[pair])
            continue;
        const Subcircuit& sub = paired_subcircuit(c, pair);
        const std::vector<long>& ids = sub.info->ids;
        if (ids.empty())
            continue;
        nb::object main = sub.object.attr("net_for_pin")(ids.front());
        for (size_t i = 1; i < ids.size(); ++i) {
            nb::object other = sub.object.attr("net_for_pin")(ids[i]);
            if (!other.is_none())
                c.circuit.attr("join_nets")(main, other);
        }
    }
    for (size_t pair = 0; pair < c.unnamed.size(); ++pair)
        if (c.unnamed[pair])
            c.circuit.attr("remove_subcircuit")(paired_subcircuit(c, pair).object);
}

/// Endpoint texts "instance,pin" of subcircuit pins, through the mapping from
/// subcircuit name to instance name.
class Endpoints {
  public:
    Endpoints(const Connectivity& c, nb::dict sc_mapping)
        : c_(c), sc_mapping_(sc_mapping), prefixes_(c.subcircuits.size()) {}

    nb::object text(const PortNets::Ref& ref) {
        nb::object& instance_name = prefixes_[ref.subcircuit];
        const Subcircuit& sub = c_.subcircuits[ref.subcircuit];
        if (!instance_name.is_valid()) {
            const nb::object& name = name_of(sub);
            PyObject* found = PyDict_GetItemWithError(sc_mapping_.ptr(), name.ptr());
            if (!found) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                raise_key_error(name);
            }
            instance_name = nb::borrow(found);
        }
        return endpoint_text(instance_name, sub.info->pin_names.at(ref.pin_id));
    }

  private:
    const Connectivity& c_;
    nb::dict sc_mapping_;
    std::vector<nb::object> prefixes_;
};

/// Reads the netlist object by object; `have_instances` when the cell's
/// instances were read already.
void walk_netlist(nb::handle l2n, nb::handle cell, CellInstances& cell_instances,
                  bool have_instances, nb::dict instances, nb::dict ports, nb::list nets_list,
                  Joints* joints_out) {
    Connectivity c;
    c.instances = &cell_instances;
    nb::object full_net = l2n.attr("netlist")();
    c.circuit = full_net.attr("top_circuit")();
    read_subcircuits(c);
    if (!have_instances)
        CellInstances::read(cell, cell_instances,
                            truthy(nb::getattr(l2n, "every_array", nb::bool_(true))));
    c.inst_order = cell_instances.sorted_order();

    const size_t pairs = pair_count(c);
    c.unnamed.assign(pairs, false);
    for (size_t pair = 0; pair < pairs; ++pair)
        c.unnamed[pair] = cell_instances.properties[paired_instance(c, pair)].is_none();

    PortNets nets = read_nets(c);
    const auto pin_ids = [&](size_t sub) -> const std::vector<long>& {
        return c.subcircuits[sub].info->ids;
    };
    if (!dissolve_unnamed(nets, c.unnamed, c.sub_order, pin_ids)) {
        dissolve_in_klayout(c);
        nets = read_nets(c);
    }

    nb::dict sc_mapping;
    for (size_t pair = 0; pair < pairs; ++pair) {
        if (!c.unnamed[pair])
            sc_mapping[name_of(paired_subcircuit(c, pair))] =
                cell_instances.names[paired_instance(c, pair)];
    }
    for (size_t pair = 0; pair < pairs; ++pair) {
        if (c.unnamed[pair])
            continue;
        nb::dict component;
        component["component"] = paired_subcircuit(c, pair).info->name;
        instances[cell_instances.names[paired_instance(c, pair)]] = component;
    }

    Endpoints endpoints(c, sc_mapping);
    const EndpointText text = [&](const PortNets::Ref& ref) { return endpoints.text(ref); };
    const std::vector<PortNets::Net> final_nets = nets.nets();
    if (joints_out) {
        // an instance's subcircuit is the one it was paired with
        std::vector<long> subcircuit_of(cell_instances.size(), -1);
        for (size_t pair = 0; pair < pairs; ++pair)
            subcircuit_of[paired_instance(c, pair)] = static_cast<long>(c.sub_order[pair]);
        const PinLocation locate = [&](size_t instance, size_t pin) -> std::pair<long, long> {
            if (instance >= subcircuit_of.size() || subcircuit_of[instance] < 0)
                return {-1, -1};
            const size_t sub = static_cast<size_t>(subcircuit_of[instance]);
            const std::vector<long>& ids = c.subcircuits[sub].info->ids;
            if (pin >= ids.size())
                return {-1, -1};
            return {static_cast<long>(sub), ids[pin]};
        };
        read_joints(nb::getattr(l2n, "joints", nb::none()), cell_instances, nets, final_nets,
                    locate, text, *joints_out);
    }
    collect_optical_nets(final_nets, text, ports, nets_list);
}

} // namespace

void extract_optical_nets(nb::handle cell, CellInstances& cell_instances, nb::dict instances,
                          nb::dict ports, nb::list nets_list, Joints* joints) {
    nb::object l2n = cell.attr("l2n")(nb::arg("port_types") = nb::make_tuple("optical"));
    // The tables carry the name property under the library's id: they serve
    // only when that is the module's.
    nb::object tables = nb::getattr(l2n, "tables", nb::none());
    const bool use_tables = !tables.is_none() && same_name_property();
    if (use_tables &&
        extract_optical_from_tables(tables, cell_instances, instances, ports, nets_list,
                                    nb::getattr(l2n, "joints", nb::none()), joints))
        return;
    walk_netlist(l2n, cell, cell_instances, use_tables, instances, ports, nets_list, joints);
}

} // namespace quillon::lvs
