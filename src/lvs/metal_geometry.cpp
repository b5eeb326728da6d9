/// MetalGeometry: where nets touch or part in the metal of the checked cell.
///
/// KLayout's netlist extraction over the metal and via layers of the checked
/// cell (read in place: no labels are needed, nets are found by probing the
/// ports) gives each net's shapes, flattened into the cell. A short's parts
/// spread over the shapes of their one net from their ports, all at once, one
/// touching shape per step: where they meet is where the metal joins them. An
/// open's pieces are marked where their metal overlaps on layers that do not
/// connect (a via left out), or else where it comes closest.

#include "quillon/lvs/metal_geometry.hpp"

#include "quillon/lvs/extraction.hpp"
#include "quillon/lvs/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <set>
#include <string>

namespace quillon::lvs {

namespace {

/// At most this many markers per finding: a marker should point, not paint.
constexpr size_t marker_limit = 8;
/// Nets of more shapes are not searched: the markers on their ports remain.
constexpr size_t shape_limit = 20000;

struct Shape {
    size_t layer;
    nb::object polygon; ///< database units, in the checked cell
    int64_t left, bottom, right, top;
};

bool boxes_touch(const Shape& a, const Shape& b) {
    return a.left <= b.right && b.left <= a.right && a.bottom <= b.top && b.bottom <= a.top;
}

/// Keeps the first `marker_limit` distinct markers, by their text.
class Markers {
  public:
    void add(nb::object marker) {
        if (markers_.size() >= marker_limit)
            return;
        if (seen_.insert(nb::cast<std::string>(nb::str(marker))).second)
            markers_.push_back(std::move(marker));
    }
    std::vector<nb::object> take() { return std::move(markers_); }

