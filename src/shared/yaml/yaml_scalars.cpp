/// Values of YAML scalars as PyYAML's safe loader builds them: YAML 1.1 implicit typing of
/// plain scalars (its resolver's patterns, matched here by hand) and the constructors of
/// null, bool, int, float and str.

#include "yaml_reader.hpp"

#include <cmath>
#include <cstring>

namespace quillon::yaml {

namespace {

enum class Implicit { Str, Null, Bool, Int, Float, Date };

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/// A run of characters accepted by `accept`, from `index`; returns the index after it.
template <typename Accept> size_t run(std::string_view s, size_t index, Accept accept) {
    while (index < s.size() && accept(s[index]))
        ++index;
    return index;
}

bool digit_or_underscore(char c) {
    return is_digit(c) || c == '_';
}

/// `(?::[0-5]?[0-9])+` from `index`; returns the index after it, or `npos` when absent.
size_t sexagesimal_parts(std::string_view s, size_t index) {
    size_t parts = 0;
    while (index < s.size() && s[index] == ':') {
        const size_t digits = run(s, index + 1, is_digit) - (index + 1);
        if (digits == 0 || digits > 2 || (digits == 2 && s[index + 1] > '5'))
            return std::string_view::npos;
        index += 1 + digits;
        ++parts;
    }
    return parts == 0 ? std::string_view::npos : index;
}

bool one_of(std::string_view s, std::initializer_list<const char*> words) {
    for (const char* word : words)
        if (s == word)
            return true;
    return false;
}

bool matches_int(std::string_view s) {
    size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i >= s.size() || !is_digit(s[i]))
        return false;
    const auto rest_all = [&](size_t from, auto accept) {
        return from < s.size() && run(s, from, accept) == s.size();
    };
    if (s[i] == '0') {
        if (i + 1 == s.size())
            return true;
        if (s[i + 1] == 'b')
            return rest_all(i + 2, [](char c) { return c == '0' || c == '1' || c == '_'; });
        if (s[i + 1] == 'x')
            return rest_all(i + 2, [](char c) { return is_hex(c) || c == '_'; });
        return rest_all(i + 1, [](char c) { return (c >= '0' && c <= '7') || c == '_'; });
    }
    const size_t after = run(s, i + 1, digit_or_underscore);
    return after == s.size() || sexagesimal_parts(s, after) == s.size();
}

bool matches_float(std::string_view s) {
    if (one_of(s, {".nan", ".NaN", ".NAN"}))
        return true;
    size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i < s.size() && s[i] == '.') {
        if (one_of(s.substr(i + 1), {"inf", "Inf", "INF"}))
            return true;
        // `\.[0-9][0-9_]*` takes no sign.
        if (i != 0 || i + 1 >= s.size() || !is_digit(s[i + 1]))
            return false;
    } else {
        if (i >= s.size() || !is_digit(s[i]))
            return false;
        i = run(s, i, digit_or_underscore);
        if (i < s.size() && s[i] == ':') {
            i = sexagesimal_parts(s, i);
            return i != std::string_view::npos && i < s.size() && s[i] == '.' &&
                   run(s, i + 1, digit_or_underscore) == s.size();
        }
        if (i >= s.size() || s[i] != '.')
            return false;
    }
    i = run(s, i + 1, digit_or_underscore);
    if (i == s.size())
        return true;
    if ((s[i] != 'e' && s[i] != 'E') || i + 2 >= s.size() || (s[i + 1] != '-' && s[i + 1] != '+'))
        return false;
    return run(s, i + 2, is_digit) == s.size();
}

/// A date or timestamp as the resolver's pattern starts one: four digits and a dash.
bool looks_like_timestamp(std::string_view s) {
    return s.size() >= 5 && is_digit(s[0]) && is_digit(s[1]) && is_digit(s[2]) && is_digit(s[3]) &&
           s[4] == '-';
}

/// A value the interpreter made; a value error (PyYAML meets the same one) leaves the text to
/// PyYAML, any other error propagates.
nb::object unless_value_error(PyObject* value, const char* reason) {
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            throw nb::python_error();
        PyErr_Clear();
        unsupported(reason);
    }
    return nb::steal(value);
}

