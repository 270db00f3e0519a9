// tarvik.tcl.scriptify: Python values as Tcl strings (`scriptify`) and as Tcl call values
// (`tclobj`), with Tcl's list-element quoting. The conversions themselves live in
// support/conversion.hpp, which the other modules call directly; this module binds them.
#include "support/conversion.hpp"

namespace tarvik {
namespace {

struct Names : InternedNames {
    const Ref add = name("add");
    // Indexed by the bit position of tcl::QuoteFlags.
    const Ref flags[3] = {name("USE_BRACES"), name("TCL_DONT_USE_BRACES"),
                          name("BRACES_UNMATCHED")};
};

struct State : ModuleState {
    Names name;
    Converter convert;

    void init(PyObject* module);
};

// ---------------------------------------------------------------------------------------------
// Module functions: each binds one conversion of the core, which the other modules call directly.

const Converter& converter(const Call& c) {
    return c.state<State>().convert;
}

Ref flag_set(const State& st, unsigned flags) {
    Ref set = own(PySet_New(nullptr));
    for (int bit = 0; bit < 3; ++bit)
        if (flags & (1u << bit)) check(PySet_Add(set, st.name.flags[bit]));
    return set;
}

Ref scriptify_scan_element(const Call& c, Named<1> named) {
    State& st = c.state<State>();
    Ref text = st.convert.element_text(named[0]);
    StrView view(text);
    auto scan = with_chars(view, [&](auto* s) { return tcl::scan_element(s, view.length); });
    Ref size = own(PyLong_FromSsize_t(2 * view.length + 2));
    return tuple(size.get(), flag_set(st, scan.flags).get());
}

constexpr FunctionDef scan_element_def{
    "_Tcl_ScanElement", invoke<scriptify_scan_element>, "(string)",
    "Decide how a string must be quoted as a Tcl list element.\n\n"
    "Returns (size, flags): size bounds the quoted length, flags is a new set holding\n"
    "'USE_BRACES', 'TCL_DONT_USE_BRACES' and 'BRACES_UNMATCHED' as they apply."};

bool contains(PyObject* container, PyObject* item) {
    return check(PySequence_Contains(container, item)) != 0;
}

// Converts with caller-given flags, which may be any container; the set is told when a leading
// brace makes every brace of the element backslashed.
Ref scriptify_convert_element(const Call& c, Named<2> named) {
    State& st = c.state<State>();
    auto [src, flags_container] = named;
    Ref text = st.convert.element_text(src);
    StrView view(text);
    unsigned flags = 0;
    for (int bit = 0; bit < 3; ++bit)
        if (contains(flags_container, st.name.flags[bit])) flags |= 1u << bit;
    bool leading_brace = view.length > 0 && PyUnicode_READ(view.kind, view.data, 0) == '{';
    if (view.length > 0 && !tcl::uses_braces(flags) && leading_brace)
        call_method(flags_container, st.name.add, st.name.flags[2]);
    auto scan = with_chars(view, [&](auto* s) { return tcl::scan_element(s, view.length); });
    tcl::ListWriter out;
    out.add(text, tcl::form_of(scan, view.length, flags, leading_brace));
    return out.finish();
}

constexpr FunctionDef convert_element_def{
    "_Tcl_ConvertElement", invoke<scriptify_convert_element>, "(src, flags)",
    "Quote a string as one Tcl list element, in the form its scan flags select.\n\n"
    "When a leading brace forces backslash quoting, 'BRACES_UNMATCHED' is added to flags."};

Ref scriptify_update_string_of_list(const Call& c, Named<1> named) {
    return converter(c).quote_list(named[0]);
}

constexpr FunctionDef update_string_of_list_def{
    "_tcl_UpdateStringOfList", invoke<scriptify_update_string_of_list>, "(listObj)",
    "Return the Tcl list of the items of an iterable, each converted by scriptify and\n"
    "quoted as one element."};

Ref scriptify_scriptify_from_mapping(const Call& c, Named<1> named) {
    return converter(c).quote_mapping(named[0]);
}

constexpr FunctionDef scriptify_from_mapping_def{
    "_scriptify_from_mapping", invoke<scriptify_scriptify_from_mapping>, "(obj)",
    "Return the Tcl list key1 value1 key2 value2 ... of a mapping."};

Ref scriptify_scriptify(const Call& c, Named<1> named) {
    return converter(c).scriptify(named[0]);
}

constexpr FunctionDef scriptify_def{
    "scriptify", invoke<scriptify_scriptify>, "(obj)",
    "Convert any object into a string that is appropriate for use in Tcl.\n\n"
    "The result is a string. If an object defines the __scriptify__() method, that method\n"
    "is invoked to perform the conversion; an object with __tclobj__() is converted through\n"
    "it. Sequences and sets become Tcl lists, mappings flat key/value lists.\n\n"
    "    >>> scriptify([1, 2, [3, 4]])\n"
    "    '1 2 {3 4}'\n"
    "    >>> scriptify({'my key': 'my value', 'a': 'b'})\n"
    "    '{my key} {my value} a b'"};

Ref scriptify_tclobj_from_sequence(const Call& c, Named<1> named) {
    return converter(c).tclobj_sequence(named[0]);
}

constexpr FunctionDef tclobj_from_sequence_def{
    "_tclobj_from_sequence", invoke<scriptify_tclobj_from_sequence>, "(obj)",
    "Return a tuple of tclobj() of each item of an iterable."};

Ref scriptify_tclobj_from_mapping(const Call& c, Named<1> named) {
    return converter(c).tclobj_mapping(named[0]);
}

constexpr FunctionDef tclobj_from_mapping_def{
    "_tclobj_from_mapping", invoke<scriptify_tclobj_from_mapping>, "(obj)",
    "Return the flat tuple (key1, value1, key2, value2, ...) of a mapping, each converted by\n"
    "tclobj()."};

Ref scriptify_tclobj(const Call& c, Named<1> named) {
    return converter(c).tclobj(named[0]);
}

constexpr FunctionDef tclobj_def{
    "tclobj", invoke<scriptify_tclobj>, "(obj)",
    "Convert any object into a value that Tcl calls take without losing its type.\n\n"
    "Strings, bytes, floats, booleans, machine-size integers and Tcl objects are returned\n"
    "as they are; containers become nested tuples; an object with __tclobj__() converts\n"
    "itself; anything else becomes its scriptify() string."};

// ---------------------------------------------------------------------------------------------
// Module

void State::init(PyObject* module) {
    convert.init();
    add_object(module, "Mapping", convert.Mapping);
    add_object(module, "Sequence", convert.Sequence);
    add_object(module, "Set", convert.Set);
    add_object_if_any(module, "_tkTcl_Obj", convert.Tcl_Obj);
    Ref sys = import("sys");
    add_object(module, "sys", sys);
    add_object(module, "unicode", Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)));

