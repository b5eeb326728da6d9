#pragma once
/// Where the ports of a layout do not simply meet in pairs: ports that meet
/// two or more others (a branch), ends that meet nothing, and pairs of such
/// ends that nearly meet. The optical stage reads them from the cell
/// library's port connectivity (`joints` of its result) and places each on the
/// net it ends up on once unnamed wiring is dissolved; the joint findings
/// (joint_findings.cpp) turn them into report items.

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quillon::lvs {
namespace nb = nanobind;

/// An instance port as it is placed.
struct JointEnd {
    nb::object endpoint; ///< "instance,port" of a named instance; invalid for unnamed wiring
    int64_t x = 0, y = 0, width = 0; ///< database units
    int64_t angle = 0;               ///< millidegrees
    nb::object layer;                ///< the layer's name
    long net = -1; ///< its net among `Joints::nets`, -1 when it could not be placed on one
};

/// A net (after unnamed wiring is dissolved) that holds a joint end.
struct JointNet {
    std::vector<nb::object> named; ///< the endpoints of its named instances
    std::vector<size_t> lone;      ///< its ends that meet nothing
    std::vector<size_t> crowded;   ///< the crowded places (of `Joints::crowded`) on it
};

struct Joints {
    std::vector<JointEnd> ends;
    std::vector<JointNet> nets;
    std::vector<std::vector<size_t>> crowded;    ///< per place where three or more ports meet
    std::vector<size_t> lone;                    ///< ends that meet nothing
    std::vector<std::pair<size_t, size_t>> near; ///< pairs of lone ends close to each other
    double dbu = 0.001;

    bool empty() const { return crowded.empty() && lone.empty(); }
};

} // namespace quillon::lvs
