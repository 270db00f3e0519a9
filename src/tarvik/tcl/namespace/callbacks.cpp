// Part of the namespace module, included by namespace.cpp (one compilation unit): the callable
// that stands for a Python function registered as a Tcl command, so that an exception raised in
// it reaches Tcl with its text.
//
// _tkinter turns an exception in a command's function into a bare TCL_ERROR and leaves Tcl's
// result as it was: `catch` gets an empty message and errorCode NONE. So the function is
// registered behind a callback that, on an Exception, first calls Tcl's `error` command with the
// message, the Python traceback and the code `PYTHON Type` (which sets the result, errorInfo and
// errorCode), drops the TclError that call raises, and raises the original again: _tkinter then
// returns the failure with all three already set. KeyboardInterrupt and SystemExit are not
// reported, so they stop the program as before.

namespace tarvik {
namespace {

struct Callback {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* func;
    PyObject* host;  // a weak proxy: the host's interpreter holds the callback

    auto owned() { return std::array{&func, &host}; }
};

namespace callbacks {

using Lifecycle = NativeInstance<Callback>;

State& callback_state(PyObject* self) {
    return state_of_type<State>(Py_TYPE(self));
}

// "Type: message" and the traceback as the traceback module writes it, without its last newline.
std::pair<Ref, Ref> describe(const State& st, PyObject* error) {
    Ref type_name = own(PyType_GetName(Py_TYPE(error)));
    Ref message = own(PyUnicode_FromFormat("%U: %S", type_name.get(), error));
    Ref lines =
        call_method(import_cached(st.name.traceback).get(), st.name.format_exception, error);
    Ref trace = own(PyUnicode_Join(st.name.empty, lines));
    Ref stripped = call_method(trace, st.name.rstrip, st.name.newline);
    return {message, stripped};
}

// Tcl's `error message trace {PYTHON Type}`, run through the host's tk while `error` is the
// exception being handled. The TclError it raises is the point of the call; any other failure
// of this report leaves the error as _tkinter would report it alone.
void report_to_tcl(PyObject* self, PyObject* host, PyObject* error) {
    HandlingError handling(error);
    try {
        const State& st = callback_state(self);
        auto [message, trace] = describe(st, error);
        Ref code = tuple(st.name.w_python, own(PyType_GetName(Py_TYPE(error))).get());
        Ref tk = getattr(unproxy(host), st.name.tk);
        call_method(tk, st.name.call, st.name.w_error, message.get(), trace.get(), code.get());
    } catch (const PythonError&) {
        if (!error_matches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
}

// The function may delete its own command, and Tcl then drops the callback while the function
// runs: the callback and what it holds are kept for the length of the call. Its result goes to
// _tkinter, which would end the process on an element of a tuple or list that it cannot
// convert: such a result is checked first, and the error it would meet raised in Tcl.
PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Ref callback = Ref::borrow(self);
    auto* cb = reinterpret_cast<Callback*>(self);
    Ref func = Ref::borrow(cb->func), host = Ref::borrow(cb->host);
    return guarded([&] {
        if (!func || !host) raise(PyExc_RuntimeError, "a cleared command callback was called");
        try {
            Ref result = own(PyObject_Vectorcall(func, args, nargsf, kwnames));
            return tcl::safe_for_tk(result, callback_state(self).convert.Tcl_Obj);
        } catch (const PythonError&) {
            if (!error_matches(PyExc_Exception)) throw;
            Ref error = fetch_error();
            report_to_tcl(self, host, error);
            raise_exception(std::move(error));
        }
    });
}

PyObject* repr(PyObject* self) {
    PyObject* func = reinterpret_cast<Callback*>(self)->func;
    return PyUnicode_FromFormat("<Tcl command callback of %R>", func ? func : Py_None);
}

PyMemberDef members[] = {
    {"__wrapped__", function_type::object_member, offsetof(Callback, func),
     function_type::read_only, "The Python callable run for the command."},
    {"__vectorcalloffset__", function_type::size_member, offsetof(Callback, vectorcall),
     function_type::read_only, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* create(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(Lifecycle::dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(Lifecycle::traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(Lifecycle::clear)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_members, members},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "tarvik.tcl.namespace.command_callback",
        sizeof(Callback),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_VECTORCALL,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace callbacks

// What to register for `func` as the Tcl command of the host behind `host` (a weak proxy). A
// value that is not callable is left for tk to refuse in its own words.
Ref command_callback(const State& st, PyObject* func, Borrowed host) {
    if (!PyCallable_Check(func)) return Ref::borrow(func);
    auto* cb = PyObject_GC_New(Callback, as_type(st.command_callback));
    if (cb == nullptr) raise_current();
    cb->vectorcall = callbacks::call;
    cb->func = Py_NewRef(func);
    cb->host = Py_NewRef(host);
    PyObject_GC_Track(cb);
    return Ref::steal(reinterpret_cast<PyObject*>(cb));
}

}  // namespace
}  // namespace tarvik
