#pragma once
/// PortNets: the nets of a port-connectivity circuit, read once from KLayout,
/// on which unnamed instances are dissolved by joining their nets.
///
/// KLayout's `Circuit.join_nets` removes the joined net with a search over
/// all nets of the circuit, so dissolving the many unnamed instances of a
/// large layout costs quadratic time there. This model joins nets the way
/// KLayout does (the surviving net keeps its place among the nets; the joined
/// net's pins follow the survivor's), in constant time per join. The one thing
/// it does not model is KLayout merging top-level pins when a join brings two
/// of them together: `join` reports that case, and the caller then joins the
/// nets in KLayout itself.

#include "quillon/lvs/extraction/extraction.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace quillon::lvs {
namespace nb = nanobind;

class PortNets {
  public:
    /// One subcircuit pin on a net.
    struct Ref {
        size_t subcircuit; ///< position in the caller's subcircuit list
        long pin_id;
    };
    /// A net as step 8 of the extraction sees it.
    struct Net {
        std::vector<nb::object> top_pins; ///< names of the circuit's own pins
        std::vector<Ref> refs;            ///< subcircuit pins, in KLayout's order
        long root = -1;                   ///< the net as `net_of` names it
    };

    /// An empty model for a circuit of `subcircuit_count` subcircuits, to be
    /// filled net by net in KLayout's order.
    explicit PortNets(size_t subcircuit_count)
        : pins_(subcircuit_count), removed_(subcircuit_count, false) {}

    /// Reads the nets of `circuit`; `subcircuit_of(id)` gives the position of
    /// the subcircuit with that id in the caller's list.
    template <typename Lookup>
    static PortNets read(nb::handle circuit, size_t subcircuit_count, Lookup subcircuit_of);

    /// Appends a net; returns its position.
    size_t add_net();
    /// Appends a pin of the circuit itself to the net's top-level pins.
    void add_top_pin(size_t net, nb::object name);
    /// Appends a subcircuit pin to the net's subcircuit pins.
    void add_pin(size_t net, size_t subcircuit, long pin_id);

    /// The net now holding the pin, or -1 when the pin is on no net.
    long net_of(size_t subcircuit, long pin_id);
    /// Joins net `other` into net `main` (both as given by `net_of`). Returns
    /// false, changing nothing, when KLayout would merge top-level pins.
    bool join(long main, long other);
    /// Takes the subcircuit's pins off their nets.
    void remove_subcircuit(size_t subcircuit) { removed_[subcircuit] = true; }

    /// The nets in KLayout's order after the joins and removals.
    std::vector<Net> nets() const;

  private:
    struct Node {
        Ref ref;
        long next;
    };
    struct State {
        std::vector<nb::object> top_pins;
        long head = -1;
        long tail = -1;
    };

    long find(long net);

    std::vector<State> nets_;
    std::vector<long> parent_;
    std::vector<Node> nodes_;
    /// Per subcircuit: (pin id, net it was read on).
    std::vector<std::vector<std::pair<long, long>>> pins_;
    std::vector<bool> removed_;
};

template <typename Lookup>
PortNets PortNets::read(nb::handle circuit, size_t subcircuit_count, Lookup subcircuit_of) {
    PortNets model(subcircuit_count);
    for (nb::handle net : each(circuit, "each_net")) {
        const size_t index = model.add_net();
        for (nb::handle ref : each(net, "each_pin"))
            model.add_top_pin(index, ref.attr("pin")().attr("name")());
        for (nb::handle ref : each(net, "each_subcircuit_pin"))
            model.add_pin(index, subcircuit_of(ref.attr("subcircuit")().attr("id")()),
                          nb::cast<long>(ref.attr("pin_id")()));
    }
    return model;
}

} // namespace quillon::lvs
