/// Dissolving unnamed instances on the nets model, and the optical
/// connections and external ports that its nets give.

#include "quillon/lvs/extraction/optical/optical_nets.hpp"
#include "quillon/errors.hpp"

namespace quillon::lvs {

bool dissolve_unnamed(PortNets& nets, const std::vector<bool>& unnamed,
                      const std::vector<size_t>& sub_order,
                      const std::function<const std::vector<long>&(size_t)>& pin_ids) {
    for (size_t pair = 0; pair < unnamed.size(); ++pair) {
        if (!unnamed[pair])
            continue;
        const size_t sub = sub_order[pair];
        const std::vector<long>& ids = pin_ids(sub);
        if (ids.empty())
            continue;
        // KLayout's join takes the first pin's net as it is, absent or not
        const long main = nets.net_of(sub, ids.front());
        for (size_t i = 1; i < ids.size(); ++i) {
            const long other = nets.net_of(sub, ids[i]);
            if (other < 0)
                continue;
            if (main < 0 || !nets.join(main, other))
                return false;
        }
    }
    for (size_t pair = 0; pair < unnamed.size(); ++pair)
        if (unnamed[pair])
            nets.remove_subcircuit(sub_order[pair]);
    return true;
}

void collect_optical_nets(const std::vector<PortNets::Net>& nets, const EndpointText& text,
                          nb::dict ports, nb::list nets_list) {
    nb::str no_connection("ERROR_NO_CONNECTION");
    for (const PortNets::Net& net : nets) {
        nb::list texts;
        for (const nb::object& pin_name : net.top_pins)
            texts.append(pin_name);
        const bool external = !net.top_pins.empty();
        for (const PortNets::Ref& ref : net.refs)
            texts.append(text(ref));
        if (external) {
            // nothing attached: the placeholder, which the assembly drops
            ports[texts[0]] = nb::len(texts) < 2 ? nb::object(no_connection) : nb::object(texts[1]);
            continue;
        }
        const size_t count = nb::len(texts);
        if (count == 0)
            continue;
        if (PyList_Sort(texts.ptr()) < 0)
            throw nb::python_error();
        nb::object first = texts[0];
        nb::object second = count == 2 ? nb::object(texts[1]) : nb::object(no_connection);
        const int ordered = PyObject_RichCompareBool(first.ptr(), second.ptr(), Py_LT);
        if (ordered < 0)
            throw nb::python_error();
        nb::dict entry;
        entry["p1"] = ordered ? first : second;
        entry["p2"] = ordered ? second : first;
        nets_list.append(entry);
    }
}

} // namespace quillon::lvs
