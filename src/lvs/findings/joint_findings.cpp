/// find_joint_faults: where the layout's ports do not simply meet in pairs.
///
/// - A branch: a net (once unnamed wiring is dissolved) that joins three or
///   more ports, or two ports and an open end of unnamed wiring: one port
///   meets two or more, directly or through unnamed pieces.
/// - An open end of unnamed wiring: a route from a port that stops short,
///   or a piece of wiring that nothing connects to.
/// - A near miss: two ends that meet nothing but lie in one place with
///   another width, layer or facing, or face each other a small distance
///   apart. When the reference joins what the near miss keeps apart, the
///   missing connection is reported with it; otherwise it is reported alone.
///
/// The items say what the connection passes would say less well (an open
/// port, or a missing connection): the nets they explain are covered, and
/// those passes skip them. The pass runs on every check, a clean difference
/// included: a stub off a waveguide leaves the netlists alike.

#include "quillon/lvs/difference/diff_keys.hpp"
#include "quillon/lvs/extraction/joints.hpp"
#include "quillon/lvs/extraction/layout_instances.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/lvs/netlist/net_groups.hpp"
#include "quillon/py.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace quillon::lvs {

namespace {

constexpr int64_t half_turn = 180000; // millidegrees
constexpr int64_t full_turn = 360000;

/// A length or coordinate in micrometres as text: at most six decimals,
/// trailing zeros dropped ("0.1", "12", "-3.25").
nb::str micrometres(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    std::string s(text);
    s.erase(s.find_last_not_of('0') + 1);
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    if (s == "-0")
        s = "0";
    return nb::str(s.c_str());
}

/// "µm": a format text must be ASCII, so the unit is given as an argument.
nb::str um_unit() {
    return nb::str("\u00b5m");
}

/// The text with its first character in upper case.
nb::object sentence(nb::handle text) {
    nb::object head = text[nb::slice(nb::int_(0), nb::int_(1), nb::none())];
    nb::object rest = text[nb::slice(nb::int_(1), nb::none(), nb::none())];
    return head.attr("upper")() + rest;
}

/// "a, b and c" of the texts.
nb::object listing(const std::vector<nb::object>& texts) {
    if (texts.size() == 1)
        return texts.front();
    nb::list leading;
    for (size_t i = 0; i + 1 < texts.size(); ++i)
        leading.append(texts[i]);
    return format_text("%U and %U", nb::str(", ").attr("join")(leading), texts.back());
}

/// Union-find over small numbers.
class Groups {
  public:
    explicit Groups(size_t count) : parent_(count) {
        std::iota(parent_.begin(), parent_.end(), size_t{0});
    }
    size_t find(size_t at) {
        while (parent_[at] != at)
            at = parent_[at] = parent_[parent_[at]];
        return at;
    }
    void join(size_t a, size_t b) { parent_[find(b)] = find(a); }

  private:
    std::vector<size_t> parent_;
};

struct NearMiss {
    size_t first;
    size_t second;
    double distance; ///< µm
    const kind::Kind* kind;
    nb::object text;
    bool reported = false;
};

class JointReport {
  public:
    JointReport(nb::handle rdb, nb::handle cell, LayoutInstances& instances, const Joints& joints,
                nb::handle written)
        : rdb_(rdb), instances_(instances), joints_(joints), written_(written),
          report_cell_(report::cell_for(rdb, cell)) {}

    nb::handle rdb() const { return rdb_; }

    nb::object item(const char* category, const kind::Kind& kind) const {
        nb::object found = report::category_for(rdb_, report::category_title(category));
        return report::create_item(rdb_, report_cell_, found, kind);
    }

    double um(int64_t dbu) const { return static_cast<double>(dbu) * joints_.dbu; }

    /// "(x, y)" of an end, in micrometres.
    nb::object where(const JointEnd& end) const {
        return format_text("(%U, %U)", micrometres(um(end.x)), micrometres(um(end.y)));
    }

    /// The segment across the end's opening, as `report::port_edge` draws a port.
    nb::object edge(const JointEnd& end) const {
        const nb::handle kdb = deps().kdb;
        const double half = um(end.width) / 2;
        nb::object place = kdb.attr("DCplxTrans")(1.0, static_cast<double>(end.angle) / 1000.0,
                                                  false, um(end.x), um(end.y));
        return kdb.attr("DEdge")(0.0, half, 0.0, -half).attr("transformed")(place);
    }

    /// The outline across both ends' openings, as a connection is marked.
    nb::object span(const JointEnd& a, const JointEnd& b) const {
        return report::span(edge(a), edge(b));
    }

