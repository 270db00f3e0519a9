// tarvik.tcl._tcllist: Tcl lists split without a round trip through the interpreter.
//
// The host's cast_list splits every result it is given; asking Tcl means encoding the text to
// UTF-8, splitting it there and decoding every element back. Reading the list syntax here on the
// str's own storage gives the same elements for a fraction of that, and leaves to Tcl only the
// text it must see itself (see support/tcl_list.hpp).
#include "support/function.hpp"
#include "support/tcl_list.hpp"

namespace tarvik {
namespace {

struct State : ModuleState {
    void init(PyObject* module);
};

Ref splitlist_entry(const Call& call) {
    PyObject* text = call.exactly(1) ? call.args[0] : call.parse<1>().named[0];
    if (!PyUnicode_Check(text))
        raise_format(PyExc_TypeError, "splitlist() argument must be str, not %.200s",
                     Py_TYPE(text)->tp_name);
    std::vector<Ref> items;
    if (tcl::split_list(text, items) != tcl::Split::OK) return none();
    return tuple_taking(items);
}

constexpr FunctionDef splitlist_def{
    "splitlist", splitlist_entry, "(string)",
    "Split a str into the elements of the Tcl list it holds, as Tcl itself would.\n\n"
    "Returns a tuple of str, or None when the text is left to the interpreter: a malformed\n"
    "list (so that the error is Tcl's own) or a numeric backslash escape outside braces."};

void State::init(PyObject* module) {
    add_function(module, splitlist_def);
}

}  // namespace
}  // namespace tarvik

PyMODINIT_FUNC PyInit__tcllist() {
    return tarvik::ModuleDefinition<tarvik::State>::init(
        "tarvik.tcl._tcllist", "Tcl lists split natively, by Tcl's own list syntax.");
}
