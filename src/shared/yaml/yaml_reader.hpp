#pragma once
/// Internals of the native YAML reader (see quillon/yaml.hpp): the scanner over the source
/// text, the implicit typing of plain scalars and the reader that builds the values.
///
/// The reader covers the YAML that netlist and schematic files use and gives exactly the
/// values of PyYAML's safe loader for it. Whatever it does not cover, errors included, it
/// leaves to PyYAML by throwing `Unsupported`, so that the caller reads the text again there.

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quillon::yaml {
namespace nb = nanobind;

/// Thrown for text the native reader leaves to PyYAML; `reason` says what it met.
struct Unsupported {
    const char* reason;
};

[[noreturn]] inline void unsupported(const char* reason) {
    throw Unsupported{reason};
}

/// Whether `source` is well-formed UTF-8 and every character of it is one PyYAML reads as
/// printable and this reader handles (no tabs, carriage returns or Unicode line breaks).
bool readable_source(std::string_view source);

/// A scanned scalar: its text, a view into the source or into the scanner's scratch buffer
/// (valid until the next scalar is scanned).
struct ScalarText {
    std::string_view text;
    bool in_source = true; ///< a view into the source, stable for the whole read
    bool multiline = false;
};

/// A cursor over the source with PyYAML's scanning rules for the tokens the reader covers.
/// Columns count bytes; wherever a column decides something only spaces and indicators
/// precede it, so bytes and characters agree.
class Scanner {
  public:
    explicit Scanner(std::string_view source);

    char peek(size_t ahead = 0) const {
        return position_ + ahead < end_ ? *(position_ + ahead) : '\0';
    }
    bool at_end() const { return position_ >= end_; }
    const char* position() const { return position_; }
    int column() const { return static_cast<int>(position_ - line_start_); }
    size_t line() const { return line_; }
    /// The line on which the last scalar, alias or flow collection ended.
    size_t token_end_line() const { return token_end_line_; }
    void mark_token_end() { token_end_line_ = line_; }

    /// Moves over characters of the current line.
    void advance(size_t count = 1) { position_ += count; }
    void skip_spaces();
    /// Spaces, comments and line breaks up to the next token (PyYAML's `scan_to_next_token`).
    void skip_to_next_token();
    /// Only spaces and maybe a comment remain on this line.
    bool rest_of_line_empty();
    /// '-' followed by a space, a line break or the end.
    bool at_block_entry() const;
    /// "---" or "..." at the start of a line, followed by a space, a line break or the end.
    bool at_document_marker() const;
    /// Whether a plain scalar may start here (PyYAML's `check_plain`).
    bool plain_starts(bool flow) const;
    /// ':' that is a value indicator here.
    bool at_value_indicator(bool flow) const;
    /// '?' of an explicit block mapping key: followed by a space, a line break or the end.
    bool at_explicit_key() const;

    /// A plain scalar; `indent` is the innermost block collection's column plus one.
    ScalarText scan_plain(int indent, bool flow);
    /// A single- or double-quoted scalar starting at the quote.
    ScalarText scan_quoted();
    /// A literal ('|') or folded ('>') block scalar starting at its indicator; `min_indent`
    /// is the innermost block collection's column plus one.
    ScalarText scan_block_scalar(int min_indent);
    /// The name of an anchor or alias after its '&' or '*'.
    std::string_view scan_name();
    /// The suffix of a "!!suffix" tag; other tags are left to PyYAML.
    std::string_view scan_tag();

  private:
    void next_line();
    bool plain_spaces(std::string& spaces);
    void quoted_run(bool double_quoted);
    void quoted_spaces();
    void quoted_breaks();
    void block_breaks(int indent, std::string& breaks);
    void escape();

    const char* position_;
    const char* end_;
    const char* line_start_;
    size_t line_ = 0;
    size_t token_end_line_ = 0;
    std::string scratch_;
};

/// Builds the Python values of scalars: implicit typing of plain scalars, shared string
/// objects for repeated short texts, the one NaN object of a document.
class ScalarValues {
  public:
    ScalarValues();
    /// The string value of `text`.
    nb::object text(const ScalarText& scalar);
    /// The value of a plain scalar under YAML 1.1 implicit typing (null, bool, int, float,
    /// else str). Merge keys ("<<") and value keys ("=") are the caller's: here they fail.
    nb::object plain(const ScalarText& scalar);
    /// The value of a scalar with one of the tags "!!str", "!!int", "!!float", "!!bool" or
    /// "!!null" (`tag` is the suffix), for texts that the implicit typing would also read so.
    nb::object tagged(std::string_view tag, const ScalarText& scalar);

  private:
    struct Slot {
        const char* data = nullptr;
        size_t size = 0;
        nb::object value;
    };
    static constexpr size_t slot_count = 4096;
    static constexpr size_t shared_text_limit = 32;

    nb::object shared_text(std::string_view text);
    nb::object integer(std::string_view text);
    nb::object floating(std::string_view text);

    std::unique_ptr<Slot[]> slots_;
    nb::object nan_;
};

/// The value of a YAML document with its expanded size measured as the bounded loader
/// measures it; throws `Unsupported` for text it leaves to PyYAML.
struct Document {
    nb::object value;
    bool has_aliases = false;
    uint64_t distinct_nodes = 0;
    uint64_t expanded_nodes = 0;
};
Document read_document(std::string_view source);

} // namespace quillon::yaml