    /// The edge across a named port's opening in the layout, or invalid.
    nb::object port_edge(nb::handle endpoint) const {
        nb::object absence;
        nb::object port = report::endpoint_port(instances_, endpoint, absence);
        return port.is_valid() ? report::port_edge(port) : nb::object();
    }

    nb::object shown(nb::handle endpoint) const {
        return quoted(report::shown_endpoint(written_, endpoint));
    }

    /// The named endpoints of the end's net, quoted and listed.
    nb::object wiring_from(const JointEnd& end) const {
        std::vector<nb::object> named;
        if (end.net >= 0)
            for (const nb::object& endpoint : joints_.nets[static_cast<size_t>(end.net)].named)
                named.push_back(shown(endpoint));
        return named.empty() ? nb::object() : listing(named);
    }

    /// What an end is, within a sentence.
    nb::object describe(const JointEnd& end) const {
        if (end.endpoint.is_valid())
            return format_text("port %U", shown(end.endpoint));
        nb::object from = wiring_from(end);
        if (from.is_valid())
            return format_text("the end of the wiring from %U", from);
        return format_text("an end of unnamed wiring at %U", where(end));
    }

    /// "Ports 'a' and 'b'", or the two ends described.
    nb::object pair(const JointEnd& a, const JointEnd& b) const {
        if (a.endpoint.is_valid() && b.endpoint.is_valid())
            return format_text("Ports %U and %U", shown(a.endpoint), shown(b.endpoint));
        return format_text("%U and %U", sentence(describe(a)), describe(b));
    }

    /// What keeps two lone ends from meeting, or nothing when they are no near miss.
    std::optional<NearMiss> near_miss(size_t first, size_t second) const {
        // a port is named before an end of wiring, two ports in order
        const nb::object& p = joints_.ends[first].endpoint;
        const nb::object& q = joints_.ends[second].endpoint;
        if ((!p.is_valid() && q.is_valid()) || (p.is_valid() && q.is_valid() && less_than(q, p)))
            std::swap(first, second);
        const JointEnd& a = joints_.ends[first];
        const JointEnd& b = joints_.ends[second];
        if (a.x == b.x && a.y == b.y)
            return in_one_place(first, second);
        // a gap: the two face each other, neither behind the other
        const double pi = std::acos(-1.0);
        const double ta = static_cast<double>(a.angle) / 1000.0 * pi / 180.0;
        const double tb = static_cast<double>(b.angle) / 1000.0 * pi / 180.0;
        const double dx = static_cast<double>(b.x - a.x);
        const double dy = static_cast<double>(b.y - a.y);
        const bool facing = std::cos(ta) * std::cos(tb) + std::sin(ta) * std::sin(tb) < -1e-9;
        const bool ahead = dx * std::cos(ta) + dy * std::sin(ta) >= -1.0 &&
                           -dx * std::cos(tb) - dy * std::sin(tb) >= -1.0;
        if (!facing || !ahead)
            return std::nullopt;
        // sqrt, not std::hypot: glibc 2.35 versioned hypot anew, and a module calling it
        // needs that glibc (the binary wheel is kept installable on glibc 2.34)
        const double distance = um(1) * std::sqrt(dx * dx + dy * dy);
        return NearMiss{
            first, second, distance, &kind::gap,
            format_text("%U are %U %U apart", pair(a, b), micrometres(distance), um_unit())};
    }

  private:
    std::optional<NearMiss> in_one_place(size_t first, size_t second) const {
        const JointEnd& a = joints_.ends[first];
        const JointEnd& b = joints_.ends[second];
        std::vector<nb::object> clauses;
        const kind::Kind* found = nullptr;
        const auto differs = [&](const kind::Kind& k, nb::object clause) {
            if (!found)
                found = &k;
            clauses.push_back(std::move(clause));
        };
        if (a.width != b.width)
            differs(kind::width_mismatch,
                    format_text("their widths differ: %U and %U %U", micrometres(um(a.width)),
                                micrometres(um(b.width)), um_unit()));
        if (!a.layer.equal(b.layer))
            differs(kind::layer_mismatch, format_text("their layers differ: %U and %U",
                                                      nb::str(a.layer), nb::str(b.layer)));
        const int64_t turn = ((a.angle - b.angle) % full_turn + full_turn) % full_turn;
        if (turn != half_turn)
            differs(kind::facing_mismatch,
                    format_text("they do not face each other: they face %U and %U degrees",
                                micrometres(static_cast<double>(a.angle) / 1000.0),
                                micrometres(static_cast<double>(b.angle) / 1000.0)));
        if (!found)
            return std::nullopt;
        nb::list listed;
        for (const nb::object& clause : clauses)
            listed.append(clause);
        nb::object text =
            format_text("%U meet but %U", pair(a, b), nb::str(", and ").attr("join")(listed));
        return NearMiss{first, second, 0.0, found, text};
    }

