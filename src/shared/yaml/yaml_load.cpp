/// The entry point of YAML reading: the native reader, PyYAML for what it does not cover.

#include "quillon/yaml.hpp"

#include "quillon/py.hpp"
#include "yaml_reader.hpp"

#include <string>

namespace quillon::yaml {

namespace {

/// The bounded loader; its limits are the one setting for both readers.
nb::object bounded_loader() {
    return nb::module_::import_("quillon.yaml_bounded");
}

/// Whether the document's aliases stay within the bounded loader's limit.
bool within_alias_bound(const Document& document) {
    if (!document.has_aliases)
        return true;
    nb::object bounded = bounded_loader();
    const uint64_t factor = nb::cast<uint64_t>(attribute(bounded, "ALIAS_EXPANSION_FACTOR"));
    const uint64_t allowance = nb::cast<uint64_t>(attribute(bounded, "ALIAS_EXPANSION_ALLOWANCE"));
    return document.expanded_nodes <= factor * document.distinct_nodes + allowance;
}

/// `source` with every CR LF line break as LF, which PyYAML reads alike; false for a lone CR.
bool to_unix_lines(std::string_view source, std::string& out) {
    out.reserve(source.size());
    for (size_t index = 0; index < source.size(); ++index) {
        if (source[index] == '\r') {
            if (index + 1 >= source.size() || source[index + 1] != '\n')
                return false;
            continue;
        }
        out += source[index];
    }
    return true;
}

} // namespace

nb::object read_native(nb::handle text) {
    if (!PyUnicode_CheckExact(text.ptr()))
        return {};
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) {
        // Lone surrogates: not UTF-8, and not printable for PyYAML either.
        PyErr_Clear();
        return {};
    }
    std::string_view source(data, static_cast<size_t>(size));
    // A byte order mark opens the stream only; PyYAML skips it there.
    if (source.substr(0, 3) == "\xEF\xBB\xBF")
        source.remove_prefix(3);
    std::string unix_lines;
    if (source.find('\r') != std::string_view::npos) {
        if (!to_unix_lines(source, unix_lines))
            return {};
        source = unix_lines;
    }
    if (!readable_source(source))
        return {};
    try {
        Document document = read_document(source);
        if (!within_alias_bound(document))
            return {};
        return std::move(document.value);
    } catch (const Unsupported&) {
        return {};
    }
}

nb::object safe_load(nb::handle text, nb::handle source) {
    nb::object value = read_native(text);
    if (value.is_valid())
        return value;
    return attribute(bounded_loader(), "safe_load")(text, source);
}

} // namespace quillon::yaml
