/// match_ports: one pass over a cell's instances that reads what the port
/// connectivity needs of each (cell, placement, name property) and places its
/// ports, then the matching of those ports (port_matching.cpp).
///
/// The ports of a placed cell come from the Python side, once per cell, as
/// the cell library's own port keys under each of the eight orientations of an
/// ordinary placement; an instance then only adds its displacement. Instances
/// with a complex placement, and cells with off-grid or angled ports, get
/// their keys from the Python side per instance. An instance array is read as
/// its elements, each placed, named and matched like an instance of its own;
/// the Python side lists them (see `match_ports` for arrays without
/// properties).

#include "quillon/cellgrid/port_matching.hpp"
#include "quillon/define.hpp"
#include "quillon/py.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>

namespace quillon::cellgrid {

namespace {

/// A placed cell's ports, as an ordinary placement of each orientation code
/// (0..3 rotations, 4..7 mirrored) puts them relative to its displacement.
struct CellPorts {
    size_t pin_count = 0;
    bool regular = false; ///< false: every instance asks the Python side
    std::array<std::vector<PlacedPort>, 8> by_orientation;
};

/// Names looked up on every instance, interned once per call.
struct Names {
    nb::object cell_index = interned("cell_index");
    nb::object prop_id = interned("prop_id");
    nb::object property = interned("property");
    nb::object dcplx_trans = interned("dcplx_trans");
    nb::object disp = interned("disp");
    nb::object x = interned("x");
    nb::object y = interned("y");
    nb::object rot = interned("rot");
    nb::object is_complex = interned("is_complex");
    nb::object is_regular_array = interned("is_regular_array");
};

std::vector<PlacedPort> placed_ports(nb::handle rows, size_t expected) {
    std::vector<PlacedPort> ports;
    for (nb::handle row : rows)
        ports.push_back(PlacedPort::from_tuple(row));
    if (ports.size() != expected) {
        PyErr_SetString(PyExc_ValueError, "a placed cell gave a different number of ports");
        throw nb::python_error();
    }
    return ports;
}

CellPorts read_cell_ports(nb::handle cell_ports, nb::handle cell_index) {
    nb::object answer = cell_ports(cell_index);
    CellPorts cell;
    cell.pin_count = nb::cast<size_t>(answer[0]);
    nb::object orientations = answer[1];
    cell.regular = !orientations.is_none();
    if (cell.regular) {
        if (nb::len(orientations) != 8) {
            PyErr_SetString(PyExc_ValueError, "a placed cell needs its ports in 8 orientations");
            throw nb::python_error();
        }
        for (size_t code = 0; code < 8; ++code)
            cell.by_orientation[code] = placed_ports(orientations[code], cell.pin_count);
    }
    return cell;
}

/// A new `array.array` of `typecode` holding `values`, copied once.
template <typename Number>
nb::object array_of(nb::handle array_type, const char* typecode,
                    const std::vector<Number>& values) {
    nb::object made = array_type(typecode);
    if (values.empty())
        return made;
    nb::object bytes = checked(PyMemoryView_FromMemory(
        const_cast<char*>(reinterpret_cast<const char*>(values.data())),
        static_cast<Py_ssize_t>(values.size() * sizeof(Number)), PyBUF_READ));
    made.attr("frombytes")(bytes);
    return made;
}

nb::object index_object(size_t value) {
    return checked(PyLong_FromSize_t(value));
}

/// What the instance loop gathers, one row per placed instance or array element.
struct Rows {
    PortMatcher matcher;
    // a placement object is kept only where it carries more than the
    // displacement and orientation code: for named and complex instances
    nb::list kept_placements, name_properties, named_instances;
    nb::dict elements; ///< row -> (i, j), for the rows of array elements
    std::vector<int8_t> orientations;
    // the numbers are kept as machine numbers and handed over as arrays: as
    // Python numbers they would take several times the memory
    std::vector<double> xs, ys;
    std::vector<int64_t> cell_indexes, endpoint_instances, endpoint_pins;
};

/// One placement of a cell: an instance, or an element of an instance array.
struct Placed {
    nb::handle instance; ///< KLayout's instance (the array, for an element)
    nb::handle trans;
    nb::handle name; ///< the name property; its own name for an element
    nb::handle cell_index;
    long long index;
    bool ordinary;
};

/// Places the ports of one placement and adds its row.
void add_row(Rows& rows, const Names& names, double dbu, nb::handle irregular_ports,
             const Placed& placed, const CellPorts& ports) {
    nb::object disp = get_attribute(placed.trans, names.disp);
    const double x = as_double(get_attribute(disp, names.x));
    const double y = as_double(get_attribute(disp, names.y));
    const long long code =
        placed.ordinary ? as_long_long(call_method(placed.trans, names.rot)) : -1;
    if (ports.regular && placed.ordinary) {
        // an ordinary placement is on the grid: its displacement in µm is
        // its displacement in database units times the unit
        const int64_t dx = std::llround(x / dbu);
        const int64_t dy = std::llround(y / dbu);
        for (PlacedPort port : ports.by_orientation.at(static_cast<size_t>(code))) {
            port.x += dx;
            port.y += dy;
            rows.matcher.add(port);
        }
    } else {
        for (const PlacedPort& port :
             placed_ports(irregular_ports(placed.cell_index, placed.trans), ports.pin_count))
            rows.matcher.add(port);
    }
    const auto row = static_cast<int64_t>(rows.xs.size());
    for (size_t pin = 0; pin < ports.pin_count; ++pin) {
        rows.endpoint_instances.push_back(row);
        rows.endpoint_pins.push_back(static_cast<int64_t>(pin));
    }
    const bool unnamed = placed.name.is_none();
    rows.orientations.push_back(static_cast<int8_t>(code));
    rows.kept_placements.append(placed.ordinary && unnamed ? nb::none() : placed.trans);
    rows.xs.push_back(x);
    rows.ys.push_back(y);
    rows.cell_indexes.push_back(placed.index);
    // only named instances are kept: most of a layout is unnamed wiring
    rows.named_instances.append(unnamed ? nb::none() : placed.instance);
    rows.name_properties.append(placed.name);
}

/// The ports that do not simply meet in pairs, as (crowded, lone, near,
/// places): per place where three or more ports meet its endpoints; the
/// endpoints that meet nothing and expose no port of the cell; the pairs of
/// those at most `reach` database units apart; and where each of these
/// endpoints is, as (x, y, layer, width, angle).
nb::tuple joints(const PortMatcher& matcher, const std::vector<bool>& exposed, int64_t reach) {
    nb::dict places;
    const auto place = [&](uint32_t e) {
        const PlacedPort& p = matcher.port(e);
        places[index_object(e)] = nb::make_tuple(p.x, p.y, p.layer, p.width, p.angle);
    };
    nb::list crowded;
    for (const std::vector<uint32_t>& ends : matcher.crowded()) {
        nb::list listed;
        for (uint32_t e : ends) {
            listed.append(index_object(e));
            place(e);
        }
        crowded.append(listed);
    }
    const std::vector<uint32_t> lone_ends = matcher.lone(exposed);
    nb::list lone;
    for (uint32_t e : lone_ends) {
        lone.append(index_object(e));
        place(e);
    }
    nb::list near;
    for (const auto& [first, second] : matcher.near_pairs(lone_ends, reach))
        near.append(nb::make_tuple(index_object(first), index_object(second)));
    return nb::make_tuple(crowded, lone, near, places);
}

/// What one pass over the instances gives: their rows, with their ports
/// matched, and how the cell's own ports attach.
struct Matched {
    Rows rows;
    nb::list top_nets;
    std::vector<bool> exposed; ///< per net: a port of the cell exposes it
    size_t net_count = 0;
};

/// The arguments of `match_ports` that every pass reads.
struct Inputs {
    nb::handle kdb_cell;
    nb::handle name_propid;
    double dbu;
    nb::handle cell_ports;
    nb::handle irregular_ports;
    nb::handle top_ports;
    nb::handle array_elements;
};

/// Reads the instances and matches their ports. An array with properties (a
/// named one) is read as its elements; with `every_array`, so is one without.
Matched read_and_match(const Inputs& in, const Names& names,
                       std::unordered_map<long long, CellPorts>& cells, bool every_array) {
    Matched matched;
    Rows& rows = matched.rows;
    nb::object instances =
        checked(PyObject_GetIter(call_method(in.kdb_cell, interned("each_inst")).ptr()));
    while (PyObject* next = PyIter_Next(instances.ptr())) {
        nb::object instance = nb::steal(next);
        nb::object cell_index = get_attribute(instance, names.cell_index);
        const long long index = as_long_long(cell_index);
        auto cell = cells.find(index);
        if (cell == cells.end())
            cell = cells.emplace(index, read_cell_ports(in.cell_ports, cell_index)).first;
        const bool ordinary = !truthy(call_method(instance, names.is_complex));
        // an instance without properties has the property id 0: no name to read
        const bool has_properties = truthy(get_attribute(instance, names.prop_id));
        if ((has_properties || every_array) &&
            truthy(call_method(instance, names.is_regular_array))) {
            // listed by the Python side, which names the elements of a named array
            for (nb::handle element : in.array_elements(instance)) {
                if (!element[2].is_none()) // an array of one is a plain instance
                    rows.elements[index_object(rows.xs.size())] = element[2];
                add_row(rows, names, in.dbu, in.irregular_ports,
                        {instance, element[0], element[1], cell_index, index, ordinary},
                        cell->second);
            }
            continue;
        }
        nb::object name =
            has_properties ? checked(PyObject_CallMethodOneArg(instance.ptr(), names.property.ptr(),
                                                               in.name_propid.ptr()))
                           : nb::none();
        nb::object trans = get_attribute(instance, names.dcplx_trans);
        add_row(rows, names, in.dbu, in.irregular_ports,
                {instance, trans, name, cell_index, index, ordinary}, cell->second);
    }
    if (PyErr_Occurred())
        throw nb::python_error();

    PortMatcher& matcher = rows.matcher;
    matcher.match();
    matched.net_count = matcher.net_count();
    matched.exposed.assign(matched.net_count, false);
    for (nb::handle row : in.top_ports) {
        // a cell port exposes the instance port at its place, facing its way;
        // a port that exposes nothing gets a net of its own
        const long long net = matcher.net_at(PlacedPort::from_tuple(row));
        if (net >= 0)
            matched.exposed[static_cast<size_t>(net)] = true;
        matched.top_nets.append(
            index_object(net >= 0 ? static_cast<size_t>(net) : matched.net_count++));
    }
    return matched;
}

/// Whether the cell places an array without properties.
bool places_unnamed_arrays(nb::handle kdb_cell, const Names& names) {
    for (nb::handle instance : call_method(kdb_cell, interned("each_inst")))
        if (!truthy(get_attribute(instance, names.prop_id)) &&
            truthy(call_method(instance, names.is_regular_array)))
            return true;
    return false;
}

nb::tuple match_ports(const Inputs& in, double reach) {
    const Names names;
    std::unordered_map<long long, CellPorts> cells;
    // Asking each of the many plain instances whether it is an array would
    // cost more than matching their ports, so an array without properties
    // (unnamed wiring) is first read as one instance. Its other elements'
    // neighbours then meet nothing: only when some port does is the cell
    // searched for such arrays, and read again with their elements.
    Matched matched = read_and_match(in, names, cells, false);
    bool every_array = false;
    if (!matched.rows.matcher.lone(matched.exposed).empty() &&
        places_unnamed_arrays(in.kdb_cell, names)) {
        every_array = true;
        matched = read_and_match(in, names, cells, true);
    }
    const Rows& rows = matched.rows;
    const PortMatcher& matcher = rows.matcher;
    const std::vector<int64_t> endpoint_nets(matcher.nets().begin(), matcher.nets().end());
    nb::object array = nb::module_::import_("array").attr("array");
    return nb::make_tuple(
        array_of(array, "b", rows.orientations), rows.kept_placements,
        array_of(array, "d", rows.xs), array_of(array, "d", rows.ys),
        array_of(array, "q", rows.cell_indexes), rows.name_properties, rows.named_instances,
        array_of(array, "q", rows.endpoint_instances), array_of(array, "q", rows.endpoint_pins),
        array_of(array, "q", endpoint_nets), matched.top_nets, matched.net_count, rows.elements,
        joints(matcher, matched.exposed, std::max<int64_t>(1, std::llround(reach / in.dbu))),
        nb::bool_(every_array));
}

} // namespace

void register_port_connectivity(nb::module_& m) {
    define(m,
           Signature("match_ports", {any("kdb_cell"), any("name_propid"), any("dbu"),
                                     any("cell_ports"), any("irregular_ports"), any("top_ports"),
                                     any("array_elements"), any("reach")}),
           "def match_ports(kdb_cell: klayout.db.Cell, name_propid: int, dbu: float, "
           "cell_ports: Callable[[int], tuple[int, list[list[PlacedPort]] | None]], "
           "irregular_ports: Callable[[int, klayout.db.DCplxTrans], list[PlacedPort]], "
           "top_ports: list[PlacedPort], array_elements: Callable[[klayout.db.Instance], "
           "list[tuple[klayout.db.DCplxTrans, Any, tuple[int, int]]]], reach: float) -> tuple",
           "The instances of a cell (an array's elements one by one) and the nets of their "
           "ports: orientation codes, the placements of named and complex instances, x, y, cell "
           "indexes, name properties, KLayout's instances of the named ones, endpoint instances, "
           "endpoint pins, endpoint nets, the nets of the top ports, the number of nets, the "
           "(i, j) of each array element by its position, the ports that do not meet in "
           "pairs (crowded places, lone ports, lone ports at most `reach` µm apart, and their "
           "places), and whether arrays without properties were read as their elements.",
           [](const BoundArgs& a) {
               return match_ports({a[0], a[1], nb::cast<double>(a[2]), a[3], a[4], a[5], a[6]},
                                  nb::cast<double>(a[7]));
           });
}

} // namespace quillon::cellgrid
