/// Compiled operations as Python functions: a declared signature, checked
/// against the binder's, and a forwarding function that carries it.

#include "quillon/define.hpp"

#include <stdexcept>
#include <string>

#include <nanobind/stl/string.h>

namespace quillon {

namespace {

/// Evaluates `source` in a namespace of its own, named `module_name`, and
/// returns the namespace.
nb::dict run_source(const std::string& source, const std::string& file_name,
                    nb::handle module_name) {
    nb::module_ builtins = nb::module_::import_("builtins");
    nb::dict scope;
    scope["__builtins__"] = builtins;
    scope["__name__"] = module_name;
    nb::object code = builtins.attr("compile")(source, file_name, "exec");
    builtins.attr("exec")(code, scope);
    return scope;
}

[[noreturn]] void mismatch(const Signature& binding, const std::string& what) {
    throw std::logic_error(std::string("the declared signature of ") + binding.name() +
                           "() and its binding differ: " + what);
}

/// Parameter by parameter: the same names, in the same order, of the same kind.
void check_parameters(const Signature& binding, nb::handle signature) {
    nb::object parameter = nb::module_::import_("inspect").attr("Parameter");
    nb::object empty = parameter.attr("empty");
    nb::object keyword_only = parameter.attr("KEYWORD_ONLY");
    nb::object positional = parameter.attr("POSITIONAL_OR_KEYWORD");
    nb::list declared = nb::list(signature.attr("parameters").attr("values")());
    if (declared.size() != binding.params().size())
        mismatch(binding, std::to_string(declared.size()) + " parameters declared, " +
                              std::to_string(binding.params().size()) + " bound");
    for (size_t i = 0; i < binding.params().size(); ++i) {
        const Param& bound = binding.params()[i];
        nb::handle given = declared[i];
        const std::string name = nb::cast<std::string>(given.attr("name"));
        if (name != bound.name)
            mismatch(binding, "parameter " + std::to_string(i + 1) + " is '" + name +
                                  "', bound as '" + bound.name + "'");
        nb::object kind = given.attr("kind");
        if (!kind.equal(bound.keyword_only ? keyword_only : positional))
            mismatch(binding, "'" + name + "' differs in being keyword-only");
        if (given.attr("default").is(empty) != bound.required)
            mismatch(binding, "'" + name + "' differs in being optional");
    }
}

} // namespace

nb::object declared_signature(const Signature& binding, const char* declaration) {
    // Postponed annotations: their text is kept, nothing it names is looked up.
    nb::dict scope =
        run_source(std::string("from __future__ import annotations\n") + declaration + ": ...\n",
                   "<declaration>", nb::str("declaration"));
    nb::object signature = nb::module_::import_("inspect").attr("signature")(scope[binding.name()]);
    check_parameters(binding, signature);
    return signature;
}

void bind_function(nb::module_& module, const char* name, nb::handle compiled, nb::handle signature,
                   const char* doc) {
    nb::object module_name = module.attr("__name__");
    const std::string source =
        std::string("def ") + name + "(*args, **kwargs):\n    return _compiled(*args, **kwargs)\n";
    // The file name shows in tracebacks through the forwarding frame.
    nb::dict scope =
        run_source(source, "<" + nb::cast<std::string>(module_name) + ">", module_name);
    scope["_compiled"] = compiled;
    nb::object function = scope[name];
    function.attr("__doc__") = doc;
    function.attr("__signature__") = signature;
    module.attr(name) = function;
}

} // namespace quillon