/// A date alone, "YYYY-MM-DD"; timestamps with a time are left to PyYAML.
bool is_date(std::string_view s) {
    if (s.size() != 10 || s[4] != '-' || s[7] != '-')
        return false;
    for (size_t k : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!is_digit(s[k]))
            return false;
    return true;
}

int number(std::string_view digits) {
    int value = 0;
    for (char c : digits)
        value = value * 10 + (c - '0');
    return value;
}

/// PyYAML's `construct_yaml_timestamp` for a date alone: `datetime.date(year, month, day)`;
/// a date that does not exist is left to PyYAML, whose error it is.
nb::object date(std::string_view s) {
    nb::object date_type = nb::module_::import_("datetime").attr("date");
    return unless_value_error(PyObject_CallFunction(date_type.ptr(), "iii", number(s.substr(0, 4)),
                                                    number(s.substr(5, 2)), number(s.substr(8, 2))),
                              "a date that does not exist");
}

Implicit classify(std::string_view s) {
    if (s.empty())
        return Implicit::Null;
    switch (s[0]) {
    case 'y':
    case 'Y':
    case 'n':
    case 'N':
    case 't':
    case 'T':
    case 'f':
    case 'F':
    case 'o':
    case 'O':
        if (one_of(s, {"yes", "Yes", "YES", "no", "No", "NO", "true", "True", "TRUE", "false",
                       "False", "FALSE", "on", "On", "ON", "off", "Off", "OFF"}))
            return Implicit::Bool;
        if (one_of(s, {"null", "Null", "NULL"}))
            return Implicit::Null;
        return Implicit::Str;
    case '~':
        return s.size() == 1 ? Implicit::Null : Implicit::Str;
    case '<':
        if (s == "<<")
            unsupported("a merge key outside a mapping key");
        return Implicit::Str;
    case '=':
        if (s.size() == 1)
            unsupported("a value key outside a mapping key");
        return Implicit::Str;
    case '-':
    case '+':
    case '.':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        if (matches_float(s))
            return Implicit::Float;
        if (s[0] != '.' && matches_int(s))
            return Implicit::Int;
        if (is_date(s))
            return Implicit::Date;
        if (looks_like_timestamp(s))
            unsupported("a timestamp");
        return Implicit::Str;
    default:
        return Implicit::Str;
    }
}

bool truth(std::string_view s) {
    return s[0] == 'y' || s[0] == 'Y' || s[0] == 't' || s[0] == 'T' || s == "on" || s == "On" ||
           s == "ON";
}

/// The text without underscores and sign, and the sign.
std::string digits_of(std::string_view text, bool& negative) {
    std::string digits;
    digits.reserve(text.size());
    for (char c : text)
        if (c != '_')
            digits += c;
    negative = !digits.empty() && digits[0] == '-';
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+'))
        digits.erase(0, 1);
    return digits;
}

/// Python's `int(digits, base)`; the interpreter's own limits (digit count) refuse as there.
nb::object parse_int(const std::string& digits, int base) {
    if (digits.empty())
        unsupported("an integer without digits");
    return unless_value_error(PyLong_FromString(digits.c_str(), nullptr, base),
                              "an integer the interpreter refuses");
}

