// tarvik.tcl.scriptify: Python values as Tcl strings (`scriptify`) and as Tcl call values
// (`tclobj`), with Tcl's list-element quoting.
//
// Both functions let an object convert itself through `__scriptify__` or `__tclobj__`. Built-in
// types cannot carry those hooks, so exact built-in types take a direct path; everything else goes
// through the hook lookups and the ABC tests in their documented order.
#include "support/classes.hpp"
#include "support/tcl_quote.hpp"

#include <vector>

namespace tarvik {
namespace {

struct State : ModuleState {
    PyObject* Mapping;
    PyObject* Sequence;
    PyObject* Set;
    PyObject* Tcl_Obj;
    PyObject* scriptify_hook;  // "__scriptify__"
    PyObject* tclobj_hook;     // "__tclobj__"
    PyObject* add;             // "add"
    PyObject* flag_names[3];   // indexed by the bit position of tcl::QuoteFlags
    PyObject* empty;
    PyObject* text_true;
    PyObject* text_false;
    long long maxsize;

    void init(PyObject* module);
};

// ---------------------------------------------------------------------------------------------
// Iteration

// Calls `f` with each item of `obj` in iteration order. A list is read by index so that a list
// changed by a conversion half-way is seen as Python's own iteration would see it.
template <class F>
void for_each_item(PyObject* obj, F&& f) {
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i)
            f(Ref::borrow(PyList_GET_ITEM(obj, i)));
    } else if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i)
            f(Ref::borrow(PyTuple_GET_ITEM(obj, i)));
    } else {
        Ref iterator = own(PyObject_GetIter(obj));
        while (Ref item = Ref::steal_maybe(PyIter_Next(iterator)))
            f(std::move(item));
        if (PyErr_Occurred()) raise_current();
    }
}

// The flat key, value, key, value... list of a mapping, every value read before any is converted.
std::vector<Ref> flatten_mapping(PyObject* obj) {
    std::vector<Ref> flat;
    if (PyDict_CheckExact(obj)) {
        flat.reserve(size_t(PyDict_GET_SIZE(obj)) * 2);
        PyObject *key, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(obj, &pos, &key, &value);) {
            flat.push_back(Ref::borrow(key));
            flat.push_back(Ref::borrow(value));
        }
        return flat;
    }
    for_each_item(obj, [&](Ref key) {
        Ref value = own(PyObject_GetItem(obj, key));
        flat.push_back(std::move(key));
        flat.push_back(std::move(value));
    });
    return flat;
}

bool is_instance(PyObject* obj, PyObject* cls) {
    return check(PyObject_IsInstance(obj, cls)) != 0;
}

bool is_sequence_or_set(const State& st, PyObject* obj) {
    return is_instance(obj, st.Sequence) || is_instance(obj, st.Set);
}

// A hook that is present and true, or an empty Ref.
Ref true_hook(PyObject* obj, PyObject* name) {
    Ref hook = getattr_optional(obj, name);
    if (hook && !is_true(hook)) hook.reset();
    return hook;
}

// ---------------------------------------------------------------------------------------------
// scriptify

Ref scriptify(State& st, PyObject* obj);

// The text of one list element: its scriptify form, which a hook may have left as another
// object; that object is converted once more, as the quoting step converts its input.
Ref element_text(State& st, PyObject* item) {
    Ref text = scriptify(st, item);
    if (!PyUnicode_CheckExact(text)) text = scriptify(st, text);
    if (!PyUnicode_Check(text))
        raise_format(PyExc_TypeError, "__scriptify__ returned non-string (type %.200s)",
                     Py_TYPE(text.get())->tp_name);
    return text;
}

Ref quote_list(State& st, PyObject* obj) {
    RecursionGuard guard(" while converting a value to a Tcl list");
    tcl::ListWriter out;
    for_each_item(obj, [&](Ref item) {
        if (PyUnicode_CheckExact(item))
            out.add(item);
        else
            out.add(element_text(st, item));
    });
    return out.finish();
}

Ref quote_mapping(State& st, PyObject* obj) {
    RecursionGuard guard(" while converting a value to a Tcl list");
    std::vector<Ref> flat = flatten_mapping(obj);
    tcl::ListWriter out;
    for (const Ref& item : flat)
        out.add(element_text(st, item));
    return out.finish();
}

