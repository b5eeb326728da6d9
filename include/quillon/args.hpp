#pragma once
/// Argument parsing shared by every operation of both extension modules.
///
/// Operations are registered as `(*args, **kwargs)` callables and bind their
/// arguments here, so that arity, keyword and type errors read exactly like
/// those of the rest of the tool's compiled modules.

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace quillon {
namespace nb = nanobind;

/// Declared type of a parameter; all but `Any` are checked by exact type.
enum class Kind { Any, Str, Int, Dict };

struct Param {
    const char* name;
    Kind kind = Kind::Any;
    bool required = true;
    bool keyword_only = false;
};

inline constexpr Param any(const char* name) {
    return {name, Kind::Any, true, false};
}
inline constexpr Param str(const char* name) {
    return {name, Kind::Str, true, false};
}
inline constexpr Param integer(const char* name) {
    return {name, Kind::Int, true, false};
}
inline constexpr Param dict(const char* name) {
    return {name, Kind::Dict, true, false};
}
inline constexpr Param optional(Param p) {
    return {p.name, p.kind, false, p.keyword_only};
}
inline constexpr Param keyword_only(Param p) {
    return {p.name, p.kind, p.required, true};
}

/// The arguments of one call, one slot per declared parameter. Slots borrow
/// from the call's `args`/`kwargs`, which outlive the operation.
class BoundArgs {
  public:
    explicit BoundArgs(std::vector<nb::handle> slots) : slots_(std::move(slots)) {}

    /// The argument, or an invalid handle for an optional one not given.
    nb::handle operator[](size_t index) const { return slots_.at(index); }
    bool given(size_t index) const { return slots_.at(index).is_valid(); }
    /// The argument, or `fallback` when it was not given.
    nb::object get(size_t index, nb::handle fallback) const;
    /// A `Kind::Str` argument as UTF-8.
    std::string text(size_t index) const;

  private:
    std::vector<nb::handle> slots_;
};

class Signature {
  public:
    Signature(const char* function_name, std::initializer_list<Param> params);
    Signature(const char* function_name, std::vector<Param> params);

    /// Binds a call, raising TypeError the way compiled modules word it:
    /// arity first, then keywords, then missing arguments, then types.
    BoundArgs bind(const nb::args& args, const nb::kwargs& kwargs) const;

    const char* name() const { return name_; }
    const std::vector<Param>& params() const { return params_; }

  private:
    size_t positional_count() const;
    size_t required_positional_count() const;
    [[noreturn]] void raise_arity(size_t given) const;

    const char* name_;
    std::vector<Param> params_;
};

/// Raises "Argument 'name' has incorrect type (expected str, got T)" unless
/// `value` is exactly of the declared kind.
void check_kind(const Param& param, nb::handle value);

} // namespace quillon
