/// The YAML scanner: PyYAML's rules for plain and quoted scalars, comments, anchors and
/// indicators, over UTF-8 text.

#include "yaml_reader.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quillon::yaml {

namespace {

bool is_break_or_end(char c) {
    return c == '\0' || c == '\n';
}

bool is_space_break_or_end(char c) {
    return c == ' ' || is_break_or_end(c);
}

/// Characters that never end a plain scalar, in block (`[0]`) and flow (`[1]`) context:
/// all but spaces, line breaks, the end, ':' (which ends one only before a space) and,
/// in flow context, ",?[]{}". Runs of them are skipped a table look-up at a time.
struct PlainCharacters {
    bool continues[2][256] = {};
    PlainCharacters() {
        for (int c = 1; c < 256; ++c) {
            const bool ordinary = c != ' ' && c != '\n' && c != ':';
            continues[0][c] = ordinary;
            continues[1][c] = ordinary && !std::strchr(",?[]{}", c);
        }
    }
};
const PlainCharacters plain_characters;

/// Whether none of the 8 bytes of `word` is outside ASCII, a control character or DEL.
bool plain_ascii(uint64_t word) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highs = 0x8080808080808080ULL;
    const uint64_t below_space = (word - 0x20 * ones) & ~word;
    const uint64_t del = word ^ (0x7F * ones);
    return ((word | below_space | ((del - ones) & ~del)) & highs) == 0;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

/// The replacement of a one-character escape of a double-quoted scalar, or 0 for none.
uint32_t simple_escape(char c) {
    switch (c) {
    case '0':
        return 0x100; // NUL, told apart from "no escape"
    case 'a':
        return 0x07;
    case 'b':
        return 0x08;
    case 't':
        return 0x09;
    case 'n':
        return 0x0A;
    case 'v':
        return 0x0B;
    case 'f':
        return 0x0C;
    case 'r':
        return 0x0D;
    case 'e':
        return 0x1B;
    case ' ':
        return 0x20;
    case '"':
        return 0x22;
    case '\\':
        return 0x5C;
    case '/':
        return 0x2F;
    case 'N':
        return 0x85;
    case '_':
        return 0xA0;
    case 'L':
        return 0x2028;
    case 'P':
        return 0x2029;
    default:
        return 0;
    }
}

/// The code point of the UTF-8 sequence at `text[index]` and its length; 0 length when the
/// bytes are not well-formed UTF-8.
uint32_t decode_utf8(std::string_view text, size_t index, size_t& length) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[index + k]); };
    const unsigned char lead = byte(0);
    size_t count = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    length = 0;
    if (count == 0 || index + count > text.size())
        return 0;
    uint32_t code = lead & (0x3F >> (count - 1));
    for (size_t k = 1; k < count; ++k) {
        if ((byte(k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(k) & 0x3F);
    }
    length = count;
    return code;
}

/// Printable for PyYAML and none of the line breaks or marks this reader leaves to it
/// (NEL, LS, PS, BOM).
bool readable_code_point(uint32_t code) {
    if (code == 0x85 || code == 0x2028 || code == 0x2029 || code == 0xFEFF)
        return false;
    return (code >= 0xA0 && code <= 0xD7FF) || (code >= 0xE000 && code <= 0xFFFD) ||
           (code >= 0x10000 && code <= 0x10FFFF);
}

} // namespace

bool readable_source(std::string_view source) {
    for (size_t index = 0; index < source.size();) {
        uint64_t word;
        if (index + sizeof word <= source.size()) {
            std::memcpy(&word, source.data() + index, sizeof word);
            if (plain_ascii(word)) {
                index += sizeof word;
                continue;
            }
        }
        const unsigned char c = static_cast<unsigned char>(source[index]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\n') || c == 0x7F)
                return false;
            ++index;
            continue;
        }
        size_t length = 0;
        const uint32_t code = decode_utf8(source, index, length);
        if (length == 0 || !readable_code_point(code))
            return false;
        index += length;
    }
    return true;
}

Scanner::Scanner(std::string_view source)
    : position_(source.data()), end_(source.data() + source.size()), line_start_(source.data()) {}

void Scanner::next_line() {
    ++position_;
    line_start_ = position_;
    ++line_;
}

void Scanner::skip_spaces() {
    while (peek() == ' ')
        ++position_;
}

void Scanner::skip_to_next_token() {
    for (;;) {
        skip_spaces();
        if (peek() == '#')
            while (!is_break_or_end(peek()))
                ++position_;
        if (peek() != '\n')
            return;
        next_line();
    }
}

bool Scanner::rest_of_line_empty() {
    skip_spaces();
    const char c = peek();
    return c == '#' || is_break_or_end(c);
}

bool Scanner::at_block_entry() const {
    return peek() == '-' && is_space_break_or_end(peek(1));
}

bool Scanner::at_document_marker() const {
    if (column() != 0 || position_ + 3 > end_)
        return false;
    const bool marker =
        std::memcmp(position_, "---", 3) == 0 || std::memcmp(position_, "...", 3) == 0;
    return marker && is_space_break_or_end(peek(3));
}

