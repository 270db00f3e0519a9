// Part of the namespace module, included by namespace.cpp (one compilation unit): variable traces,
// with the meaning tkinter's variables give them. A trace runs a Python callable that is
// registered as a Tcl command, which Tcl calls with the variable's name, the element's index (or
// "") and the operation. Only what every host offers is used (tk.call, tk.createcommand and, where
// it is there, tk.deletecommand), so traces work alike on an interpreter in this process and on
// one in another, whose calls back into Python the link carries.

namespace tarvik {
namespace {

// Every command a trace runs is named with this prefix: the commands that trace_remove and a
// temporary's exit delete are these, never a command that Tcl code made for a trace of its own.
constexpr const char* trace_command_prefix = "::__tarvik__trace_";

// A name unique among the commands alive: it holds the id() of the callable registered under it,
// which the command keeps alive, and the function's name when that is a plain identifier (which
// Tcl never needs to quote), as tkinter's names do.
Ref trace_command_name(const State& st, PyObject* command, PyObject* func) {
    Ref id = own(PyLong_FromVoidPtr(command));
    Ref name = getattr_optional(func, st.name.dunder_name);
    if (name && PyUnicode_Check(name) && PyUnicode_IsIdentifier(name))
        return own(PyUnicode_FromFormat("%s%S_%U", trace_command_prefix, id.get(), name.get()));
    return own(PyUnicode_FromFormat("%s%S", trace_command_prefix, id.get()));
}

bool is_trace_command(Borrowed name) {
    if (!PyUnicode_Check(name)) return false;
    return PyUnicode_Tailmatch(name, from_utf8(trace_command_prefix).get(), 0, PY_SSIZE_T_MAX,
                               -1) == 1;
}

// Deletes a command: through tk.deletecommand where the host's tk has it, else by renaming it to
// "" (which lets _tkinter and a remote's agent release its Python function all the same).
// Inside a pipeline block, it is waited for: the callers need to know it went.
void delete_command(const State& st, PyObject* tk, PyObject* name) {
    if (Ref deleter = getattr_optional(tk, st.name.deletecommand))
        answered(st, call(deleter, name));
    else
        answered(st, call_tk(st, tk, tuple(st.name.w_rename, name, st.name.empty)));
}

// The same where the command may be gone already (Tcl deleted it, or a trace_remove did).
void delete_command_quietly(const State& st, PyObject* tk, PyObject* name) {
    ignoring(st.TclError, [&] { delete_command(st, tk, name); });
}

// A temporary variable remembers the commands of the traces added through it, so that its exit
// deletes them with the variable (unsetting it ends its traces, but not their commands).
void remember_trace_command(const State& st, PyObject* self, PyObject* name) {
    if (!check(PyObject_IsInstance(self, st.TempTclVariable))) return;
    Ref names = getattr_optional(self, st.name.trace_commands);
    if (!names) {
        names = new_list();
        setattr(self, st.name.trace_commands, names);
    }
    call_method(names, st.name.append, name);
}

void forget_trace_command(const State& st, PyObject* self, PyObject* name) {
    Ref names = getattr_optional(self, st.name.trace_commands);
    if (names && check(PySequence_Contains(names, name))) call_method(names, st.name.remove, name);
}

// What a temporary's exit does once the variable is unset.
void delete_trace_commands(const State& st, PyObject* self) {
    Ref names = getattr_optional(self, st.name.trace_commands);
    if (!names) return;
    check(PyObject_DelAttr(self, st.name.trace_commands));
    Ref tk = tk_of(st, self);
    Ref items = own(PySequence_List(names));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i)
        delete_command_quietly(st, tk, PyList_GET_ITEM(items.get(), i));
}

Ref TclVariable_trace_add(const Call& c, Named<3> named) {
    const State& st = c.state<State>();
    auto [self, mode, callback] = named;
    Ref host = host_of(st, self);
    Ref tk = tk_of_host(st, host);
    Ref name = getattr(self, st.name.var_name);
    Ref modes = tclobj(st, mode);
    Ref command = command_callback(st, callback, host_proxy(st, host));
    Ref command_name = trace_command_name(st, command, callback);
    call_method(tk, st.name.createcommand, command_name.get(), command.get());
    try {
        Ref prefix = tuple(command_name.get());
        // Waited for inside a pipeline block: a refused trace must not leave its command.
        answered(st, call_tk(st, tk,
                             tuple(st.name.w_trace, st.name.add, st.name.variable, name.get(),
                                   modes.get(), prefix.get())));
    } catch (const PythonError&) {
        // The trace was refused (a bad mode, an interpreter without traces): its command goes.
        PendingError failure;
        try {
            delete_command(st, tk, command_name);
        } catch (const PythonError&) {
            PyErr_Clear();
        }
        throw;
    }
    remember_trace_command(st, self, command_name);
    return command_name;
}

constexpr FunctionDef TclVariable_trace_add_def{
    "trace_add", invoke<TclVariable_trace_add>, "(self, mode, callback)",
    "Call callback when the variable is used as mode says; return the name of the Tcl\n"
    "command that runs it, which trace_remove() takes.\n\n"
    "mode is 'read', 'write', 'unset' or 'array', or a list or tuple of them. callback gets\n"
    "the variable's name as Tcl used it, the element's index (or '') and the operation, as\n"
    "strings. An exception in it is a Tcl error, as in a command's function: a write or a\n"
    "read that it traces then fails. The command stays until trace_remove() removes the\n"
    "trace; a temporary variable deletes the commands of its traces when its block ends."};

// Whether a trace of the variable still runs the command (one added for other modes, say).
bool still_runs(const State& st, PyObject* self, PyObject* command_name) {
    Ref iterator = own(PyObject_GetIter(call_method(self, st.name.trace_info).get()));
    while (Ref trace = Ref::steal_maybe(PyIter_Next(iterator))) {
        Ref words = host_cast(st, self, st.name.cast_list, own(PySequence_GetItem(trace, 1)));
        if (check_size(PyObject_Length(words)) == 0) continue;
        Ref command = own(PySequence_GetItem(words, 0));
        if (check(PyObject_RichCompareBool(command, command_name, Py_EQ))) return true;
    }
    if (PyErr_Occurred()) raise_current();
    return false;
}

Ref TclVariable_trace_remove(const Call& c, Named<3> named) {
    const State& st = c.state<State>();
    auto [self, mode, command_name] = named;
    Ref tk = tk_of(st, self);
    Ref name = getattr(self, st.name.var_name);
    Ref modes = tclobj(st, mode);
    Ref prefix = scriptify(st, command_name);
    call_tk(st, tk,
            tuple(st.name.w_trace, st.name.remove, st.name.variable, name.get(), modes.get(),
                  prefix.get()));
    if (!is_trace_command(prefix) || still_runs(st, self, prefix)) return none();
    delete_command_quietly(st, tk, prefix);
    forget_trace_command(st, self, prefix);
    return none();
}

constexpr FunctionDef TclVariable_trace_remove_def{
    "trace_remove", invoke<TclVariable_trace_remove>, "(self, mode, cbname)",
    "Remove the trace of mode (as given to trace_add()) that runs the command cbname.\n\n"
    "A command that trace_add() made is deleted once no trace of the variable runs it; a\n"
    "command of Tcl's own is left as it is."};

Ref TclVariable_trace_info(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref name = getattr(self, st.name.var_name);
    Ref result = call_tk(st, tk_of(st, self),
                         tuple(st.name.w_trace, st.name.info, st.name.variable, name.get()));
    Ref traces = own(PySequence_List(host_cast(st, self, st.name.cast_list, result).get()));
    Ref found = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(traces.get()); ++i) {
        Ref trace = host_cast(st, self, st.name.cast_list, PyList_GET_ITEM(traces.get(), i));
        if (check_size(PyObject_Length(trace)) != 2)
            raise_format(PyExc_ValueError, "not a trace of a variable: %R", trace.get());
        Ref modes = host_cast(st, self, st.name.cast_list, own(PySequence_GetItem(trace, 0)));
        Ref prefix = plain_string(st, own(PySequence_GetItem(trace, 1)));
        append(found, tuple(own(PySequence_Tuple(modes)).get(), prefix.get()));
    }
    return found;
}

constexpr FunctionDef TclVariable_trace_info_def{
    "trace_info", invoke<TclVariable_trace_info>, "(self)",
    "Return the traces of the variable as (modes, cbname) pairs, newest first: modes a\n"
    "tuple of operation names, cbname the command (prefix) that the trace runs."};

const FunctionDef TclVariable_trace_methods[] = {
    TclVariable_trace_add_def,
    TclVariable_trace_remove_def,
    TclVariable_trace_info_def,
};

}  // namespace
}  // namespace tarvik
