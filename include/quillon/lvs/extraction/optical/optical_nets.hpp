#pragma once
/// The two steps of the optical stage that work on the nets model alone,
/// whichever way the port-connectivity netlist was read: dissolving the
/// unnamed instances, and turning the nets into connections and ports.

#include "quillon/lvs/extraction/joints.hpp"
#include "quillon/lvs/extraction/optical/port_nets.hpp"

#include <nanobind/nanobind.h>

#include <functional>
#include <vector>

namespace quillon::lvs {
namespace nb = nanobind;

/// Joins, for each pair flagged in `unnamed`, the nets on the pins of its
/// subcircuit (`sub_order[pair]`, whose circuit has the pins `pin_ids(sub)`),
/// then takes those subcircuits off their nets. False when a join needs
/// KLayout's own netlist (see PortNets); the model is then spoilt.
bool dissolve_unnamed(PortNets& nets, const std::vector<bool>& unnamed,
                      const std::vector<size_t>& sub_order,
                      const std::function<const std::vector<long>&(size_t)>& pin_ids);

/// The endpoint text of a subcircuit pin.
using EndpointText = std::function<nb::object(const PortNets::Ref&)>;

/// Appends a two-point connection per net without external pins to
/// `nets_list` and maps each external pin to the second text of its net in
/// `ports`, in the order of the nets.
void collect_optical_nets(const std::vector<PortNets::Net>& nets, const EndpointText& text,
                          nb::dict ports, nb::list nets_list);

/// Where the pin `pin` (its position among its cell's pins) of instance
/// `instance` is in the nets model: (subcircuit, pin id), or a subcircuit
/// of -1 when the model has none for it.
using PinLocation = std::function<std::pair<long, long>(size_t instance, size_t pin)>;

/// Reads the cell library's `joints` (when it gives them) into `out`, each
/// end placed on its net among `final_nets`, the model's nets once unnamed
/// wiring is dissolved; `instances` says which instances are named.
void read_joints(nb::handle joints, const CellInstances& instances, PortNets& nets,
                 const std::vector<PortNets::Net>& final_nets, const PinLocation& locate,
                 const EndpointText& text, Joints& out);

} // namespace quillon::lvs