    nb::handle rdb_;
    LayoutInstances& instances_;
    const Joints& joints_;
    nb::handle written_;
    nb::object report_cell_;
};

/// The key of the layout's net from `endpoint` to the open-port placeholder.
nb::object open_port_key(nb::handle endpoint) {
    nb::dict net;
    net["p1"] = endpoint;
    net["p2"] = nb::str("ERROR_NO_CONNECTION");
    return net_str(net);
}

/// The description the connection pass gives the open-port net of `endpoint`.
nb::object open_port_description(nb::handle endpoint) {
    nb::dict net;
    net["p1"] = endpoint;
    net["p2"] = nb::str("ERROR_NO_CONNECTION");
    nb::dict ordered = order_net(net);
    return format_text("Unknown Connection from %U to %U", quoted(ordered["p1"]),
                       quoted(ordered["p2"]));
}

/// The ends that meet nothing, in pairs as close as they come: each end in
/// one pair at most, the closest pairs first.
std::vector<NearMiss> accepted_near_misses(const JointReport& report, const Joints& joints) {
    std::vector<NearMiss> found;
    for (const auto& [first, second] : joints.near)
        if (std::optional<NearMiss> miss = report.near_miss(first, second))
            found.push_back(std::move(*miss));
    std::stable_sort(found.begin(), found.end(),
                     [](const NearMiss& a, const NearMiss& b) { return a.distance < b.distance; });
    std::vector<bool> taken(joints.ends.size(), false);
    std::vector<NearMiss> accepted;
    for (NearMiss& miss : found) {
        if (taken[miss.first] || taken[miss.second])
            continue;
        taken[miss.first] = taken[miss.second] = true;
        accepted.push_back(std::move(miss));
    }
    return accepted;
}

class JointPass {
  public:
    JointPass(nb::handle rdb, nb::handle cell, LayoutInstances& instances, const Joints& joints,
              nb::handle diff, nb::handle ref_netlist, nb::handle written, NetGroupCover& covered)
        : report_(rdb, cell, instances, joints, written), joints_(joints), diff_(diff),
          ref_netlist_(ref_netlist), written_(written), covered_(covered),
          near_(accepted_near_misses(report_, joints)), in_near_miss_(joints.ends.size(), false) {
        for (const NearMiss& miss : near_)
            in_near_miss_[miss.first] = in_near_miss_[miss.second] = true;
    }

    void run() {
        report_missing_connections();
        for (NearMiss& miss : near_)
            if (!miss.reported)
                report_near_miss(miss);
        for (size_t net = 0; net < joints_.nets.size(); ++net)
            report_net(net);
    }

  private:
    /// A reference connection the layout lacks.
    struct MissingNet {
        nb::object key;
        nb::object p1;
        nb::object p2;
    };

    /// The reference connections the layout lacks, read from the difference once.
    const std::vector<MissingNet>& missing_nets() {
        if (!missing_read_) {
            missing_read_ = true;
            nb::object nets = ref_netlist_[nb::str("nets")];
            for (nb::handle key : one_sided_keys(diff_, "nets", Side::reference)) {
                nb::object net = nets[key];
                missing_.push_back({nb::borrow(key), net[nb::str("p1")], net[nb::str("p2")]});
            }
        }
        return missing_;
    }

    /// The group (of nets joined by near misses) of an end.
    size_t group_of(Groups& groups, size_t end) {
        const long net = joints_.ends[end].net;
        return groups.find(net >= 0 ? static_cast<size_t>(net) : joints_.nets.size() + end);
    }

