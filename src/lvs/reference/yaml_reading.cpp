/// `_safe_load` and `_safe_load_native`: the YAML reader of both modules, callable from Python
/// for the command's early look at a reference, tests and benchmarks.

#include "quillon/define.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/yaml.hpp"

namespace quillon::lvs {

void register_yaml_reading(nb::module_& m) {
    define(m, Signature("_safe_load", {any("text"), optional(any("source"))}),
           "def _safe_load(text: str, source: str = '<text>') -> object",
           "yaml.safe_load(text) read natively where the reader covers the text, else by "
           "quillon.yaml_bounded.safe_load; aliases bounded as there.",
           [](const BoundArgs& a) { return yaml::safe_load(a[0], a.get(1, nb::str("<text>"))); });
    define(m, Signature("_safe_load_native", {any("text")}),
           "def _safe_load_native(text: str) -> tuple[bool, object]",
           "(True, value) when the native YAML reader covers the text, else (False, None).",
           [](const BoundArgs& a) {
               nb::object value = yaml::read_native(a[0]);
               if (!value.is_valid())
                   return nb::make_tuple(false, nb::none());
               return nb::make_tuple(true, value);
           });
}

} // namespace quillon::lvs
