#include "quillon/schematic/handler.hpp"

#include "quillon/define.hpp"

namespace quillon::schematic {

namespace {

nb::object inspect_signature(const std::vector<HandlerParam>& params,
                             nb::handle return_annotation) {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::object empty = parameter.attr("empty");
    nb::list parameters;
    for (const HandlerParam& p : params) {
        nb::object kind =
            parameter.attr(p.param.keyword_only ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD");
        parameters.append(
            parameter(p.param.name, kind,
                      nb::arg("default") = p.default_value.is_valid() ? p.default_value : empty,
                      nb::arg("annotation") = p.annotation));
    }
    return inspect.attr("Signature")(parameters, nb::arg("return_annotation") = return_annotation);
}

} // namespace

nb::object make_handler(nb::module_& module, const char* name, const char* doc,
                        const std::vector<HandlerParam>& params, nb::handle return_annotation,
                        HandlerImpl impl) {
    std::vector<Param> binding;
    for (const HandlerParam& p : params)
        binding.push_back(p.param);
    nb::object handler = nb::cast(Handler(Signature(name, std::move(binding)), std::move(impl)));
    bind_function(module, name, handler, inspect_signature(params, return_annotation), doc);
    return module.attr(name);
}

void register_handler_type(nb::module_& module) {
    nb::class_<Handler>(module, "_RouteHandler", "A route handler implemented in C++.")
        .def("__call__", [](const Handler& self, nb::args args, nb::kwargs kwargs) {
            return self.call(args, kwargs);
        });
}

} // namespace quillon::schematic
