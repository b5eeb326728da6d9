#pragma once
/// The kinds of finding: a stable name per thing the check can find, recorded
/// on each report item as a user tag by the pass that makes the item
/// (`report::create_item`), so that readers of the report (the JSON findings,
/// the editor) never have to tell findings apart by their texts.
///
/// A new kind is added here, with its one-line meaning, and to the README's
/// list of kinds; the module lists them as `finding_kinds`.

namespace quillon::lvs::kind {

/// A kind and what it means, as `finding_kinds` and the report's tags describe it.
struct Kind {
    const char* name;
    const char* meaning;
};

// Unknown Instances, Missing Instances
inline constexpr Kind unknown_instance{"unknown_instance",
                                       "an instance the reference netlist lacks"};
inline constexpr Kind missing_instance{"missing_instance", "an instance the layout lacks"};
// Unknown Connections
inline constexpr Kind unknown_connection{"unknown_connection",
                                         "a connection the reference netlist lacks"};
inline constexpr Kind open_port{"open_port", "a port that nothing connects to"};
inline constexpr Kind open_end{
    "open_end", "a route or piece of unnamed wiring that ends without meeting a port"};
inline constexpr Kind branch{
    "branch", "a port that meets two or more ports, directly or through unnamed wiring"};
inline constexpr Kind short_circuit{"short",
                                    "metal joining nets that the reference netlist keeps apart"};
// Unknown or Missing Connections: ports that nearly meet
inline constexpr Kind gap{"gap", "two ends that face each other a small distance apart"};
inline constexpr Kind width_mismatch{"width_mismatch", "two ends in one place whose widths differ"};
inline constexpr Kind layer_mismatch{"layer_mismatch", "two ends in one place whose layers differ"};
inline constexpr Kind facing_mismatch{"facing_mismatch",
                                      "two ends in one place that do not face each other"};
// Missing Connections
inline constexpr Kind missing_connection{"missing_connection", "a connection the layout lacks"};
inline constexpr Kind unchecked_connections{
    "unchecked_connections", "connections to instances whose cells lost their port information"};
inline constexpr Kind open{"open", "a reference net that the layout splits into pieces"};
// Mismatched Instances
inline constexpr Kind mismatched_instance{"mismatched_instance",
                                          "an instance of another component than the reference's"};
inline constexpr Kind shared_name{"shared_name", "an instance name given to several instances"};
// Mismatched Ports
inline constexpr Kind missing_port{"missing_port",
                                   "an external port of the reference that the layout lacks"};
inline constexpr Kind unattached_port{"unattached_port",
                                      "an external port that attaches to nothing in the layout"};
inline constexpr Kind unknown_port{"unknown_port",
                                   "an external port of the layout that the reference lacks"};
inline constexpr Kind moved_port{"moved_port",
                                 "an external port attached elsewhere than in the reference"};
inline constexpr Kind ports_mismatch{"ports_mismatch",
                                     "external ports that cannot be compared port by port"};
inline constexpr Kind unchecked_ports{
    "unchecked_ports", "external ports of a checked cell that lost its port information"};
// Mismatched Settings
inline constexpr Kind settings_mismatch{"settings_mismatch",
                                        "an instance whose settings differ from the reference's"};

/// Every kind an item of the check can have, in the order of the README's
/// list. A kind declared above joins it with the pass that makes its items.
inline constexpr const Kind* all[] = {&unknown_instance,
                                      &missing_instance,
                                      &unknown_connection,
                                      &open_port,
                                      &open_end,
                                      &branch,
                                      &short_circuit,
                                      &gap,
                                      &width_mismatch,
                                      &layer_mismatch,
                                      &facing_mismatch,
                                      &missing_connection,
                                      &open,
                                      &unchecked_connections,
                                      &mismatched_instance,
                                      &shared_name,
                                      &missing_port,
                                      &unattached_port,
                                      &unknown_port,
                                      &moved_port,
                                      &ports_mismatch,
                                      &unchecked_ports,
                                      &settings_mismatch};

} // namespace quillon::lvs::kind