  private:
    std::vector<nb::object> markers_;
    std::set<std::string> seen_;
};

} // namespace

bool MetalGeometry::ready() {
    if (searches_ >= search_limit)
        return false;
    ++searches_;
    if (tried_)
        return extractor_.is_valid();
    tried_ = true;
    nb::object kcl = cell_.attr("kcl");
    dbu_ = as_double(kcl.attr("dbu"));
    // the layers the layout has; one it lacks conducts nowhere
    nb::dict index_of; // identifier -> position in layers_
    std::vector<nb::object> indexes;
    std::vector<std::pair<size_t, size_t>> touching;
    for (nb::handle layer_set : electrical_layer_sets(cell_, layer_sets_)) {
        long previous = -1;
        for (nb::handle ident : layer_set) {
            nb::object known = index_of.attr("get")(ident);
            long at = known.is_none() ? -1 : static_cast<long>(as_long_long(known));
            if (known.is_none()) {
                try {
                    indexes.push_back(kcl.attr("find_layer")(ident));
                } catch (nb::python_error& error) {
                    if (!error.matches(PyExc_Exception))
                        throw;
                    previous = -1;
                    continue;
                }
                at = static_cast<long>(layer_names_.size());
                layer_names_.push_back(nb::borrow(ident));
                index_of[ident] = nb::int_(at);
            }
            if (previous >= 0)
                touching.emplace_back(static_cast<size_t>(previous), static_cast<size_t>(at));
            previous = at;
        }
    }
    if (indexes.empty())
        return false;
    nb::list listed;
    for (const nb::object& index : indexes)
        listed.append(index);
    nb::object shapes = deps().recursive_shape_iterator(kcl.attr("layout"), cell_.attr("kdb_cell"),
                                                        nb::arg("layers") = listed);
    nb::object extractor = deps().layout_to_netlist(shapes);
    touch_.assign(indexes.size(), std::vector<bool>(indexes.size(), false));
    for (size_t i = 0; i < indexes.size(); ++i) {
        layers_.push_back(extractor.attr("make_layer")(indexes[i]));
        extractor.attr("connect")(layers_.back());
        touch_[i][i] = true;
    }
    for (const auto& [a, b] : touching) {
        extractor.attr("connect")(layers_[b], layers_[a]);
        touch_[a][b] = touch_[b][a] = true;
    }
    extractor.attr("extract_netlist")();
    extractor_ = extractor;
    return true;
}

std::optional<std::pair<nb::object, nb::object>> MetalGeometry::net_at(nb::handle endpoint) {
    nb::object absence;
    nb::object port = report::endpoint_port(instances_, endpoint, absence);
    if (!port.is_valid())
        return std::nullopt;
    const nb::handle kdb = deps().kdb;
    nb::object center = port.attr("center");
    nb::object point = kdb.attr("DPoint")(center[0], center[1]);
    nb::object layer_name = port.attr("layer_info").attr("name");
    // the port's own layer first, then any other
    std::vector<size_t> order;
    for (size_t i = 0; i < layers_.size(); ++i)
        if (layer_names_[i].equal(layer_name))
            order.insert(order.begin(), i);
        else
            order.push_back(i);
    for (size_t i : order) {
        nb::list path;
        nb::object net = extractor_.attr("probe_net")(layers_[i], point, path);
        if (net.is_none())
            continue;
        // a net inside a placed cell: its shapes are moved into the checked cell
        nb::object trans = kdb.attr("DCplxTrans")();
        for (nb::handle subcircuit : path)
            trans = trans * subcircuit.attr("trans");
        return std::make_pair(net, trans.attr("to_itrans")(dbu_));
    }
    return std::nullopt;
}

std::vector<std::pair<size_t, nb::object>>
MetalGeometry::shapes(const std::pair<nb::object, nb::object>& net) {
    std::vector<std::pair<size_t, nb::object>> regions;
    for (size_t i = 0; i < layers_.size(); ++i)
        regions.emplace_back(
            i, extractor_.attr("shapes_of_net")(net.first, layers_[i], true, net.second));
    return regions;
}

std::vector<nb::object> MetalGeometry::junctions(const Parts& parts) {
    if (!ready())
        return {};
    std::optional<std::pair<nb::object, nb::object>> net;
    for (const std::vector<nb::object>& part : parts) {
        for (const nb::object& endpoint : part)
            if ((net = net_at(endpoint)))
                break;
        if (net)
            break;
    }
    if (!net)
        return {};
    std::vector<Shape> nodes;
    for (auto& [layer, region] : shapes(*net)) {
        for (nb::handle polygon : region.attr("each")()) {
            nb::object box = polygon.attr("bbox")();
            nodes.push_back({layer, nb::borrow(polygon), as_long_long(box.attr("left")),
                             as_long_long(box.attr("bottom")), as_long_long(box.attr("right")),
                             as_long_long(box.attr("top"))});
            if (nodes.size() > shape_limit)
                return {};
        }
    }
    // neighbours: shapes that touch, on one layer or on two that connect
    std::vector<size_t> by_left(nodes.size());
    std::iota(by_left.begin(), by_left.end(), size_t{0});
    std::sort(by_left.begin(), by_left.end(),
              [&](size_t a, size_t b) { return nodes[a].left < nodes[b].left; });
    std::vector<std::vector<size_t>> next(nodes.size());
    for (size_t i = 0; i < by_left.size(); ++i) {
        const Shape& a = nodes[by_left[i]];
        for (size_t j = i + 1; j < by_left.size() && nodes[by_left[j]].left <= a.right; ++j) {
            const Shape& b = nodes[by_left[j]];
            if (!touch_[a.layer][b.layer] || !boxes_touch(a, b) ||
                !truthy(a.polygon.attr("touches")(b.polygon)))
                continue;
            next[by_left[i]].push_back(by_left[j]);
            next[by_left[j]].push_back(by_left[i]);
        }
    }
    // every part spreads from the shapes at its ports, one step at a time
    const nb::handle kdb = deps().kdb;
    std::vector<long> part_of(nodes.size(), -1);
    std::vector<long> step(nodes.size(), -1);
    std::vector<size_t> front;
    for (size_t part = 0; part < parts.size(); ++part) {
        for (const nb::object& endpoint : parts[part]) {
            nb::object absence;
            nb::object port = report::endpoint_port(instances_, endpoint, absence);
            if (!port.is_valid())
                continue;
            nb::object center = port.attr("center");
            const auto x = static_cast<int64_t>(std::llround(as_double(center[0]) / dbu_));
            const auto y = static_cast<int64_t>(std::llround(as_double(center[1]) / dbu_));
            nb::object probe = kdb.attr("Box")(x - 1, y - 1, x + 1, y + 1);
            for (size_t n = 0; n < nodes.size(); ++n) {
                const Shape& s = nodes[n];
                if (part_of[n] >= 0 || x < s.left - 1 || x > s.right + 1 || y < s.bottom - 1 ||
                    y > s.top + 1 || !truthy(s.polygon.attr("touches")(probe)))
                    continue;
                part_of[n] = static_cast<long>(part);
                step[n] = 0;
                front.push_back(n);
            }
        }
    }
    while (!front.empty()) {
        std::vector<size_t> reached;
        for (size_t u : front)
            for (size_t v : next[u])
                if (part_of[v] < 0) {
                    part_of[v] = part_of[u];
                    step[v] = step[u] + 1;
                    reached.push_back(v);
                }
        front = std::move(reached);
    }
    Markers markers;
    std::vector<bool> contested(nodes.size(), false);
    for (size_t v = 0; v < nodes.size(); ++v) {
        // reached from two parts in the same step: this shape joins them
        std::set<long> from;
        for (size_t u : next[v])
            if (part_of[u] >= 0 && step[u] == step[v] - 1)
                from.insert(part_of[u]);
        if (from.size() >= 2) {
            contested[v] = true;
            markers.add(nodes[v].polygon.attr("to_dtype")(dbu_));
        }
    }
    for (size_t u = 0; u < nodes.size(); ++u)
        for (size_t v : next[u])
            if (u < v && part_of[u] >= 0 && part_of[v] >= 0 && part_of[u] != part_of[v] &&
                !contested[u] && !contested[v])
                markers.add((nodes[u].polygon.attr("bbox")() & nodes[v].polygon.attr("bbox")())
                                .attr("to_dtype")(dbu_));
    return markers.take();
}

std::vector<nb::object> MetalGeometry::gaps(const Parts& pieces) {
    if (!ready())
        return {};
    std::vector<nb::object> metal; // per piece, all its shapes on one region
    for (const std::vector<nb::object>& piece : pieces) {
        std::optional<std::pair<nb::object, nb::object>> net;
        for (const nb::object& endpoint : piece)
            if ((net = net_at(endpoint)))
                break;
        nb::object region = deps().region();
        if (net)
            for (auto& [layer, shapes_on_layer] : shapes(*net))
                region.attr("insert")(shapes_on_layer);
        metal.push_back(region);
    }
    // the pieces joined closest first, each once: the gaps a repair would close
    const double none = std::numeric_limits<double>::infinity();
    struct Closest {
        double distance = std::numeric_limits<double>::infinity();
        std::vector<nb::object> markers;
    };
    const auto closest = [&](size_t a, size_t b) {
        Closest found;
        if (!truthy(metal[a]) || !truthy(metal[b]))
            return found;
        nb::object overlap = metal[a] & metal[b];
        if (truthy(overlap)) {
            found.distance = 0;
            for (nb::handle polygon : overlap.attr("each")())
                found.markers.push_back(polygon.attr("bbox")().attr("to_dtype")(dbu_));
            return found;
        }
        // the narrowest gap: searched within a width that doubles until something is found
        for (int64_t reach = std::llround(1.0 / dbu_); reach <= std::llround(10000.0 / dbu_);
             reach *= 2) {
            nb::object pairs = metal[a].attr("separation_check")(metal[b], reach);
            nb::object best;
            for (nb::handle pair : pairs.attr("each")()) {
                const double d = as_double(pair.attr("distance")());
                if (d < found.distance) {
                    found.distance = d;
                    best = nb::borrow(pair);
                }
            }
            if (best.is_valid()) {
                found.markers.push_back(best.attr("bbox")().attr("to_dtype")(dbu_));
                return found;
            }
        }
        return found;
    };
    Markers markers;
    std::vector<bool> joined(pieces.size(), false);
    if (!pieces.empty())
        joined[0] = true;
    for (size_t round = 1; round < pieces.size(); ++round) {
        Closest best;
        size_t join = pieces.size();
        for (size_t a = 0; a < pieces.size(); ++a)
            for (size_t b = 0; b < pieces.size(); ++b) {
                if (!joined[a] || joined[b])
                    continue;
                Closest found = closest(a, b);
                if (found.distance < best.distance || join == pieces.size()) {
                    best = std::move(found);
                    join = b;
                }
            }
        if (join == pieces.size())
            break;
        joined[join] = true;
        if (best.distance < none)
            for (nb::object& marker : best.markers)
                markers.add(std::move(marker));
    }
    return markers.take();
}

} // namespace quillon::lvs
