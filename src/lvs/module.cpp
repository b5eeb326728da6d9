/// quillon.core.lvs: wires the module together; each concern registers itself.

#include "quillon/lvs/lvs.hpp"

NB_MODULE(lvs, m) {
    using namespace quillon::lvs;
    m.doc() = "Layout v Schematic.";
    bind_dependencies(m);
    register_netlist_model(m);
    register_finding_kinds(m);
    register_check(m);
    register_reference_netlist(m);
    register_extraction(m);
    register_elec_port_groups(m);
    register_netlist_diff(m);
    register_instance_findings(m);
    register_connection_findings(m);
    register_mismatched_instances(m);
    register_mismatched_ports(m);
    register_yaml_reading(m);
}
