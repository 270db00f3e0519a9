// tarvik.tcl.z: Tcl commands called as attribute chains of the interpreter,
// `tcl.z.ns_a.procname(1, [2, 3], flag=True)`.
//
// A quick call is the commonest way into Tcl, so its path does no more than it must: the host is
// resolved from its weak proxy once per call, methods are called without bound-method objects,
// keywords are read straight from the call, and a `Z_Code` is filled in directly instead of
// through type.__call__.
#include "support/classes.hpp"

#include <memory>

namespace tarvik {
namespace {

struct State : ModuleState {
    PyObject* TclError;
    PyObject* scriptify;
    PyObject* Z_Code;

    // Interned attribute, method and keyword names.
    struct Names {
        PyObject* tcl;
        PyObject* cmd;
        PyObject* history;
        PyObject* append;
        PyObject* tk;
        PyObject* call;
        PyObject* vars;
        PyObject* cast_any;
        PyObject* cast;  // "cast_", the keyword that never reaches Tcl
        PyObject* self;
        PyObject* str;
    } name;

    PyObject* separator;   // "::"
    PyObject* dash;        // "-"
    PyObject* error_info;  // "::errorInfo"

    void init(PyObject* module);
};

State& state_of(const Call& call) {
    return call.state<State>();
}

std::array<PyObject*, 2> self_and_name(const Call& call) {
    return call.exactly(2) ? std::array{call.args[0], call.args[1]} : call.parse<2>().named;
}

// An attribute of a Z or Z_Code found by the normal lookup alone. Through their __getattr__ a
// missing `tcl` or `cmd` (on an instance made by __new__, or half-way through copy.copy) would
// become a command part or recurse without end; this way it is an AttributeError.
Ref own_attribute(PyObject* self, PyObject* name) {
    return own(PyObject_GenericGetAttr(self, name));
}

// The host behind a weak proxy, held for the length of one call; any other object is the host
// itself.
Ref resolve_host(PyObject* tcl) {
    if (!PyWeakref_CheckProxy(tcl)) return Ref::borrow(tcl);
    Ref host = weakref_target(tcl);
    if (!host) raise(PyExc_ReferenceError, "weakly-referenced object no longer exists");
    return host;
}

Ref command_name(State& st, PyObject* self) {
    return own(PyUnicode_Join(st.separator, own_attribute(self, st.name.cmd)));
}

// ---------------------------------------------------------------------------------------------
// Z

// Keeps only a weak proxy of the host, so the host's own `z` does not keep it alive. A proxy
// handed in is kept as it is (a proxy of a proxy cannot be made).
Ref z_init(const Call& call) {
    State& st = state_of(call);
    auto [self, tcl] = call.parse<2>().named;
    Ref proxy =
        PyWeakref_CheckProxy(tcl) ? Ref::borrow(tcl) : own(PyWeakref_NewProxy(tcl, nullptr));
    setattr(self, st.name.tcl, proxy);
    return none();
}

// What Z_Code(name, tcl=tcl) makes, without the generic constructor call.
Ref new_z_code(State& st, PyObject* name, PyObject* tcl) {
    Ref code = allocate_instance(st.Z_Code);
    setattr(code, st.name.tcl, tcl);
    Ref parts = new_list(1);
    PyList_SET_ITEM(parts.get(), 0, Py_NewRef(name));
    setattr(code, st.name.cmd, parts);
    return code;
}

Ref z_getattr(const Call& call) {
    State& st = state_of(call);
    auto [self, name] = self_and_name(call);
    return new_z_code(st, name, own_attribute(self, st.name.tcl));
}

// The root names no command: Tcl's own error for an empty name, and nothing is sent.
Ref z_call(const Call& call) {
    State& st = state_of(call);
    call.parse<1>();
    raise(st.TclError, "invalid command name \"\"");
}

// ---------------------------------------------------------------------------------------------
// Z_Code

Ref z_code_init(const Call& call) {
    State& st = state_of(call);
    auto arguments = call.parse<2>();
    auto [self, tcl] = arguments.named;
    Ref parts = new_list(arguments.rest_count);
    for (Py_ssize_t i = 0; i < arguments.rest_count; ++i)
        PyList_SET_ITEM(parts.get(), i, Py_NewRef(arguments.rest[i]));
    setattr(self, st.name.tcl, tcl);
    setattr(self, st.name.cmd, parts);
    return none();
}

Ref z_code_getattr(const Call& call) {
    State& st = state_of(call);
    auto [self, name] = self_and_name(call);
    Ref parts = own_attribute(self, st.name.cmd);
    if (PyList_CheckExact(parts))
        append(parts, name);
    else
        call_method(parts.get(), st.name.append, name);
    return Ref::borrow(self);
}

Ref z_code_str(const Call& call) {
    State& st = state_of(call);
    Ref name = command_name(st, call.parse<1>().named[0]);
    return own(PyUnicode_FromFormat("<tcl.Z magic, referring Tcl code ::%U>", name.get()));
}

Ref z_code_repr(const Call& call) {
    return call_method(call.parse<1>().named[0], state_of(call).name.str);
}

// One call's arguments, as vectorcall hands them over, `self` apart.
struct QuickCall {
    PyObject* self;
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;  // NULL without keywords
    PyObject* const* keyword_values;

