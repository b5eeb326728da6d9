#pragma once
/// Registers a module-level operation that binds its arguments with a
/// `Signature` (see args.hpp).

#include "quillon/args.hpp"

#include <utility>

namespace quillon {

/// `python_signature` is what help() shows, e.g. "def f(cell, ref: str) -> object".
template <typename Impl>
void define(nb::module_& module, Signature signature, const char* python_signature, const char* doc,
            Impl impl) {
    const char* name = signature.name();
    module.def(
        name,
        [signature = std::move(signature), impl = std::move(impl)](
            nb::args args, nb::kwargs kwargs) { return impl(signature.bind(args, kwargs)); },
        nb::sig(python_signature), doc);
}

/// Imports a module and deliberately keeps one reference for the life of the
/// process: a released handle has no destructor that could run after the
/// interpreter has finalised.
inline nb::handle import_kept(const char* name) {
    return nb::module_::import_(name).release();
}

/// An attribute of `owner`, kept like `import_kept`.
inline nb::handle attr_kept(nb::handle owner, const char* name) {
    return nb::object(owner.attr(name)).release();
}

} // namespace quillon
