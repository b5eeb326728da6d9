/// read_joints: the ports of the layout that do not simply meet in pairs, as
/// the cell library lists them, each placed on the net it ends up on once
/// unnamed wiring is dissolved, with that net's named endpoints.

#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/lvs/extraction/optical/optical_nets.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <unordered_map>

namespace quillon::lvs {

namespace {

/// The ends of `joints.ports`, numbered in the order of `ports` keys, by endpoint number.
class EndReader {
  public:
    EndReader(nb::handle ports, const CellInstances& instances, PortNets& nets,
              const std::vector<PortNets::Net>& final_nets, const PinLocation& locate,
              const EndpointText& text, Joints& out)
        : ports_(ports), instances_(instances), nets_(nets), final_nets_(final_nets),
          locate_(locate), text_(text), out_(out) {}

    /// The end of endpoint number `endpoint`, read when first asked for.
    size_t end(nb::handle endpoint) {
        const long long key = as_long_long(endpoint);
        auto known = ends_.find(key);
        if (known != ends_.end())
            return known->second;
        nb::object port = ports_[endpoint];
        JointEnd end;
        const size_t instance = static_cast<size_t>(as_long_long(port.attr("instance")));
        const size_t pin = static_cast<size_t>(as_long_long(port.attr("pin")));
        if (instance < instances_.size() && !instances_.properties[instance].is_none())
            end.endpoint = endpoint_text(instances_.names[instance], port.attr("name"));
        end.x = as_long_long(port.attr("x"));
        end.y = as_long_long(port.attr("y"));
        end.width = as_long_long(port.attr("width"));
        end.angle = as_long_long(port.attr("angle"));
        end.layer = port.attr("layer");
        end.net = net_of(instance, pin);
        const size_t at = out_.ends.size();
        out_.ends.push_back(std::move(end));
        ends_.emplace(key, at);
        return at;
    }

  private:
    /// The joint net the pin ends up on, added when first met; -1 when the
    /// model does not know the pin (its subcircuit left the netlist).
    long net_of(size_t instance, size_t pin) {
        const auto [subcircuit, pin_id] = locate_(instance, pin);
        if (subcircuit < 0)
            return -1;
        const long root = nets_.net_of(static_cast<size_t>(subcircuit), pin_id);
        if (root < 0)
            return -1;
        auto known = nets_by_root_.find(root);
        if (known != nets_by_root_.end())
            return known->second;
        JointNet net;
        if (final_by_root_.empty())
            for (size_t at = 0; at < final_nets_.size(); ++at)
                final_by_root_.emplace(final_nets_[at].root, at);
        auto final_net = final_by_root_.find(root);
        if (final_net != final_by_root_.end())
            for (const PortNets::Ref& ref : final_nets_[final_net->second].refs)
                net.named.push_back(text_(ref));
        const long at = static_cast<long>(out_.nets.size());
        out_.nets.push_back(std::move(net));
        nets_by_root_.emplace(root, at);
        return at;
    }

    nb::handle ports_;
    const CellInstances& instances_;
    PortNets& nets_;
    const std::vector<PortNets::Net>& final_nets_;
    const PinLocation& locate_;
    const EndpointText& text_;
    Joints& out_;
    std::unordered_map<long long, size_t> ends_;
    std::unordered_map<long, long> nets_by_root_;
    std::unordered_map<long, size_t> final_by_root_;
};

} // namespace

void read_joints(nb::handle joints, const CellInstances& instances, PortNets& nets,
                 const std::vector<PortNets::Net>& final_nets, const PinLocation& locate,
                 const EndpointText& text, Joints& out) {
    if (!joints.is_valid() || joints.is_none())
        return;
    nb::object crowded = joints.attr("crowded");
    nb::object lone = joints.attr("lone");
    if (!truthy(crowded) && !truthy(lone))
        return; // a layout whose ports all meet in pairs: nothing to read
    out.dbu = as_double(joints.attr("dbu"));
    EndReader reader(joints.attr("ports"), instances, nets, final_nets, locate, text, out);
    for (nb::handle place : crowded) {
        std::vector<size_t> ends;
        for (nb::handle endpoint : place)
            ends.push_back(reader.end(endpoint));
        const size_t at = out.crowded.size();
        if (!ends.empty() && out.ends[ends.front()].net >= 0)
            out.nets[static_cast<size_t>(out.ends[ends.front()].net)].crowded.push_back(at);
        out.crowded.push_back(std::move(ends));
    }
    std::unordered_map<long long, size_t> lone_end;
    for (nb::handle endpoint : lone) {
        const size_t end = reader.end(endpoint);
        lone_end.emplace(as_long_long(endpoint), end);
        out.lone.push_back(end);
        if (out.ends[end].net >= 0)
            out.nets[static_cast<size_t>(out.ends[end].net)].lone.push_back(end);
    }
    for (nb::handle pair : joints.attr("near")) {
        auto first = lone_end.find(as_long_long(pair[0]));
        auto second = lone_end.find(as_long_long(pair[1]));
        if (first != lone_end.end() && second != lone_end.end())
            out.near.emplace_back(first->second, second->second);
    }
}

} // namespace quillon::lvs
