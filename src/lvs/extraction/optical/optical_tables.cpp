/// The optical stage from the cell library's connectivity tables.
///
/// The tables give the port-connectivity netlist as plain lists: per instance
/// its placement, cell and name property; per instance pin its net; per net
/// the pins of the cell itself. Walking the same netlist object by object
/// through the bindings costs more than the library took to build it.
///
/// Subcircuit k was built for instance k, at the instance's placement and of
/// a circuit named after its cell, so the two lists sort into the same order
/// and each instance pairs with its own subcircuit. Subcircuit names are
/// distinct, so mapping them to instance names is the pairing itself.

#include "quillon/errors.hpp"
#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/lvs/extraction/optical/optical_nets.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <cmath>
#include <cstring>
#include <type_traits>
#include <unordered_map>

namespace quillon::lvs {

namespace {

[[noreturn]] void inconsistent(const char* table) {
    PyErr_Format(PyExc_RuntimeError, "the cell library's connectivity tables are inconsistent (%s)",
                 table);
    throw nb::python_error();
}

/// The list `name` of the tables; with `expected`, it must have that length.
nb::list column(nb::handle tables, const char* name, const size_t* expected = nullptr) {
    nb::object value = attribute(tables, name);
    if (!PyList_Check(value.ptr()))
        inconsistent(name);
    nb::list list = nb::borrow<nb::list>(value);
    if (expected && nb::len(list) != *expected)
        inconsistent(name);
    return list;
}

nb::handle item(const nb::list& list, size_t i) {
    return PyList_GET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i));
}

/// `read` as a position below `bound`.
size_t below(size_t bound, long long read, const char* what) {
    if (read < 0 || static_cast<unsigned long long>(read) >= bound)
        inconsistent(what);
    return static_cast<size_t>(read);
}

/// Whether a buffer of `format` holds `Number`s: 8-byte integers, 1-byte
/// integers or doubles.
template <typename Number> bool holds(const char* format) {
    if (format && *format == '@')
        ++format;
    if (!format)
        return false;
    if constexpr (std::is_same_v<Number, double>)
        return std::strcmp(format, "d") == 0;
    else if constexpr (std::is_same_v<Number, int8_t>)
        return std::strcmp(format, "b") == 0;
    else
        return std::strcmp(format, "q") == 0 ||
               (sizeof(long) == 8 && std::strcmp(format, "l") == 0);
}

