/// Texts of the project's files, as the interpreter's `open` reads and writes them.

#include "quillon/schematic/text_files.hpp"

#include <nanobind/stl/string.h>

namespace quillon::schematic {

namespace {

/// The platform's default text encoding, as the interpreter's `open` uses it.
nb::object default_encoding() {
    return nb::module_::import_("locale").attr("getpreferredencoding")(false);
}

} // namespace

nb::object decode_text(const std::string& content) {
    nb::object text = nb::bytes(content.data(), content.size()).attr("decode")(default_encoding());
    if (content.find('\r') == std::string::npos)
        return text;
    return text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
}

std::string encode_text(nb::handle text) {
    nb::bytes data = nb::borrow<nb::bytes>(text.attr("encode")(default_encoding()));
    return {data.c_str(), static_cast<size_t>(data.size())};
}

} // namespace quillon::schematic
