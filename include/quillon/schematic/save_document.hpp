#pragma once
/// The document the editor exchanges with the netlist routes: decoding a
/// save's body, and checking that what was read from the files can be sent.

#include <nanobind/nanobind.h>

#include <string>

namespace quillon::schematic {
namespace nb = nanobind;

/// What a save writes: the netlist and the schematic mappings.
struct SaveDocument {
    nb::object netlist, schematic;
};

/// Decodes a save's body. The netlist is required and must be a mapping; the
/// schematic, when present, too (absent, it is an empty mapping). Returns
/// false with `refusal` set to the one-line answer when the body cannot be
/// saved: "Refused to save empty netlist." for an empty body or document,
/// else the reason (a body that is no JSON, a number JSON cannot carry, text
/// that is not UTF-8, a member of the wrong kind).
bool decode_save_document(nb::handle body, SaveDocument& document, std::string& refusal);

/// The first entry of `value` (a document read from YAML) that a JSON answer
/// cannot carry, as "the entry <path> holds <what>"; empty when there is none.
std::string entry_unfit_for_json(nb::handle value);

} // namespace quillon::schematic
