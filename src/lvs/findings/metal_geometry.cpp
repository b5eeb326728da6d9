/// MetalGeometry: where nets touch or part in the metal of the checked cell.
///
/// Within a window around a finding's ports, the metal and via shapes are
/// copied flat into a layout of their own and KLayout's netlist extraction
/// finds their nets there (nets are found by probing the ports, so no labels
/// are needed, and the checked layout is only read). A short's parts spread
/// over the shapes of their one net from their ports, all at once, one
/// touching shape per step: where they meet is where the metal joins them. An
/// open's pieces are marked where their metal overlaps on layers that do not
/// connect (a via left out), or else where it comes closest. A search that
/// finds nothing in its window tries again in one twice as wide, up to the
/// whole cell.

#include "quillon/lvs/findings/metal_geometry.hpp"

#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <set>
#include <string>

namespace quillon::lvs {

namespace {

/// At most this many markers per finding: a marker should point, not paint.
constexpr size_t marker_limit = 8;
/// Nets of more shapes are not searched: the markers on their ports remain.
constexpr size_t shape_limit = 20000;
/// µm around the ports of a finding that its first window takes in.
constexpr double first_margin = 50.0;
/// Open pieces compared pairwise, at most: a few of them mark the gaps well enough.
constexpr size_t piece_limit = 16;

using Window = MetalGeometry::Window;
using Pin = MetalGeometry::Pin;

struct Shape {
    size_t layer;
    nb::object polygon; ///< database units
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

/// The net at a pin in the window: probed on the pin's own layer first.
nb::object net_at(const Window& window, const Pin& pin, double dbu) {
    nb::object point = deps().kdb.attr("DPoint")(static_cast<double>(pin.x) * dbu,
                                                 static_cast<double>(pin.y) * dbu);
    std::vector<size_t> order;
    for (size_t i = 0; i < window.layers.size(); ++i)
        if (static_cast<long>(i) == pin.layer)
            order.insert(order.begin(), i);
        else
            order.push_back(i);
    for (size_t i : order) {
        nb::object net = window.extractor.attr("probe_net")(window.layers[i], point);
        if (!net.is_none())
            return net;
    }
    return nb::object();
}

/// The net of the first pin of `part` that lies on metal, or invalid.
nb::object net_of_part(const Window& window, const std::vector<Pin>& pins, size_t part,
                       double dbu) {
    for (const Pin& pin : pins)
        if (pin.part == part)
            if (nb::object net = net_at(window, pin, dbu); net.is_valid())
                return net;
    return nb::object();
}

/// The shapes of a net, one polygon each, or nothing when there are too many.
std::optional<std::vector<Shape>> shapes_of(const Window& window, nb::handle net) {
    std::vector<Shape> shapes;
    for (size_t layer = 0; layer < window.layers.size(); ++layer) {
        nb::object region = window.extractor.attr("shapes_of_net")(net, window.layers[layer], true);
        for (nb::handle polygon : region.attr("each")()) {
            nb::object box = polygon.attr("bbox")();
            shapes.push_back({layer, nb::borrow(polygon), as_long_long(box.attr("left")),
                              as_long_long(box.attr("bottom")), as_long_long(box.attr("right")),
                              as_long_long(box.attr("top"))});
            if (shapes.size() > shape_limit)
                return std::nullopt;
        }
    }
    return shapes;
}

/// Per shape, the shapes it touches on its own layer or on one it conducts into.
std::vector<std::vector<size_t>> neighbours(const std::vector<Shape>& shapes,
                                            const std::vector<std::vector<bool>>& touch) {
    std::vector<size_t> by_left(shapes.size());
    std::iota(by_left.begin(), by_left.end(), size_t{0});
    std::sort(by_left.begin(), by_left.end(),
              [&](size_t a, size_t b) { return shapes[a].left < shapes[b].left; });
    std::vector<std::vector<size_t>> next(shapes.size());
    for (size_t i = 0; i < by_left.size(); ++i) {
        const Shape& a = shapes[by_left[i]];
        for (size_t j = i + 1; j < by_left.size() && shapes[by_left[j]].left <= a.right; ++j) {
            const Shape& b = shapes[by_left[j]];
            if (!touch[a.layer][b.layer] || !boxes_touch(a, b) ||
                !truthy(a.polygon.attr("touches")(b.polygon)))
                continue;
            next[by_left[i]].push_back(by_left[j]);
            next[by_left[j]].push_back(by_left[i]);
        }
    }
    return next;
}

/// Where the parts of one net meet (see `MetalGeometry::junctions`).
std::vector<nb::object> junctions_in(const Window& window, const std::vector<Pin>& pins,
                                     const std::vector<std::vector<bool>>& touch, double dbu) {
    nb::object net;
    for (const Pin& pin : pins)
        if ((net = net_at(window, pin, dbu)).is_valid())
            break;
    if (!net.is_valid())
        return {};
    const std::optional<std::vector<Shape>> found = shapes_of(window, net);
    if (!found)
        return {};
    const std::vector<Shape>& shapes = *found;
    const std::vector<std::vector<size_t>> next = neighbours(shapes, touch);

    // every part spreads from the shapes at its ports, one step at a time
    const nb::handle kdb = deps().kdb;
    std::vector<long> part_of(shapes.size(), -1);
    std::vector<long> step(shapes.size(), -1);
    std::vector<size_t> front;
    for (const Pin& pin : pins) {
        nb::object probe = kdb.attr("Box")(pin.x - 1, pin.y - 1, pin.x + 1, pin.y + 1);
        for (size_t n = 0; n < shapes.size(); ++n) {
            const Shape& s = shapes[n];
            if (part_of[n] >= 0 || pin.x < s.left - 1 || pin.x > s.right + 1 ||
                pin.y < s.bottom - 1 || pin.y > s.top + 1 ||
                !truthy(s.polygon.attr("touches")(probe)))
                continue;
            part_of[n] = static_cast<long>(pin.part);
            step[n] = 0;
            front.push_back(n);
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
    std::vector<bool> contested(shapes.size(), false);
    for (size_t v = 0; v < shapes.size(); ++v) {
        // reached from two parts in the same step: this shape joins them
        std::set<long> from;
        for (size_t u : next[v])
            if (part_of[u] >= 0 && step[u] == step[v] - 1)
                from.insert(part_of[u]);
        if (from.size() >= 2) {
            contested[v] = true;
            markers.add(shapes[v].polygon.attr("to_dtype")(dbu));
        }
    }
    for (size_t u = 0; u < shapes.size(); ++u)
        for (size_t v : next[u])
            if (u < v && part_of[u] >= 0 && part_of[v] >= 0 && part_of[u] != part_of[v] &&
                !contested[u] && !contested[v])
                markers.add((shapes[u].polygon.attr("bbox")() & shapes[v].polygon.attr("bbox")())
                                .attr("to_dtype")(dbu));
    return markers.take();
}

/// How close the metal of two pieces comes, and where.
struct Closest {
    double distance = std::numeric_limits<double>::infinity();
    std::vector<nb::object> markers;
};

Closest closest(nb::handle a, nb::handle b, double dbu, int64_t widest) {
    Closest found;
    if (!truthy(a) || !truthy(b))
        return found;
    nb::object overlap = a & b;
    if (truthy(overlap)) {
        found.distance = 0;
        for (nb::handle polygon : overlap.attr("each")())
            found.markers.push_back(polygon.attr("bbox")().attr("to_dtype")(dbu));
        return found;
    }
    // the narrowest gap: searched within a width that doubles until something is found
    for (int64_t reach = std::llround(1.0 / dbu); reach <= 2 * widest; reach *= 2) {
        nb::object pairs = a.attr("separation_check")(b, reach);
        nb::object best;
        for (nb::handle pair : pairs.attr("each")()) {
            const double d = as_double(pair.attr("distance")());
            if (d < found.distance) {
                found.distance = d;
                best = nb::borrow(pair);
            }
        }
        if (best.is_valid()) {
            found.markers.push_back(best.attr("bbox")().attr("to_dtype")(dbu));
            return found;
        }
    }
    return found;
}

/// Where the pieces of a net come closest (see `MetalGeometry::gaps`).
std::vector<nb::object> gaps_in(const Window& window, const std::vector<Pin>& pins, size_t count,
                                int64_t widest, double dbu) {
    std::vector<nb::object> metal; // per piece, all its shapes on one region
    for (size_t piece = 0; piece < count; ++piece) {
        nb::object net = net_of_part(window, pins, piece, dbu);
        nb::object region = deps().region();
        if (!net.is_valid())
            return {}; // a piece without metal here: a wider window may find it
        for (const nb::object& layer : window.layers)
            region.attr("insert")(window.extractor.attr("shapes_of_net")(net, layer, true));
        metal.push_back(region);
    }
    // the pieces joined closest first, each once: the gaps a repair would close
    std::vector<std::vector<std::optional<Closest>>> measured(
        count, std::vector<std::optional<Closest>>(count));
    const auto between = [&](size_t a, size_t b) -> const Closest& {
        std::optional<Closest>& known = measured[std::min(a, b)][std::max(a, b)];
        if (!known)
            known = closest(metal[std::min(a, b)], metal[std::max(a, b)], dbu, widest);
        return *known;
    };
    Markers markers;
    std::vector<bool> joined(count, false);
    if (count > 0)
        joined[0] = true;
    for (size_t round = 1; round < count; ++round) {
        const Closest* best = nullptr;
        size_t join = count;
        for (size_t a = 0; a < count; ++a)
            for (size_t b = 0; b < count; ++b) {
                if (!joined[a] || joined[b])
                    continue;
                const Closest& found = between(a, b);
                if (!best || found.distance < best->distance) {
                    best = &found;
                    join = b;
                }
            }
        if (join == count)
            break;
        joined[join] = true;
        for (const nb::object& marker : best->markers)
            markers.add(marker);
    }
    return markers.take();
}

} // namespace

bool MetalGeometry::layers_known() {
    if (resolved_)
        return !layer_indexes_.empty();
    resolved_ = true;
    nb::object kcl = cell_.attr("kcl");
    dbu_ = as_double(kcl.attr("dbu"));
    // the layers the layout has; one it lacks conducts nowhere
    nb::dict index_of; // identifier -> position among the layers
    std::vector<std::pair<size_t, size_t>> touching;
    for (nb::handle layer_set : electrical_layer_sets(cell_, layer_sets_)) {
        long previous = -1;
        for (nb::handle ident : layer_set) {
            nb::object known = index_of.attr("get")(ident);
            long at = known.is_none() ? -1 : static_cast<long>(as_long_long(known));
            if (known.is_none()) {
                try {
                    layer_indexes_.push_back(kcl.attr("find_layer")(ident));
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
    touch_.assign(layer_indexes_.size(), std::vector<bool>(layer_indexes_.size(), false));
    for (size_t i = 0; i < layer_indexes_.size(); ++i)
        touch_[i][i] = true;
    for (const auto& [a, b] : touching)
        touch_[a][b] = touch_[b][a] = true;
    return !layer_indexes_.empty();
}

std::vector<Pin> MetalGeometry::pins(const Parts& parts) const {
    std::vector<Pin> found;
    for (size_t part = 0; part < parts.size(); ++part) {
        for (const nb::object& endpoint : parts[part]) {
            nb::object absence;
            nb::object port = report::endpoint_port(instances_, endpoint, absence);
            // an optical port is no place to look for metal
            if (!port.is_valid() || !is_electrical_port_type(port.attr("port_type")))
                continue;
            nb::object center = port.attr("center");
            nb::object layer_name = port.attr("layer_info").attr("name");
            long layer = -1;
            for (size_t i = 0; i < layer_names_.size(); ++i)
                if (layer_names_[i].equal(layer_name))
                    layer = static_cast<long>(i);
            found.push_back({std::llround(as_double(center[0]) / dbu_),
                             std::llround(as_double(center[1]) / dbu_), layer, part});
        }
    }
    return found;
}

Window MetalGeometry::window(nb::handle box) const {
    const Dependencies& d = deps();
    Window window;
    window.layout = d.kdb.attr("Layout")();
    window.layout.attr("dbu") = dbu_;
    nb::object top = window.layout.attr("create_cell")("metal");
    nb::object layout = cell_.attr("kcl").attr("layout");
    nb::object cell = cell_.attr("kdb_cell");
    nb::list copies;
    for (size_t i = 0; i < layer_indexes_.size(); ++i) {
        nb::object copy = window.layout.attr("layer")(nb::int_(i), nb::int_(0));
        nb::object shapes = d.recursive_shape_iterator(layout, cell, layer_indexes_[i], box);
        top.attr("shapes")(copy).attr("insert")(d.region(shapes));
        copies.append(copy);
    }
    window.extractor = d.layout_to_netlist(
        d.recursive_shape_iterator(window.layout, top, nb::arg("layers") = copies));
    for (nb::handle copy : copies) {
        window.layers.push_back(window.extractor.attr("make_layer")(copy));
        window.extractor.attr("connect")(window.layers.back());
    }
    for (size_t a = 0; a < touch_.size(); ++a)
        for (size_t b = a + 1; b < touch_.size(); ++b)
            if (touch_[a][b])
                window.extractor.attr("connect")(window.layers[b], window.layers[a]);
    window.extractor.attr("extract_netlist")();
    return window;
}

template <typename Find>
std::vector<nb::object> MetalGeometry::search(const Parts& parts, Find find) {
    if (searches_ >= search_limit || !layers_known())
        return {};
    ++searches_;
    const std::vector<Pin> found = pins(parts);
    if (found.empty())
        return {};
    int64_t left = found.front().x, right = left, bottom = found.front().y, top = bottom;
    for (const Pin& pin : found) {
        left = std::min(left, pin.x);
        right = std::max(right, pin.x);
        bottom = std::min(bottom, pin.y);
        top = std::max(top, pin.y);
    }
    nb::object whole = cell_.attr("kdb_cell").attr("bbox")();
    const nb::handle kdb = deps().kdb;
    int64_t margin = std::llround(first_margin / dbu_);
    for (int round = 0;; ++round) {
        nb::object box =
            kdb.attr("Box")(left - margin, bottom - margin, right + margin, top + margin);
        const bool everything = round >= 30 || truthy(whole.attr("empty")()) ||
                                (truthy(box.attr("contains")(whole.attr("p1"))) &&
                                 truthy(box.attr("contains")(whole.attr("p2"))));
        const int64_t widest = std::max(right - left, top - bottom) + 2 * margin;
        std::vector<nb::object> markers = find(window(box), found, widest);
        if (!markers.empty() || everything)
            return markers;
        margin = 2 * margin + std::max(right - left, top - bottom);
    }
}

std::vector<nb::object> MetalGeometry::junctions(const Parts& parts) {
    return search(parts, [&](const Window& window, const std::vector<Pin>& found, int64_t) {
        return junctions_in(window, found, touch_, dbu_);
    });
}

std::vector<nb::object> MetalGeometry::gaps(const Parts& pieces) {
    const size_t count = std::min(pieces.size(), piece_limit);
    const Parts compared(pieces.begin(), pieces.begin() + static_cast<long>(count));
    return search(compared,
                  [&](const Window& window, const std::vector<Pin>& found, int64_t widest) {
                      return gaps_in(window, found, count, widest, dbu_);
                  });
}

} // namespace quillon::lvs
