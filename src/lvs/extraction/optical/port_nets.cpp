/// PortNets: joining the nets of a port-connectivity circuit in constant time
/// per join, with the outcome of KLayout's `Circuit.join_nets`.

#include "quillon/lvs/extraction/optical/port_nets.hpp"

namespace quillon::lvs {

size_t PortNets::add_net() {
    const size_t index = nets_.size();
    nets_.emplace_back();
    parent_.push_back(static_cast<long>(index));
    return index;
}

void PortNets::add_top_pin(size_t net, nb::object name) {
    nets_[net].top_pins.push_back(std::move(name));
}

void PortNets::add_pin(size_t net, size_t subcircuit, long pin_id) {
    State& state = nets_[net];
    const long node = static_cast<long>(nodes_.size());
    nodes_.push_back({{subcircuit, pin_id}, -1});
    if (state.tail < 0)
        state.head = node;
    else
        nodes_[static_cast<size_t>(state.tail)].next = node;
    state.tail = node;
    pins_[subcircuit].emplace_back(pin_id, static_cast<long>(net));
}

long PortNets::find(long net) {
    long root = net;
    while (parent_[static_cast<size_t>(root)] != root)
        root = parent_[static_cast<size_t>(root)];
    while (parent_[static_cast<size_t>(net)] != root) {
        const long next = parent_[static_cast<size_t>(net)];
        parent_[static_cast<size_t>(net)] = root;
        net = next;
    }
    return root;
}

long PortNets::net_of(size_t subcircuit, long pin_id) {
    for (const auto& [id, net] : pins_[subcircuit])
        if (id == pin_id)
            return find(net);
    return -1;
}

bool PortNets::join(long main, long other) {
    if (main == other)
        return true; // KLayout leaves a net joined with itself unchanged
    State& kept = nets_[static_cast<size_t>(main)];
    State& gone = nets_[static_cast<size_t>(other)];
    // KLayout folds the joined net's top-level pins into one, and that one
    // into the survivor's first pin: not modelled.
    if (!gone.top_pins.empty() && kept.top_pins.size() + gone.top_pins.size() > 1)
        return false;
    if (!gone.top_pins.empty())
        kept.top_pins = std::move(gone.top_pins);
    if (gone.head >= 0) {
        if (kept.tail < 0)
            kept.head = gone.head;
        else
            nodes_[static_cast<size_t>(kept.tail)].next = gone.head;
        kept.tail = gone.tail;
    }
    gone = State();
    parent_[static_cast<size_t>(other)] = main;
    return true;
}

std::vector<PortNets::Net> PortNets::nets() const {
    std::vector<Net> result;
    for (size_t index = 0; index < nets_.size(); ++index) {
        if (parent_[index] != static_cast<long>(index))
            continue;
        const State& state = nets_[index];
        Net net;
        net.top_pins = state.top_pins;
        net.root = static_cast<long>(index);
        for (long node = state.head; node >= 0; node = nodes_[static_cast<size_t>(node)].next) {
            const Ref& ref = nodes_[static_cast<size_t>(node)].ref;
            if (!removed_[ref.subcircuit])
                net.refs.push_back(ref);
        }
        result.push_back(std::move(net));
    }
    return result;
}

} // namespace quillon::lvs
