#pragma once
/// Reading YAML files into Python values: a native reader for the YAML that netlist and
/// schematic files use, giving exactly the values of PyYAML's safe loader, and PyYAML itself
/// (through `quillon.yaml_bounded`) for everything else.

#include <nanobind/nanobind.h>

namespace quillon::yaml {
namespace nb = nanobind;

/// `yaml.safe_load(text)`, refusing documents whose aliases expand too far as
/// `quillon.yaml_bounded.safe_load` does; `source` names the text in that refusal. Text the
/// native reader does not cover (other tags, block scalars, complex keys, errors, bytes, ...)
/// is read by `quillon.yaml_bounded.safe_load`, so its values and errors are PyYAML's.
nb::object safe_load(nb::handle text, nb::handle source);

/// The native reader alone: the value of `text`, or an invalid object when the reader leaves
/// the text to PyYAML (including documents beyond the alias bound).
nb::object read_native(nb::handle text);

} // namespace quillon::yaml