// Everything that is not an exact built-in type: hooks first, then the documented tests in order.
Ref scriptify_object(State& st, PyObject* obj) {
    RecursionGuard guard(" while converting a value to Tcl");
    if (Ref hook = true_hook(obj, st.scriptify_hook)) return call(hook);
    if (Ref hook = true_hook(obj, st.tclobj_hook)) return scriptify(st, call(hook));
    if (obj == Py_None) return Ref::borrow(st.empty);
    if (PyUnicode_Check(obj)) return str(obj);
    if (PyBool_Check(obj)) return Ref::borrow(obj == Py_True ? st.text_true : st.text_false);
    if (is_sequence_or_set(st, obj)) return quote_list(st, obj);
    if (is_instance(obj, st.Mapping)) return quote_mapping(st, obj);
    return str(obj);
}

Ref scriptify(State& st, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) return Ref::borrow(obj);
    if (type == &PyLong_Type || type == &PyFloat_Type) return str(obj);
    if (type == &PyBool_Type) return Ref::borrow(obj == Py_True ? st.text_true : st.text_false);
    if (obj == Py_None) return Ref::borrow(st.empty);
    if (type == &PyList_Type || type == &PyTuple_Type || type == &PySet_Type ||
        type == &PyFrozenSet_Type)
        return quote_list(st, obj);
    if (type == &PyDict_Type) return quote_mapping(st, obj);
    return scriptify_object(st, obj);
}

// ---------------------------------------------------------------------------------------------
// tclobj

Ref tclobj(State& st, PyObject* obj);

Ref tuple_from(std::vector<Ref>& items) {
    Ref result = own(PyTuple_New(Py_ssize_t(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(result.get(), Py_ssize_t(i), items[i].release());
    return result;
}

// An exact int within the machine range travels as a number, any other as its decimal string.
bool int_in_range(const State& st, PyObject* obj) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) raise_current();
    return overflow == 0 && value >= -st.maxsize - 1 && value <= st.maxsize;
}

// Whether tclobj returns `obj` itself, decided without running any Python code.
bool passes_through(const State& st, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    return type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           type == &PyBytes_Type || (type == &PyLong_Type && int_in_range(st, obj));
}

// A list or tuple of values that all pass through converts to a tuple of the same objects.
bool all_pass_through(const State& st, PyObject* obj) {
    PyObject** items = PySequence_Fast_ITEMS(obj);
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(obj); i < n; ++i)
        if (!passes_through(st, items[i])) return false;
    return true;
}

Ref tclobj_sequence(State& st, PyObject* obj) {
    RecursionGuard guard(" while converting a value to a Tcl list");
    if (PyTuple_CheckExact(obj) && all_pass_through(st, obj)) return Ref::borrow(obj);
    if (PyList_CheckExact(obj) && all_pass_through(st, obj)) return own(PyList_AsTuple(obj));
    std::vector<Ref> items;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) items.reserve(size_t(Py_SIZE(obj)));
    for_each_item(obj, [&](Ref item) { items.push_back(tclobj(st, item)); });
    return tuple_from(items);
}

Ref tclobj_mapping(State& st, PyObject* obj) {
    RecursionGuard guard(" while converting a value to a Tcl list");
    std::vector<Ref> items = flatten_mapping(obj);
    for (Ref& item : items)
        item = tclobj(st, item);
    return tuple_from(items);
}

Ref tclobj_int(const State& st, PyObject* obj) {
    return int_in_range(st, obj) ? Ref::borrow(obj) : str(obj);
}

Ref tclobj_object(State& st, PyObject* obj) {
    RecursionGuard guard(" while converting a value to Tcl");
    if (Ref hook = true_hook(obj, st.tclobj_hook)) return call(hook);
    if (obj == Py_None) return Ref::borrow(st.empty);
    if (PyBytes_Check(obj) || PyBool_Check(obj) || PyFloat_Check(obj) || PyUnicode_Check(obj) ||
        is_instance(obj, st.Tcl_Obj))
        return Ref::borrow(obj);
    if (PyLong_CheckExact(obj)) return tclobj_int(st, obj);
    if (is_sequence_or_set(st, obj)) return tclobj_sequence(st, obj);
    if (is_instance(obj, st.Mapping)) return tclobj_mapping(st, obj);
    return scriptify(st, obj);
}