/// A column of numbers of the tables: an array of them, read in place, or a
/// list of Python numbers.
template <typename Number> class NumberColumn {
  public:
    NumberColumn(nb::handle tables, const char* name, const size_t* expected = nullptr)
        : name_(name), value_(attribute(tables, name)) {
        if (PyList_Check(value_.ptr())) {
            size_ = static_cast<size_t>(PyList_GET_SIZE(value_.ptr()));
        } else {
            if (PyObject_GetBuffer(value_.ptr(), &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
                PyErr_Clear();
                inconsistent(name);
            }
            held_ = true;
            if (view_.itemsize != sizeof(Number) || !holds<Number>(view_.format))
                refuse();
            size_ = static_cast<size_t>(view_.len) / sizeof(Number);
        }
        if (expected && size_ != *expected)
            refuse();
    }
    NumberColumn(const NumberColumn&) = delete;
    NumberColumn& operator=(const NumberColumn&) = delete;
    ~NumberColumn() { release(); }

    size_t size() const { return size_; }

    Number operator[](size_t i) const {
        if (held_)
            return static_cast<const Number*>(view_.buf)[i];
        // a number's own conversion may have changed the list
        if (static_cast<Py_ssize_t>(i) >= PyList_GET_SIZE(value_.ptr()))
            inconsistent(name_);
        nb::handle value = PyList_GET_ITEM(value_.ptr(), static_cast<Py_ssize_t>(i));
        if constexpr (std::is_same_v<Number, double>) {
            return as_double(value);
        } else {
            const long long number = as_long_long(value);
            if (number != static_cast<Number>(number))
                inconsistent(name_);
            return static_cast<Number>(number);
        }
    }

    /// A position below `bound`.
    size_t position(size_t i, size_t bound) const { return below(bound, (*this)[i], name_); }

  private:
    void release() {
        if (held_)
            PyBuffer_Release(&view_);
        held_ = false;
    }

    /// Fails while constructing, when no destructor runs: the array is let
    /// go first, or it could never be resized again.
    [[noreturn]] void refuse() {
        release();
        inconsistent(name_);
    }

    const char* name_;
    nb::object value_;
    Py_buffer view_{};
    bool held_ = false;
    size_t size_ = 0;
};

using IndexColumn = NumberColumn<long long>;

/// The pins of one circuit: their names, and their ids (0, 1, ...).
struct CircuitPins {
    std::vector<nb::object> names;
    std::vector<long> ids;
};

/// Per instance, the pins of its subcircuit's circuit.
std::vector<const CircuitPins*>
pins_by_instance(nb::handle tables, const CellInstances& insts,
                 std::unordered_map<long long, CircuitPins>& circuits) {
    nb::dict pin_names = nb::borrow<nb::dict>(tables.attr("pin_names"));
    std::vector<const CircuitPins*> result;
    result.reserve(insts.size());
    for (long long cell_index : insts.cell_indexes) {
        auto known = circuits.find(cell_index);
        if (known == circuits.end()) {
            PyObject* names = PyDict_GetItemWithError(pin_names.ptr(), nb::int_(cell_index).ptr());
            if (!names) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                inconsistent("pin_names");
            }
            CircuitPins pins;
            for (nb::handle name : nb::handle(names)) {
                pins.ids.push_back(static_cast<long>(pins.names.size()));
                pins.names.push_back(nb::borrow(name));
            }
            known = circuits.emplace(cell_index, std::move(pins)).first;
        }
        result.push_back(&known->second);
    }
    return result;
}

/// The nets model: the nets in `each_net` order, each with its top-level
/// pins in pin order and its instance pins in endpoint order.
PortNets read_nets(nb::handle tables, const std::vector<const CircuitPins*>& pins) {
    const size_t instance_count = pins.size();
    const long long net_count = as_long_long(tables.attr("net_count"));
    if (net_count < 0)
        inconsistent("net_count");
    const size_t nets_total = static_cast<size_t>(net_count);
    PortNets nets(instance_count);
    for (size_t net = 0; net < nets_total; ++net)
        nets.add_net();
    for (nb::handle top_pin : column(tables, "top_pins")) {
        nb::object name = top_pin[0];
        nets.add_top_pin(below(nets_total, as_long_long(top_pin[1]), "top_pins"), name);
    }
    const IndexColumn instances(tables, "endpoint_instances");
    const size_t endpoints = instances.size();
    const IndexColumn pin_positions(tables, "endpoint_pins", &endpoints);
    const IndexColumn net_positions(tables, "endpoint_nets", &endpoints);
    for (size_t e = 0; e < endpoints; ++e) {
        const size_t instance = instances.position(e, instance_count);
        const size_t pin = pin_positions.position(e, pins[instance]->ids.size());
        nets.add_pin(net_positions.position(e, nets_total), instance, static_cast<long>(pin));
    }
    return nets;
}

} // namespace