    /// Reference connections the layout lacks between two nets that near
    /// misses all but join: each one item with the near misses that explain it.
    void report_missing_connections() {
        if (near_.empty())
            return;
        Groups groups(joints_.nets.size() + joints_.ends.size());
        for (const NearMiss& miss : near_)
            groups.join(group_of(groups, miss.first), group_of(groups, miss.second));
        nb::dict group_of_endpoint;
        nb::dict net_of_endpoint;
        for (const NearMiss& miss : near_) {
            for (size_t end : {miss.first, miss.second}) {
                const long net = joints_.ends[end].net;
                if (net < 0)
                    continue;
                for (const nb::object& endpoint : joints_.nets[static_cast<size_t>(net)].named) {
                    group_of_endpoint[endpoint] = nb::int_(group_of(groups, end));
                    net_of_endpoint[endpoint] = nb::int_(net);
                }
            }
        }
        std::unordered_map<size_t, std::vector<NearMiss*>> misses_of_group;
        for (NearMiss& miss : near_)
            misses_of_group[group_of(groups, miss.first)].push_back(&miss);
        for (const MissingNet& missing : missing_nets()) {
            const nb::object& p1 = missing.p1;
            const nb::object& p2 = missing.p2;
            nb::object g1 = group_of_endpoint.attr("get")(p1);
            nb::object g2 = group_of_endpoint.attr("get")(p2);
            if (g1.is_none() || !g1.equal(g2) ||
                net_of_endpoint.attr("get")(p1).equal(net_of_endpoint.attr("get")(p2)))
                continue;
            const std::vector<NearMiss*>& explaining = misses_of_group[nb::cast<size_t>(g1)];
            nb::object item = report_.item("missing_connections", *explaining.front()->kind);
            item.attr("add_value")(format_text("Missing Connection from %U to %U",
                                               report_.shown(p1), report_.shown(p2)));
            bool measured = false;
            for (NearMiss* miss : explaining) {
                add_near_miss(item, *miss, !measured);
                measured |= miss->kind == &kind::gap;
            }
            covered_.reference_keys.add(missing.key);
        }
    }

    /// The near miss's text and marker, and its distance when asked for and a gap.
    void add_near_miss(nb::handle item, NearMiss& miss, bool with_distance) {
        item.attr("add_value")(miss.text);
        item.attr("add_value")(report_.span(joints_.ends[miss.first], joints_.ends[miss.second]));
        if (with_distance && miss.kind == &kind::gap)
            report::add_distance(report_.rdb(), item, miss.distance);
        miss.reported = true;
        cover_open_ports(miss.first);
        cover_open_ports(miss.second);
    }

    /// The open-port net of an end's net when that has a single named endpoint.
    void cover_open_ports(size_t end) {
        const long net = joints_.ends[end].net;
        if (net < 0)
            return;
        const std::vector<nb::object>& named = joints_.nets[static_cast<size_t>(net)].named;
        if (named.size() == 1)
            covered_.layout_keys.add(open_port_key(named.front()));
    }

    void report_near_miss(NearMiss& miss) {
        nb::object item = report_.item("unknown_connections", *miss.kind);
        add_near_miss(item, miss, true);
    }

    /// The open ends of unnamed wiring on `net`.
    std::vector<size_t> wiring_ends(const JointNet& net) const {
        std::vector<size_t> ends;
        for (size_t end : net.lone)
            if (!joints_.ends[end].endpoint.is_valid())
                ends.push_back(end);
        return ends;
    }

    void report_net(size_t at) {
        const JointNet& net = joints_.nets[at];
        const std::vector<size_t> open_ends = wiring_ends(net);
        if (!net.named.empty() && net.named.size() + open_ends.size() >= 3)
            report_branch(net, open_ends);
        else if (net.named.size() == 1 && open_ends.size() == 1 && !in_near_miss_[open_ends[0]])
            report_route_end(net.named.front(), joints_.ends[open_ends[0]]);
        else if (net.named.empty())
            report_loose_wiring(open_ends);
    }

    /// The port a branch is told from: the one alone on its side of the only
    /// place where the ports meet, when that is a named port; else the first.
    nb::object branch_subject(const JointNet& net) const {
        nb::object first = *std::min_element(
            net.named.begin(), net.named.end(),
            [](const nb::object& a, const nb::object& b) { return less_than(a, b); });
        if (net.crowded.size() != 1)
            return first;
        std::vector<size_t> sides[2];
        for (size_t end : joints_.crowded[net.crowded.front()])
            sides[joints_.ends[end].angle < half_turn ? 0 : 1].push_back(end);
        for (const std::vector<size_t>& side : sides)
            if (side.size() == 1 && joints_.ends[side.front()].endpoint.is_valid())
                return joints_.ends[side.front()].endpoint;
        return first;
    }