Ref tclobj(State& st, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type ||
        type == &PyBytes_Type)
        return Ref::borrow(obj);
    if (type == &PyLong_Type) return tclobj_int(st, obj);
    if (obj == Py_None) return Ref::borrow(st.empty);
    if (type == &PyList_Type || type == &PyTuple_Type) return tclobj_sequence(st, obj);
    if (type == &PyDict_Type) return tclobj_mapping(st, obj);
    return tclobj_object(st, obj);
}

// ---------------------------------------------------------------------------------------------
// Entry points

PyObject* only_argument(const Call& call) {
    return call.exactly(1) ? call.args[0] : call.parse<1>().named[0];
}

Ref flag_set(const State& st, unsigned flags) {
    Ref set = own(PySet_New(nullptr));
    for (int bit = 0; bit < 3; ++bit)
        if (flags & (1u << bit)) check(PySet_Add(set, st.flag_names[bit]));
    return set;
}

Ref scan_element_entry(const Call& call) {
    State& st = call.state<State>();
    Ref text = element_text(st, only_argument(call));
    StrView view(text);
    auto scan = with_chars(view, [&](auto* s) { return tcl::scan_element(s, view.length); });
    Ref size = own(PyLong_FromSsize_t(2 * view.length + 2));
    return tuple(size.get(), flag_set(st, scan.flags).get());
}

bool contains(PyObject* container, PyObject* item) {
    return check(PySequence_Contains(container, item)) != 0;
}

// Converts with caller-given flags, which may be any container; the set is told when a leading
// brace makes every brace of the element backslashed.
Ref convert_element_entry(const Call& call) {
    State& st = call.state<State>();
    auto [src, flags_container] = call.parse<2>().named;
    Ref text = element_text(st, src);
    StrView view(text);
    unsigned flags = 0;
    for (int bit = 0; bit < 3; ++bit)
        if (contains(flags_container, st.flag_names[bit])) flags |= 1u << bit;
    bool leading_brace = view.length > 0 && PyUnicode_READ(view.kind, view.data, 0) == '{';
    if (view.length > 0 && !tcl::uses_braces(flags) && leading_brace)
        call_method(flags_container, st.add, st.flag_names[2]);
    auto scan = with_chars(view, [&](auto* s) { return tcl::scan_element(s, view.length); });
    tcl::ListWriter out;
    out.add(text, tcl::form_of(scan, view.length, flags, leading_brace));
    return out.finish();
}

Ref update_string_of_list_entry(const Call& call) {
    return quote_list(call.state<State>(), only_argument(call));
}

Ref scriptify_from_mapping_entry(const Call& call) {
    return quote_mapping(call.state<State>(), only_argument(call));
}

Ref scriptify_entry(const Call& call) {
    return scriptify(call.state<State>(), only_argument(call));
}

Ref tclobj_from_sequence_entry(const Call& call) {
    return tclobj_sequence(call.state<State>(), only_argument(call));
}

Ref tclobj_from_mapping_entry(const Call& call) {
    return tclobj_mapping(call.state<State>(), only_argument(call));
}

Ref tclobj_entry(const Call& call) {
    return tclobj(call.state<State>(), only_argument(call));
}

// ---------------------------------------------------------------------------------------------
// Module

constexpr FunctionDef scan_element_def{
    "_Tcl_ScanElement", scan_element_entry, "(string)",
    "Decide how a string must be quoted as a Tcl list element.\n\n"
    "Returns (size, flags): size bounds the quoted length, flags is a new set holding\n"
    "'USE_BRACES', 'TCL_DONT_USE_BRACES' and 'BRACES_UNMATCHED' as they apply."};

constexpr FunctionDef convert_element_def{
    "_Tcl_ConvertElement", convert_element_entry, "(src, flags)",
    "Quote a string as one Tcl list element, in the form its scan flags select.\n\n"
    "When a leading brace forces backslash quoting, 'BRACES_UNMATCHED' is added to flags."};