void CellInstances::from_tables(nb::handle tables, CellInstances& into) {
    nb::list kept_placements = column(tables, "kept_placements");
    const size_t count = nb::len(kept_placements);
    const NumberColumn<int8_t> orientations(tables, "orientations", &count);
    const NumberColumn<double> xs(tables, "xs", &count);
    const NumberColumn<double> ys(tables, "ys", &count);
    const IndexColumn cell_indexes(tables, "cell_indexes", &count);
    nb::list properties = column(tables, "name_properties", &count);
    nb::dict cell_names = nb::borrow<nb::dict>(tables.attr("cell_names"));
    into.kdb_instances = nb::getattr(tables, "named_instances", nb::none());
    into.elements = nb::getattr(tables, "elements", nb::none());
    auto* dcplx_trans = reinterpret_cast<PyTypeObject*>(deps().dcplx_trans.ptr());
    for (size_t i = 0; i < count; ++i) {
        Placement placement;
        nb::handle kept = item(kept_placements, i);
        if (kept.is_none()) {
            // an ordinary placement: made when a comparison needs it
            placement.orientation = orientations[i];
            if (placement.orientation < 0 || placement.orientation > 7)
                inconsistent("orientations");
        } else {
            placement.trans = nb::borrow(kept);
        }
        if (kept.is_none() || Py_TYPE(kept.ptr()) == dcplx_trans) {
            placement.x = xs[i];
            placement.y = ys[i];
            placement.numeric = std::isfinite(placement.x) && std::isfinite(placement.y);
        }
        const long long cell_index = cell_indexes[i];
        const CellNames::Name* cell_name = into.name_cache.find(cell_index);
        if (!cell_name) {
            PyObject* found = PyDict_GetItemWithError(cell_names.ptr(), nb::int_(cell_index).ptr());
            if (!found) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                inconsistent("cell_names");
            }
            cell_name = &into.name_cache.known(cell_index, found);
        }
        // an instance's `name` is its name property as text
        nb::object property = nb::borrow(item(properties, i));
        nb::object name =
            property.is_none() ? nb::object(nb::none()) : nb::object(nb::str(property));
        into.placements.push_back(std::move(placement));
        into.cell_indexes.push_back(cell_index);
        into.cell_names.push_back(cell_name);
        into.properties.push_back(std::move(property));
        into.names.push_back(std::move(name));
    }
}

bool extract_optical_from_tables(nb::handle tables, CellInstances& insts, nb::dict instances,
                                 nb::dict ports, nb::list nets_list, nb::handle joints,
                                 Joints* joints_out) {
    CellInstances::from_tables(tables, insts);
    std::unordered_map<long long, CircuitPins> circuits;
    const std::vector<const CircuitPins*> pins = pins_by_instance(tables, insts, circuits);
    PortNets nets = read_nets(tables, pins);

    // pair p: the instance, and its own subcircuit, at order[p]
    const std::vector<size_t> order = insts.sorted_order();
    std::vector<bool> unnamed(order.size());
    for (size_t pair = 0; pair < order.size(); ++pair)
        unnamed[pair] = insts.properties[order[pair]].is_none();
    const auto pin_ids = [&](size_t sub) -> const std::vector<long>& { return pins[sub]->ids; };
    if (!dissolve_unnamed(nets, unnamed, order, pin_ids))
        return false;

    for (size_t pair = 0; pair < order.size(); ++pair) {
        if (unnamed[pair])
            continue;
        nb::dict component;
        component["component"] = insts.cell_names[order[pair]]->object;
        instances[insts.names[order[pair]]] = component;
    }
    const EndpointText text = [&](const PortNets::Ref& ref) {
        return endpoint_text(insts.names[ref.subcircuit],
                             pins[ref.subcircuit]->names[static_cast<size_t>(ref.pin_id)]);
    };
    const std::vector<PortNets::Net> final_nets = nets.nets();
    if (joints_out) {
        // instance k has its own subcircuit k, whose pin ids are the pins' positions
        const PinLocation locate = [&](size_t instance, size_t pin) -> std::pair<long, long> {
            if (instance >= pins.size() || pin >= pins[instance]->ids.size())
                return {-1, -1};
            return {static_cast<long>(instance), pins[instance]->ids[pin]};
        };
        read_joints(joints, insts, nets, final_nets, locate, text, *joints_out);
    }
    collect_optical_nets(final_nets, text, ports, nets_list);
    return true;
}

} // namespace quillon::lvs