nb::object negated(nb::object value, bool negative) {
    if (!negative)
        return value;
    PyObject* result = PyNumber_Negative(value.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

double parse_double(const std::string& text) {
    char* end = nullptr;
    const double value = PyOS_string_to_double(text.c_str(), &end, nullptr);
    if (value == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    if (end != text.c_str() + text.size())
        unsupported("a float the interpreter does not read");
    return value;
}

} // namespace

ScalarValues::ScalarValues() : slots_(new Slot[slot_count]) {
    // PyYAML's NaN: minus infinity over infinity, one object for the whole document.
    volatile double infinity = HUGE_VAL;
    nan_ = nb::steal(PyFloat_FromDouble(-infinity / infinity));
    if (!nan_.is_valid())
        throw nb::python_error();
}

nb::object ScalarValues::shared_text(std::string_view text) {
    uint64_t hash = 1469598103934665603ull;
    for (char c : text)
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    Slot& slot = slots_[hash % slot_count];
    if (slot.size == text.size() && slot.value.is_valid() &&
        std::memcmp(slot.data, text.data(), text.size()) == 0)
        return slot.value;
    PyObject* value =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (!value)
        throw nb::python_error();
    slot.data = text.data();
    slot.size = text.size();
    slot.value = nb::steal(value);
    return slot.value;
}

nb::object ScalarValues::text(const ScalarText& scalar) {
    if (scalar.in_source && scalar.text.size() <= shared_text_limit)
        return shared_text(scalar.text);
    PyObject* value = PyUnicode_DecodeUTF8(scalar.text.data(),
                                           static_cast<Py_ssize_t>(scalar.text.size()), nullptr);
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

nb::object ScalarValues::plain(const ScalarText& scalar) {
    const std::string_view s = scalar.text;
    switch (classify(s)) {
    case Implicit::Null:
        return nb::none();
    case Implicit::Bool:
        return nb::bool_(truth(s));
    case Implicit::Int:
        return integer(s);
    case Implicit::Float:
        return floating(s);
    case Implicit::Date:
        return date(s);
    case Implicit::Str:
        break;
    }
    return text(scalar);
}

nb::object ScalarValues::tagged(std::string_view tag, const ScalarText& scalar) {
    const std::string_view s = scalar.text;
    if (tag == "str")
        return text(scalar);
    if (tag == "null")
        return nb::none();
    if (tag == "bool") {
        std::string lower(s);
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        if (lower == "yes" || lower == "true" || lower == "on")
            return nb::bool_(true);
        if (lower == "no" || lower == "false" || lower == "off")
            return nb::bool_(false);
    } else if (tag == "int" && !s.empty() && matches_int(s)) {
        return integer(s);
    } else if (tag == "float" && !s.empty() && matches_float(s)) {
        return floating(s);
    }
    unsupported("a tagged scalar the reader leaves to PyYAML");
}

/// PyYAML's `construct_yaml_int`.
nb::object ScalarValues::integer(std::string_view text) {
    bool negative = false;
    const std::string digits = digits_of(text, negative);
    if (digits == "0")
        return nb::int_(0);
    if (digits.size() <= 18 && digits[0] != '0' && digits.find(':') == std::string::npos) {
        long long value = 0;
        for (char c : digits)
            value = value * 10 + (c - '0');
        return nb::steal(PyLong_FromLongLong(negative ? -value : value));
    }
    if (digits.compare(0, 2, "0b") == 0)
        return negated(parse_int(digits.substr(2), 2), negative);
    if (digits.compare(0, 2, "0x") == 0)
        return negated(parse_int(digits.substr(2), 16), negative);
    if (digits[0] == '0')
        return negated(parse_int(digits, 8), negative);
    if (digits.find(':') != std::string::npos) {
        nb::object value = nb::int_(0);
        nb::object base = nb::int_(1);
        const nb::int_ sixty(60);
        size_t end = digits.size();
        for (;;) {
            const size_t start = digits.rfind(':', end - 1);
            const size_t from = start == std::string::npos ? 0 : start + 1;
            nb::object part = parse_int(digits.substr(from, end - from), 10);
            value = value + part * base;
            base = base * sixty;
            if (start == std::string::npos)
                break;
            end = start;
        }
        return negated(value, negative);
    }
    return negated(parse_int(digits, 10), negative);
}

/// PyYAML's `construct_yaml_float`.
nb::object ScalarValues::floating(std::string_view text) {
    bool negative = false;
    std::string digits = digits_of(text, negative);
    for (char& c : digits)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    double value = 0.0;
    if (digits == ".inf") {
        value = HUGE_VAL;
    } else if (digits == ".nan") {
        return nan_;
    } else if (digits.find(':') != std::string::npos) {
        double base = 1.0;
        size_t end = digits.size();
        for (;;) {
            const size_t start = digits.rfind(':', end - 1);
            const size_t from = start == std::string::npos ? 0 : start + 1;
            value += parse_double(digits.substr(from, end - from)) * base;
            base *= 60.0;
            if (start == std::string::npos)
                break;
            end = start;
        }
    } else {
        value = parse_double(digits);
    }
    return nb::steal(PyFloat_FromDouble(negative ? -value : value));
}

} // namespace quillon::yaml
