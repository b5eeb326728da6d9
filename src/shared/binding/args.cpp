#include "quillon/args.hpp"

#include <cstdio>

#include <nanobind/stl/string.h>

namespace quillon {

namespace {

const char* kind_name(Kind kind) {
    switch (kind) {
    case Kind::Str:
        return "str";
    case Kind::Int:
        return "int";
    case Kind::Dict:
        return "dict";
    case Kind::Any:
        break;
    }
    return "object";
}

bool has_kind(Kind kind, nb::handle value) {
    switch (kind) {
    case Kind::Str:
        return PyUnicode_CheckExact(value.ptr());
    case Kind::Int:
        return PyLong_CheckExact(value.ptr());
    case Kind::Dict:
        return PyDict_CheckExact(value.ptr());
    case Kind::Any:
        return true;
    }
    return true;
}

[[noreturn]] void raise_type_error(const std::string& message) {
    throw nb::type_error(message.c_str());
}

} // namespace

nb::object BoundArgs::get(size_t index, nb::handle fallback) const {
    nb::handle value = slots_.at(index);
    return nb::borrow(value.is_valid() ? value : fallback);
}

std::string BoundArgs::text(size_t index) const {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(slots_.at(index).ptr(), &size);
    if (!data)
        throw nb::python_error();
    return {data, static_cast<size_t>(size)};
}

void check_kind(const Param& param, nb::handle value) {
    if (param.kind == Kind::Any || has_kind(param.kind, value))
        return;
    char message[700];
    std::snprintf(message, sizeof message,
                  "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                  kind_name(param.kind), Py_TYPE(value.ptr())->tp_name);
    raise_type_error(message);
}

Signature::Signature(const char* function_name, std::initializer_list<Param> params)
    : name_(function_name), params_(params) {}

Signature::Signature(const char* function_name, std::vector<Param> params)
    : name_(function_name), params_(std::move(params)) {}

size_t Signature::positional_count() const {
    size_t count = 0;
    for (const Param& p : params_)
        count += p.keyword_only ? 0 : 1;
    return count;
}

size_t Signature::required_positional_count() const {
    size_t count = 0;
    for (const Param& p : params_)
        count += (!p.keyword_only && p.required) ? 1 : 0;
    return count;
}

void Signature::raise_arity(size_t given) const {
    const size_t minimum = required_positional_count();
    const size_t maximum = positional_count();
    const bool too_few = given < minimum;
    const char* bound = minimum == maximum ? "exactly" : (too_few ? "at least" : "at most");
    const size_t count = too_few ? minimum : maximum;
    char message[400];
    std::snprintf(message, sizeof message,
                  "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name_, bound,
                  static_cast<Py_ssize_t>(count), count == 1 ? "" : "s",
                  static_cast<Py_ssize_t>(given));
    raise_type_error(message);
}

BoundArgs Signature::bind(const nb::args& args, const nb::kwargs& kwargs) const {
    const size_t given = args.size();
    const bool has_keywords = kwargs.is_valid() && kwargs.size() > 0;

    if (params_.empty()) {
        if (has_keywords)
            raise_type_error(std::string(name_) + "() takes no keyword arguments");
        if (given > 0)
            raise_type_error(std::string(name_) + "() takes no arguments (" +
                             std::to_string(given) + " given)");
        return BoundArgs({});
    }
    if (given > positional_count())
        raise_arity(given);

    std::vector<nb::handle> slots(params_.size());
    for (size_t i = 0; i < given; ++i)
        slots[i] = args[i];

    if (has_keywords) {
        for (auto [key, value] : kwargs) {
            const std::string keyword = nb::cast<std::string>(key);
            size_t index = 0;
            while (index < params_.size() && keyword != params_[index].name)
                ++index;
            if (index == params_.size())
                raise_type_error(std::string(name_) + "() got an unexpected keyword argument '" +
                                 keyword + "'");
            if (slots[index].is_valid())
                raise_type_error(std::string(name_) +
                                 "() got multiple values for keyword argument '" + keyword + "'");
            slots[index] = value;
        }
    }

    for (size_t i = 0; i < params_.size(); ++i) {
        if (params_[i].keyword_only || !params_[i].required || slots[i].is_valid())
            continue;
        raise_arity(i);
    }
    for (size_t i = 0; i < params_.size(); ++i) {
        if (params_[i].keyword_only && params_[i].required && !slots[i].is_valid())
            raise_type_error(std::string(name_) + "() needs keyword-only argument " +
                             params_[i].name);
    }
    for (size_t i = 0; i < params_.size(); ++i) {
        if (slots[i].is_valid())
            check_kind(params_[i], slots[i]);
    }
    return BoundArgs(std::move(slots));
}

} // namespace quillon
