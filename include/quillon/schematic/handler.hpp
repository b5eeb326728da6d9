#pragma once
/// Route handlers: C++ callables, bound in the module as Python functions
/// that the web framework introspects (`__signature__`, `__name__`, `__doc__`).

#include "quillon/args.hpp"

#include <functional>
#include <vector>

namespace quillon::schematic {
namespace nb = nanobind;

using HandlerImpl = std::function<nb::object(const BoundArgs&)>;

/// One parameter: how it is bound, and what the framework sees of it.
struct HandlerParam {
    Param param;
    nb::handle annotation;    ///< a real annotation object, never a string
    nb::handle default_value; ///< invalid for "no default"
};

class Handler {
  public:
    Handler(Signature signature, HandlerImpl impl)
        : signature_(std::move(signature)), impl_(std::move(impl)) {}

    nb::object call(const nb::args& args, const nb::kwargs& kwargs) const {
        return impl_(signature_.bind(args, kwargs));
    }

  private:
    Signature signature_;
    HandlerImpl impl_;
};

/// Creates a handler named `name`, with `doc` and an `inspect.Signature` built
/// from `params`, and binds it in the module under its name as a function
/// that calls it (returned).
nb::object make_handler(nb::module_& module, const char* name, const char* doc,
                        const std::vector<HandlerParam>& params, nb::handle return_annotation,
                        HandlerImpl impl);

void register_handler_type(nb::module_& module);

} // namespace quillon::schematic