    void report_branch(const JointNet& net, const std::vector<size_t>& open_ends) {
        nb::object subject = branch_subject(net);
        nb::list others;
        for (const nb::object& endpoint : net.named)
            if (!endpoint.equal(subject))
                others.append(endpoint);
        if (PyList_Sort(others.ptr()) < 0)
            throw nb::python_error();
        nb::list met;
        for (nb::handle endpoint : others)
            met.append(report_.shown(endpoint));
        for (size_t end : open_ends)
            met.append(format_text("unnamed wiring that ends open at %U",
                                   report_.where(joints_.ends[end])));
        nb::object item = report_.item("unknown_connections", kind::branch);
        item.attr("add_value")(format_text("Port %U meets %S ports: %U", report_.shown(subject),
                                           nb::int_(nb::len(met)),
                                           nb::str(", ").attr("join")(met)));
        for (const nb::object& endpoint : net.named) {
            nb::object port = report_.port_edge(endpoint);
            if (port.is_valid())
                item.attr("add_value")(port);
        }
        for (size_t place : net.crowded)
            item.attr("add_value")(report_.edge(joints_.ends[joints_.crowded[place].front()]));
        for (size_t end : open_ends)
            item.attr("add_value")(report_.edge(joints_.ends[end]));
        // what the connection passes would read as an open port and missing connections
        if (net.named.size() >= 3)
            covered_.layout_keys.add(open_port_key(subject_of_placeholder(net)));
        cover_reference_nets_within(net.named);
    }

    /// The endpoint the layout's placeholder net of a net of three or more names: its first.
    static nb::object subject_of_placeholder(const JointNet& net) {
        return *std::min_element(
            net.named.begin(), net.named.end(),
            [](const nb::object& a, const nb::object& b) { return less_than(a, b); });
    }

    /// Covers the reference connections the layout lacks between endpoints of `named`.
    void cover_reference_nets_within(const std::vector<nb::object>& named) {
        if (!missing_of_endpoint_.is_valid()) {
            // each missing connection listed under its first endpoint
            missing_of_endpoint_ = nb::dict();
            const std::vector<MissingNet>& missing = missing_nets();
            for (size_t at = 0; at < missing.size(); ++at)
                missing_of_endpoint_.attr("setdefault")(missing[at].p1, nb::list())
                    .attr("append")(nb::int_(at));
        }
        nb::set members;
        for (const nb::object& endpoint : named)
            members.add(endpoint);
        for (const nb::object& endpoint : named)
            for (nb::handle at : missing_of_endpoint_.attr("get")(endpoint, nb::list())) {
                const MissingNet& missing = missing_[nb::cast<size_t>(at)];
                if (members.contains(missing.p2))
                    covered_.reference_keys.add(missing.key);
            }
    }

    /// A route from a port that ends without meeting anything.
    void report_route_end(nb::handle endpoint, const JointEnd& end) {
        nb::object key = open_port_key(endpoint);
        nb::object item = report_.item("unknown_connections", kind::open_end);
        item.attr("add_value")(open_port_description(endpoint));
        item.attr("add_value")(report_.edge(end));
        nb::object port = report_.port_edge(endpoint);
        if (port.is_valid())
            item.attr("add_value")(port);
        item.attr("add_value")(
            format_text("Port %U is open: the wiring from it ends at %U without meeting a port",
                        report_.shown(endpoint), report_.where(end)));
        covered_.layout_keys.add(key);
    }

    /// Unnamed wiring that no named port reaches, at its open ends that no
    /// near miss explains.
    void report_loose_wiring(const std::vector<size_t>& open_ends) {
        std::vector<size_t> ends;
        for (size_t end : open_ends)
            if (!in_near_miss_[end])
                ends.push_back(end);
        if (ends.empty())
            return;
        std::vector<nb::object> places;
        nb::object item = report_.item("unknown_connections", kind::open_end);
        for (size_t end : ends) {
            places.push_back(report_.where(joints_.ends[end]));
            item.attr("add_value")(report_.edge(joints_.ends[end]));
        }
        item.attr("add_value")(format_text(
            "Unnamed wiring that meets no named port ends open at %U", listing(places)));
    }

    JointReport report_;
    const Joints& joints_;
    nb::handle diff_;
    nb::handle ref_netlist_;
    nb::handle written_;
    NetGroupCover& covered_;
    std::vector<NearMiss> near_;
    std::vector<bool> in_near_miss_;
    bool missing_read_ = false;
    std::vector<MissingNet> missing_;
    nb::object
        missing_of_endpoint_; ///< endpoint -> positions in `missing_`, made when first needed
};

} // namespace

void find_joint_faults(nb::handle rdb, nb::handle cell, LayoutInstances& instances,
                       const Joints& joints, nb::handle diff, nb::handle ref_netlist,
                       nb::handle written, NetGroupCover& covered) {
    if (joints.empty())
        return;
    JointPass(rdb, cell, instances, joints, diff, ref_netlist, written, covered).run();
}

} // namespace quillon::lvs