    Py_ssize_t keyword_count() const { return kwnames ? PyTuple_GET_SIZE(kwnames) : 0; }
    PyObject* keyword(Py_ssize_t k) const { return PyTuple_GET_ITEM(kwnames, k); }
};

Py_ssize_t find_keyword(const QuickCall& q, PyObject* name) {
    for (Py_ssize_t k = 0; k < q.keyword_count(); ++k)
        if (detail::same_name(q.keyword(k), name)) return k;
    return -1;
}

// One word of the command. The commonest arguments skip the call: a str is its own scriptify
// form, and an int or a float is its str().
Ref word(State& st, PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) return str(value);
    return call(st.scriptify, value);
}

// The command name, each positional argument, then "-key" and the value of each keyword in the
// order the caller gave them (so keywords always follow the positional words); `cast_` is not a
// word.
Ref command_words(State& st, const QuickCall& q, Py_ssize_t cast_at) {
    Py_ssize_t options = q.keyword_count() - (cast_at >= 0);
    Ref words = new_list(1 + q.nargs + 2 * options);
    Py_ssize_t at = 0;
    auto put = [&](Ref w) { PyList_SET_ITEM(words.get(), at++, w.release()); };
    put(command_name(st, q.self));
    for (Py_ssize_t i = 0; i < q.nargs; ++i)
        put(word(st, q.args[i]));
    for (Py_ssize_t k = 0; k < q.keyword_count(); ++k) {
        if (k == cast_at) continue;
        put(own(PyUnicode_Concat(st.dash, q.keyword(k))));
        put(word(st, q.keyword_values[k]));
    }
    return words;
}

// A failed command's short message says little; Tcl's ::errorInfo holds the whole trace. The
// replacement error stands alone: the caught one is suppressed, not shown as its context.
[[noreturn]] void raise_with_error_info(State& st, PyObject* host) {
    Ref caught = fetch_error();
    Ref replacement = while_handling(caught, [&] {
        Ref info = own(PyObject_GetItem(getattr(host, st.name.vars), st.error_info));
        return call(st.TclError, info);
    });
    raise_from_none(std::move(replacement), caught);
}

// tk.call(*words). The words are copied first: the list is the history's to keep, and a Tcl
// callback into Python may change it while the command runs.
Ref run_command(State& st, PyObject* host, PyObject* words) {
    Ref tk = getattr(host, st.name.tk);
    Ref frozen = own(PyList_AsTuple(words));
    Py_ssize_t count = PyTuple_GET_SIZE(frozen.get());
    constexpr Py_ssize_t on_stack = 16;
    PyObject* small[on_stack];
    std::unique_ptr<PyObject*[]> large;
    PyObject** argv = small;
    if (count + 1 > on_stack) argv = (large = std::make_unique<PyObject*[]>(count + 1)).get();
    argv[0] = tk;
    for (Py_ssize_t i = 0; i < count; ++i)
        argv[i + 1] = PyTuple_GET_ITEM(frozen.get(), i);
    PyObject* result = PyObject_VectorcallMethod(
        st.name.call, argv, size_t(count + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result) return Ref::steal(result);
    if (!error_matches(st.TclError)) raise_current();
    raise_with_error_info(st, host);
}

// The result as a plain string. tk.call hands a Tcl list back as a tuple, whose str() would be
// Python's notation of it; its string is the Tcl list of its elements, as Tcl writes it.
Ref plain_string(State& st, PyObject* result) {
    if (PyTuple_Check(result)) return call(st.scriptify, result);
    return str(result);
}

Ref quick_call(State& st, const QuickCall& q) {
    Py_ssize_t cast_at = find_keyword(q, st.name.cast);
    PyObject* cast = cast_at >= 0 ? q.keyword_values[cast_at] : Py_True;
    Ref words = command_words(st, q, cast_at);
    // Recorded before it runs, so a command that fails is in the history too.
    Ref host = resolve_host(own_attribute(q.self, st.name.tcl));
    call_method(getattr(host, st.name.history).get(), st.name.append, words.get());
    Ref result = run_command(st, host, words);
    if (is_true(cast)) return call_method(host.get(), st.name.cast_any, result.get());
    return plain_string(st, result);
}

Ref z_code_call(const Call& call) {
    State& st = state_of(call);
    QuickCall q{nullptr, call.args + 1, call.nargs - 1, call.kwnames, call.args + call.nargs};
    if (call.nargs >= 1 && find_keyword(q, st.name.self) < 0) {
        q.self = call.args[0];
        return quick_call(st, q);
    }
    // No positional self, or a keyword "self" too: the parser raises Python's TypeError, or
    // finds self given by keyword, and the call is made again with self in its place.
    auto arguments = call.parse<1>();
    Ref self_only = tuple(arguments.named[0]);
    return own(PyObject_Call(reinterpret_cast<PyObject*>(call.function), self_only,
                             arguments.kwargs ? arguments.kwargs.get() : nullptr));
}

// ---------------------------------------------------------------------------------------------
// Module

constexpr const char* z_doc =
    "Magic quick-call methods for Tcl interpreters.\n\n"
    "Lets users call Tcl APIs as if they were attributes of the interpreter object:\n\n"
    "    tcl.z.set('myVar', 'value')                    # set myVar value\n"
    "    tcl.z.ns_a.ns_b.procname('arguments', arg_a='value')\n"
    "                                 # ns_a::ns_b::procname arguments -arg_a value\n\n"
    "Each argument becomes one Tcl word through scriptify(); the call is recorded in the\n"
    "interpreter's history before it runs; a Tcl error is raised as a TclError carrying\n"
    "Tcl's ::errorInfo trace; the result goes through the interpreter's cast_any().\n\n"
    "Args:\n"
    "    cast_ (bool): flag to turn casting of the result on or off (default True); off\n"
    "        returns the result as a str, a list as Tcl writes it. The keyword is never\n"
    "        sent to Tcl.\n\n"
    "Notes:\n"
    "    Positional arguments keep their order of appearance.\n"
    "    Keyword arguments are converted to dashed arguments in Tcl and appear after the\n"
    "    positional arguments, in the order given.\n"
    "    Only [A-Za-z0-9_] is supported in Tcl namespace and procedure names (names must be\n"
    "    Python identifiers).";

constexpr const char* z_code_doc =
    "Z_Code class\n\n"
    "Worker class that implements Z logic: it holds the parts of one command name (cmd),\n"
    "grows by attribute access and runs the command when called.";

void State::init(PyObject* module) {
    name.tcl = keep(intern("tcl"));
    name.cmd = keep(intern("cmd"));
    name.history = keep(intern("history"));
    name.append = keep(intern("append"));
    name.tk = keep(intern("tk"));
    name.call = keep(intern("call"));
    name.vars = keep(intern("vars"));
    name.cast_any = keep(intern("cast_any"));
    name.cast = keep(intern("cast_"));
    name.self = keep(intern("self"));
    name.str = keep(intern("__str__"));
    separator = keep(intern("::"));
    dash = keep(intern("-"));
    error_info = keep(intern("::errorInfo"));

    add_object(module, "weakref", import("weakref"));
    TclError = add_object(module, "TclError", import_attr("tkinter", "TclError"));
    scriptify =
        add_object(module, "scriptify", import_sibling_attr(module, "scriptify", "scriptify"));

    ClassBuilder z(*this, module, "Z");
    z.doc(z_doc).methods({
        {"__init__", z_init, "(self, tcl)", "Quick calls into the interpreter tcl (kept weakly)."},
        {"__getattr__", z_getattr, "(self, name)", "Return a new Z_Code for the command name."},
        {"__call__", z_call, "(self, *args, **kwargs)",
         "Raise TclError: the root of the quick calls names no command."},
    });
    add_object(module, "Z", z.build({}));

    ClassBuilder z_code(*this, module, "Z_Code");
    z_code.doc(z_code_doc)
        .methods({
            {"__init__", z_code_init, "(self, *cmd, tcl)",
             "Refer to the command whose name parts are cmd, in the interpreter tcl."},
            {"__call__", z_code_call, "(self, *args, **kwargs)",
             "Run the command with args as words and kwargs as -key value pairs; return the\n"
             "result cast by the interpreter, or with cast_=False as a str (a list as Tcl\n"
             "writes it)."},
            {"__getattr__", z_code_getattr, "(self, name)",
             "Append name to the command name and return this same object."},
            {"__repr__", z_code_repr, "(self)", "Return str(self)."},
            {"__str__", z_code_str, "(self)", "Return '<tcl.Z magic, referring Tcl code ::name>'."},
        });
    Z_Code = add_object(module, "Z_Code", z_code.build({}));
}

}  // namespace
}  // namespace tarvik

PyMODINIT_FUNC PyInit_z() {
    return tarvik::ModuleDefinition<tarvik::State>::init(
        "tarvik.tcl.z", "Quick calls: Tcl commands called as attribute chains of the interpreter.");
}