    add_function(module, scan_element_def);
    add_function(module, convert_element_def);
    Ref from_sequence = add_function(module, update_string_of_list_def);
    add_object(module, "_scriptify_from_sequence", from_sequence);
    Ref from_mapping = add_function(module, scriptify_from_mapping_def);
    Ref scriptify_fn = add_function(module, scriptify_def);

    Ref sysmaxsize = getattr_optional(sys, intern("maxsize"));
    if (!sysmaxsize) sysmaxsize = getattr(sys, "maxint");
    Ref one = own(PyLong_FromLong(1));
    Ref long_type =
        Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(own(PyNumber_Add(sysmaxsize, one)).get())));
    add_object(module, "_sysmaxsize", sysmaxsize);
    add_object(module, "_long_type", long_type);

    Ref tclobj_from_sequence = add_function(module, tclobj_from_sequence_def);
    Ref tclobj_from_mapping = add_function(module, tclobj_from_mapping_def);
    Ref tclobj_fn = add_function(module, tclobj_def);

    check(PyObject_SetAttrString(scriptify_fn, "from_sequence", from_sequence));
    check(PyObject_SetAttrString(scriptify_fn, "from_mapping", from_mapping));
    check(PyObject_SetAttrString(tclobj_fn, "from_sequence", tclobj_from_sequence));
    check(PyObject_SetAttrString(tclobj_fn, "from_mapping", tclobj_from_mapping));
}

}  // namespace
}  // namespace tarvik

PyMODINIT_FUNC PyInit_scriptify() {
    return tarvik::ModuleDefinition<tarvik::State>::init(
        "tarvik.tcl.scriptify", "This module implements the scriptify() and tclobj() functions.");
}
