/// Reading and saving a circuit's netlist and schematic files.

#include "quillon/schematic/handler.hpp"
#include "quillon/schematic/schematic.hpp"

namespace quillon::schematic {

namespace {

nb::object get_netlist(const BoundArgs&) {
    not_implemented("get_netlist");
}

nb::object post_netlist(const BoundArgs&) {
    not_implemented("post_netlist");
}

} // namespace

void register_get_netlist(nb::module_& m) {
    nb::object handler =
        make_handler(m, "get_netlist", "Get the netlist and schematic from file.",
                     {{str("path"), nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), {}}},
                     deps().json_response, get_netlist);
    add_route("get", "/assets/netlists/{path:path}.json", handler);
}

void register_post_netlist(nb::module_& m) {
    const Dependencies& d = deps();
    nb::object annotated_body = nb::module_::import_("typing").attr("Annotated")[nb::make_tuple(
        nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), d.body())];
    nb::object handler = make_handler(
        m, "post_netlist", "Post a netlist to save to a file.",
        {{str("body"), annotated_body, {}},
         {keyword_only(str("path")), nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), {}}},
        d.plain_text_response, post_netlist);
    add_route("post", "/assets/netlists/{path:path}.json", handler);
}

} // namespace quillon::schematic