constexpr FunctionDef update_string_of_list_def{
    "_tcl_UpdateStringOfList", update_string_of_list_entry, "(listObj)",
    "Return the Tcl list of the items of an iterable, each converted by scriptify and\n"
    "quoted as one element."};

constexpr FunctionDef scriptify_from_mapping_def{
    "_scriptify_from_mapping", scriptify_from_mapping_entry, "(obj)",
    "Return the Tcl list key1 value1 key2 value2 ... of a mapping."};

constexpr FunctionDef scriptify_def{
    "scriptify", scriptify_entry, "(obj)",
    "Convert any object into a string that is appropriate for use in Tcl.\n\n"
    "The result is a string. If an object defines the __scriptify__() method, that method\n"
    "is invoked to perform the conversion; an object with __tclobj__() is converted through\n"
    "it. Sequences and sets become Tcl lists, mappings flat key/value lists.\n\n"
    "    >>> scriptify([1, 2, [3, 4]])\n"
    "    '1 2 {3 4}'\n"
    "    >>> scriptify({'my key': 'my value', 'a': 'b'})\n"
    "    '{my key} {my value} a b'"};

constexpr FunctionDef tclobj_from_sequence_def{
    "_tclobj_from_sequence", tclobj_from_sequence_entry, "(obj)",
    "Return a tuple of tclobj() of each item of an iterable."};

constexpr FunctionDef tclobj_from_mapping_def{
    "_tclobj_from_mapping", tclobj_from_mapping_entry, "(obj)",
    "Return the flat tuple (key1, value1, key2, value2, ...) of a mapping, each converted by\n"
    "tclobj()."};

constexpr FunctionDef tclobj_def{
    "tclobj", tclobj_entry, "(obj)",
    "Convert any object into a value that Tcl calls take without losing its type.\n\n"
    "Strings, bytes, floats, booleans, machine-size integers and Tcl objects are returned\n"
    "as they are; containers become nested tuples; an object with __tclobj__() converts\n"
    "itself; anything else becomes its scriptify() string."};

void State::init(PyObject* module) {
    Ref abc = import("collections.abc");
    Mapping = add_object(module, "Mapping", getattr(abc, "Mapping"));
    Sequence = add_object(module, "Sequence", getattr(abc, "Sequence"));
    Set = add_object(module, "Set", getattr(abc, "Set"));
    Tcl_Obj = add_object(module, "_tkTcl_Obj", import_attr("_tkinter", "Tcl_Obj"));
    Ref sys = import("sys");
    add_object(module, "sys", sys);
    add_object(module, "unicode", Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)));

    scriptify_hook = keep(intern("__scriptify__"));
    tclobj_hook = keep(intern("__tclobj__"));
    add = keep(intern("add"));
    flag_names[0] = keep(intern("USE_BRACES"));
    flag_names[1] = keep(intern("TCL_DONT_USE_BRACES"));
    flag_names[2] = keep(intern("BRACES_UNMATCHED"));
    empty = keep(own(PyUnicode_New(0, 0)));
    text_true = keep(intern("true"));
    text_false = keep(intern("false"));

    add_function(module, scan_element_def);
    add_function(module, convert_element_def);
    PyObject* from_sequence = add_function(module, update_string_of_list_def);
    add_object(module, "_scriptify_from_sequence", Ref::borrow(from_sequence));
    PyObject* from_mapping = add_function(module, scriptify_from_mapping_def);
    PyObject* scriptify_fn = add_function(module, scriptify_def);

    Ref sysmaxsize = getattr_optional(sys, keep(intern("maxsize")));
    if (!sysmaxsize) sysmaxsize = getattr(sys, "maxint");
    maxsize = PyLong_AsLongLong(sysmaxsize);
    if (maxsize == -1 && PyErr_Occurred()) raise_current();
    Ref one = own(PyLong_FromLong(1));
    Ref long_type =
        Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(own(PyNumber_Add(sysmaxsize, one)).get())));
    add_object(module, "_sysmaxsize", sysmaxsize);
    add_object(module, "_long_type", long_type);

    PyObject* tclobj_from_sequence = add_function(module, tclobj_from_sequence_def);
    PyObject* tclobj_from_mapping = add_function(module, tclobj_from_mapping_def);
    PyObject* tclobj_fn = add_function(module, tclobj_def);

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