bool Scanner::plain_starts(bool flow) const {
    const char c = peek();
    if (c == '\0' || c == ' ' || c == '\n' || std::strchr("-?:,[]{}#&*!|>'\"%@`", c) == nullptr)
        return c != '\0' && c != ' ' && c != '\n';
    return !is_space_break_or_end(peek(1)) && (c == '-' || (!flow && (c == '?' || c == ':')));
}

bool Scanner::at_value_indicator(bool flow) const {
    return peek() == ':' && (flow || is_space_break_or_end(peek(1)));
}

bool Scanner::at_explicit_key() const {
    return peek() == '?' && is_space_break_or_end(peek(1));
}

/// PyYAML's `scan_plain_spaces`: the white space after a chunk of a plain scalar, folded
/// into `spaces`; false at a document marker.
bool Scanner::plain_spaces(std::string& spaces) {
    spaces.clear();
    const char* start = position_;
    skip_spaces();
    if (peek() != '\n') {
        spaces.assign(start, position_);
        return true;
    }
    next_line();
    if (at_document_marker())
        return false;
    size_t breaks = 0;
    while (peek() == ' ' || peek() == '\n') {
        if (peek() == ' ') {
            ++position_;
        } else {
            next_line();
            ++breaks;
            if (at_document_marker())
                return false;
        }
    }
    if (breaks == 0)
        spaces = " ";
    else
        spaces.assign(breaks, '\n');
    return true;
}

ScalarText Scanner::scan_plain(int indent, bool flow) {
    const char* first_chunk = position_;
    const char* first_end = nullptr;
    const size_t first_line = line_;
    bool several_chunks = false;
    std::string spaces;
    scratch_.clear();
    for (;;) {
        if (peek() == '#')
            break;
        const bool* continues = plain_characters.continues[flow ? 1 : 0];
        size_t length = 0;
        for (;; ++length) {
            const char* run = position_ + length;
            while (run < end_ && continues[static_cast<unsigned char>(*run)])
                ++run;
            length = static_cast<size_t>(run - position_);
            const char c = peek(length);
            if (is_space_break_or_end(c))
                break;
            if (c == ':') {
                const char next = peek(length + 1);
                if (is_space_break_or_end(next) || (flow && std::strchr(",[]{}", next) && next))
                    break;
            }
            if (flow && std::strchr(",?[]{}", c))
                break;
        }
        if (length == 0)
            break;
        if (first_end == nullptr) {
            first_end = position_ + length;
        } else {
            if (!several_chunks)
                scratch_.assign(first_chunk, first_end);
            several_chunks = true;
            scratch_ += spaces;
            scratch_.append(position_, length);
        }
        position_ += length;
        token_end_line_ = line_;
        // A document marker ends the scalar; what follows is the reader's to judge.
        if (!plain_spaces(spaces) || spaces.empty() || peek() == '#' ||
            (!flow && column() < indent))
            break;
    }
    const bool multiline = token_end_line_ != first_line;
    if (several_chunks)
        return {scratch_, false, multiline};
    return {{first_chunk, static_cast<size_t>(first_end - first_chunk)}, true, multiline};
}

void Scanner::escape() {
    ++position_; // the backslash
    const char c = peek();
    if (const uint32_t replacement = simple_escape(c)) {
        append_utf8(scratch_, replacement == 0x100 ? 0 : replacement);
        ++position_;
        return;
    }
    const size_t digits = c == 'x' ? 2 : c == 'u' ? 4 : c == 'U' ? 8 : 0;
    if (digits != 0) {
        ++position_;
        uint32_t code = 0;
        for (size_t k = 0; k < digits; ++k) {
            const int value = hex_value(peek(k));
            if (value < 0)
                unsupported("a malformed escape");
            code = code * 16 + static_cast<uint32_t>(value);
        }
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            unsupported("an escape outside Unicode's scalar values");
        append_utf8(scratch_, code);
        position_ += digits;
        return;
    }
    if (c == '\n') {
        next_line();
        quoted_breaks();
        return;
    }
    unsupported("an unknown escape");
}

/// PyYAML's `scan_flow_scalar_non_spaces`.
void Scanner::quoted_run(bool double_quoted) {
    for (;;) {
        const char* start = position_;
        while (position_ < end_ && !std::strchr("'\"\\ \n", *position_))
            ++position_;
        scratch_.append(start, position_);
        const char c = peek();
        if (!double_quoted && c == '\'' && peek(1) == '\'') {
            scratch_ += '\'';
            position_ += 2;
        } else if ((double_quoted && c == '\'') || (!double_quoted && (c == '"' || c == '\\'))) {
            scratch_ += c;
            ++position_;
        } else if (double_quoted && c == '\\') {
            escape();
        } else {
            return;
        }
    }
}

/// PyYAML's `scan_flow_scalar_breaks`.
void Scanner::quoted_breaks() {
    for (;;) {
        if (at_document_marker())
            unsupported("a document marker inside a quoted scalar");
        skip_spaces();
        if (peek() != '\n')
            return;
        scratch_ += '\n';
        next_line();
    }
}

