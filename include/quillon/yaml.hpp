#pragma once
/// Reading YAML files into Python values: a native reader for the YAML that netlist and
/// schematic files use, giving exactly the values of PyYAML's safe loader, and PyYAML itself
/// (through `quillon.yaml_bounded`) for everything else. Writing them: the text of PyYAML's
/// safe dumper, by its C emitter where that writes the same text.

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

/// `yaml.safe_dump(value, sort_keys=False)` of the PyYAML module `yaml_module`: the same
/// text, written by PyYAML's C emitter wherever `c_emitter_agrees`, else by PyYAML's own.
nb::object safe_dump(nb::handle yaml_module, nb::handle value);

/// Whether PyYAML's C emitter is at hand and known to write `value` as its Python emitter
/// does: plain data whose keys and escaped texts stay within the limits where both agree.
bool c_emitter_agrees(nb::handle yaml_module, nb::handle value);

} // namespace quillon::yaml
