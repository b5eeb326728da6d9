/// `_safe_dump` and `_safe_dump_native`: the YAML writer of the saves, callable from Python
/// for tests and benchmarks.

#include "quillon/define.hpp"
#include "quillon/schematic/schematic.hpp"
#include "quillon/yaml.hpp"

namespace quillon::schematic {

void register_yaml_writing(nb::module_& m) {
    define(m, Signature("_safe_dump", {any("value")}), "def _safe_dump(value: object) -> str",
           "yaml.safe_dump(value, sort_keys=False), written by PyYAML's C emitter where it "
           "writes the same text.",
           [](const BoundArgs& a) { return yaml::safe_dump(deps().yaml, a[0]); });
    define(m, Signature("_safe_dump_native", {any("value")}),
           "def _safe_dump_native(value: object) -> bool",
           "Whether _safe_dump leaves the value to PyYAML's C emitter.",
           [](const BoundArgs& a) -> nb::object {
               return nb::bool_(yaml::c_emitter_agrees(deps().yaml, a[0]));
           });
}

} // namespace quillon::schematic