/// PyYAML's `scan_flow_scalar_spaces`.
void Scanner::quoted_spaces() {
    const char* start = position_;
    skip_spaces();
    if (at_end())
        unsupported("an unclosed quoted scalar");
    if (peek() != '\n') {
        scratch_.append(start, position_);
        return;
    }
    next_line();
    const size_t before = scratch_.size();
    quoted_breaks();
    if (scratch_.size() == before)
        scratch_ += ' ';
}

ScalarText Scanner::scan_quoted() {
    const char quote = peek();
    const bool double_quoted = quote == '"';
    const size_t first_line = line_;
    ++position_;
    const char* start = position_;
    scratch_.clear();
    quoted_run(double_quoted);
    // The common case, a quoted scalar without escapes or line breaks, stays a view.
    bool plain_copy = static_cast<size_t>(position_ - start) == scratch_.size() &&
                      std::memcmp(start, scratch_.data(), scratch_.size()) == 0;
    while (peek() != quote) {
        plain_copy = false;
        quoted_spaces();
        quoted_run(double_quoted);
    }
    const char* finish = position_;
    ++position_;
    token_end_line_ = line_;
    const bool multiline = line_ != first_line;
    if (plain_copy)
        return {{start, static_cast<size_t>(finish - start)}, true, multiline};
    return {scratch_, false, multiline};
}

/// PyYAML's `scan_block_scalar_breaks`: the line breaks before the next line of a block
/// scalar, with that line's indentation up to `indent`.
void Scanner::block_breaks(int indent, std::string& breaks) {
    breaks.clear();
    while (column() < indent && peek() == ' ')
        ++position_;
    while (peek() == '\n') {
        breaks += '\n';
        next_line();
        while (column() < indent && peek() == ' ')
            ++position_;
    }
}

ScalarText Scanner::scan_block_scalar(int min_indent) {
    const bool folded = peek() == '>';
    token_end_line_ = line_;
    ++position_;
    // Chomping: -1 strips the final line break, 0 keeps one, 1 keeps them all.
    int chomping = 0;
    int increment = 0;
    for (int indicator = 0; indicator < 2; ++indicator) {
        const char c = peek();
        if ((c == '+' || c == '-') && chomping == 0 && (indicator == 0 || increment != 0)) {
            chomping = c == '+' ? 1 : -1;
            ++position_;
        } else if (c >= '1' && c <= '9' && increment == 0) {
            increment = c - '0';
            ++position_;
        }
    }
    if (!is_space_break_or_end(peek()))
        unsupported("a block scalar header the reader leaves to PyYAML");
    skip_spaces();
    if (peek() == '#')
        while (!is_break_or_end(peek()))
            ++position_;
    if (peek() == '\n')
        next_line();
    else if (!at_end())
        unsupported("a block scalar header the reader leaves to PyYAML");

    min_indent = std::max(min_indent, 1);
    std::string breaks;
    int indent = 0;
    if (increment == 0) {
        // PyYAML's `scan_block_scalar_indentation`: the deepest indentation of the leading
        // empty lines or of the first line sets the scalar's indentation.
        int max_indent = 0;
        while (peek() == ' ' || peek() == '\n') {
            if (peek() == '\n') {
                breaks += '\n';
                next_line();
            } else {
                ++position_;
                max_indent = std::max(max_indent, column());
            }
        }
        indent = std::max(min_indent, max_indent);
    } else {
        indent = min_indent + increment - 1;
        block_breaks(indent, breaks);
    }
    scratch_.clear();
    bool line_break = false;
    while (column() == indent && !at_end()) {
        scratch_ += breaks;
        const bool leading_non_space = peek() != ' ';
        const char* start = position_;
        while (!is_break_or_end(peek()))
            ++position_;
        scratch_.append(start, position_);
        line_break = peek() == '\n';
        if (line_break)
            next_line();
        block_breaks(indent, breaks);
        if (column() != indent || at_end())
            break;
        if (folded && line_break && leading_non_space && peek() != ' ') {
            if (breaks.empty())
                scratch_ += ' ';
        } else if (line_break) {
            scratch_ += '\n';
        }
    }
    if (chomping != -1 && line_break)
        scratch_ += '\n';
    if (chomping == 1)
        scratch_ += breaks;
    return {scratch_, false, true};
}

std::string_view Scanner::scan_tag() {
    if (peek(1) != '!')
        unsupported("a tag of another handle than '!!'");
    position_ += 2;
    const char* start = position_;
    while (peek() >= 'a' && peek() <= 'z')
        ++position_;
    if (position_ == start || !is_space_break_or_end(peek()))
        unsupported("a tag the reader leaves to PyYAML");
    return {start, static_cast<size_t>(position_ - start)};
}

std::string_view Scanner::scan_name() {
    const char* start = position_;
    for (;;) {
        const char c = peek();
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '-' || c == '_'))
            break;
        ++position_;
    }
    if (position_ == start)
        unsupported("an empty anchor or alias name");
    if (!std::strchr(" \n?:,]}%@`", peek()) && peek() != '\0')
        unsupported("an anchor or alias name followed by an unexpected character");
    token_end_line_ = line_;
    return {start, static_cast<size_t>(position_ - start)};
}

} // namespace quillon::yaml
