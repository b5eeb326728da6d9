#pragma once
/// Groups of connected endpoints: the endpoints that two-point nets join,
/// directly or through other endpoints, form one group (one electrical net
/// of any number of pins).

#include <nanobind/nanobind.h>

#include <vector>

namespace quillon::lvs {
namespace nb = nanobind;

struct EndpointGroups {
    nb::dict group_of;                            ///< endpoint -> its group's position (int)
    std::vector<std::vector<nb::object>> members; ///< per group: its endpoints, in ascending order
    std::vector<std::vector<nb::object>> keys;    ///< per group: the keys of its nets
    nb::list outside;    ///< nets in no group: with the open-port placeholder, or onto one endpoint
    bool shared = false; ///< whether any endpoint is on more than one net

    /// The group of `endpoint`, or -1 when it is on no net of a group.
    long group(nb::handle endpoint) const;
};

/// The groups of a "nets" mapping (net key -> two-point net), in the order
/// their first endpoints appear.
EndpointGroups endpoint_groups(nb::handle nets);

/// Whether any endpoint of a "nets" mapping is on more than one of the nets
/// that `endpoint_groups` groups: else every group is a single net, and the
/// grouping has nothing to add.
bool shares_an_endpoint(nb::handle nets);

/// The endpoint text the layout side writes for the far end of an open port.
bool is_open_port_placeholder(nb::handle endpoint);

} // namespace quillon::lvs
