#pragma once
/// Registers a module-level operation that binds its arguments with a
/// `Signature` (see args.hpp).

#include "quillon/args.hpp"

#include <utility>

namespace quillon {

/// The declaration `declaration` ("def f(cell: Cell, ref: str) -> object", as
/// a stub writes it) as an `inspect.Signature`, its annotations kept as text.
/// Fails when it declares other parameters than `binding` binds.
nb::object declared_signature(const Signature& binding, const char* declaration);

/// Binds in `module`, under `name`, a Python function that passes its call on
/// to `compiled` and carries `signature` and `doc`: a compiled callable has
/// no signature that help(), `inspect.signature` or the stub generator can read.
void bind_function(nb::module_& module, const char* name, nb::handle compiled, nb::handle signature,
                   const char* doc);

/// Defines the operation `signature.name()` of `module`: its arguments are
/// bound by `signature`, and help() and the stubs show `python_signature`.
template <typename Impl>
void define(nb::module_& module, Signature signature, const char* python_signature, const char* doc,
            Impl impl) {
    const char* name = signature.name();
    nb::object declared = declared_signature(signature, python_signature);
    nb::object compiled = nb::cpp_function(
        [signature = std::move(signature), impl = std::move(impl)](
            nb::args args, nb::kwargs kwargs) { return impl(signature.bind(args, kwargs)); },
        nb::name(name));
    bind_function(module, name, compiled, declared, doc);
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
