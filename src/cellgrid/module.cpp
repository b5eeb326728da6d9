/// cellgrid._l2n: the native core of `cellgrid.l2n` (port connectivity).

#include "quillon/cellgrid/port_matching.hpp"

NB_MODULE(_l2n, m) {
    m.doc() = "Port connectivity of a cell's instances, computed natively.";
    quillon::cellgrid::register_port_connectivity(m);
}
