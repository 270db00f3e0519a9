// Part of the namespace module, included by namespace.cpp (one compilation unit): the temporaries,
// handles whose Tcl object goes when their with block ends: a name made from a template, and the
// context-manager scheme they share.

namespace tarvik {
namespace {

// The template filled in: {cls} is the class name of the handle, {id} its id(). No name (None)
// is the package's own template.
Ref temporary_name(const State& st, PyObject* self, PyObject* name) {
    if (name == Py_None) name = st.name.temporary_template.get();
    Ref id = own(PyLong_FromVoidPtr(self));
    return call_method_kw(name, st.name.format, st.name.kw_cls_id, class_name(self).get(),
                          id.get());
}

// The initialiser of a temporary: the base initialiser of `cls`, given the formatted name and the
// other keyword arguments unchanged.
void init_temporary(const State& st, PyObject* cls, PyObject* self, PyObject* name,
                    PyObject* kwargs) {
    Ref formatted = temporary_name(st, self, name);
    Ref init = super_attr(cls, self, st.name.dunder_init);
    PyObject* args[] = {formatted.get()};
    own(PyObject_VectorcallDict(init, args, 1, kwargs));
}

// The value of a `with` block on a temporary: what a later class's __enter__ returns, or the
// handle itself.
Ref enter_temporary(const State& st, PyObject* cls, PyObject* self) {
    Ref later = super_attr_optional(cls, self, st.name.dunder_enter);
    return later && is_true(later) ? call(later) : Ref::borrow(self);
}

// The end of __exit__, after the clean-up: a later class's __exit__ decides, or False, which
// never suppresses an exception of the block.
Ref exit_temporary(const State& st, PyObject* cls, const Arguments<1>& a) {
    PyObject* self = a.named[0];
    Ref later = super_attr_optional(cls, self, st.name.dunder_exit);
    if (!later || !is_true(later)) return boolean(false);
    return own(PyObject_Vectorcall(later, a.rest, size_t(a.rest_count), nullptr));
}

// self.delete(), with a TclError (an object already gone) ignored, and so waited for inside a
// pipeline block.
void delete_quietly(const State& st, PyObject* self) {
    ignoring(st.TclError, [&] { answered(st, call_method(self, st.name.delete_)); });
}

Ref TempTclVariable_init(const Call& c, const Arguments<2>& a) {
    const State& st = c.state<State>();
    init_temporary(st, st.TempTclVariable, a.named[0], a.named[1], a.kwargs);
    return none();
}

constexpr FunctionDef TempTclVariable_init_def{
    "__init__", invoke<TempTclVariable_init>, "(self, var_name=None, **kwargs)",
    "Name a temporary variable; other keyword arguments go to TclVariable."};

Ref TempTclVariable_enter(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return enter_temporary(st, st.TempTclVariable, named[0]);
}

constexpr FunctionDef TempTclVariable_enter_def{"__enter__", invoke<TempTclVariable_enter>,
                                                "(self)", "Return the handle."};

Ref TempTclVariable_exit(const Call& c, Deferred<1> parse) {
    const State& st = c.state<State>();
    call_method_kw(receiver(c), st.name.unset, st.name.kw_nocomplain, Py_True);
    delete_trace_commands(st, receiver(c));
    return exit_temporary(st, st.TempTclVariable, parse(c));
}

constexpr FunctionDef TempTclVariable_exit_def{
    "__exit__", invoke<TempTclVariable_exit>, "(self, *exc_info)",
    "Unset the variable, silently if it does not exist, and delete the commands of the\n"
    "traces added through the handle; return False."};

// Removes the command just registered by a constructor that then failed: no handle will ever
// delete it. The constructor's error is what the caller sees, so one from the removal is dropped.
void withdraw_command(const State& st, PyObject* self) {
    PendingError failure;
    try {
        answered(st, call_method(self, st.name.delete_));
    } catch (const PythonError&) {
        PyErr_Clear();
    }
}

// A command goes with its interpreter: once the host behind the handle's weak proxy is gone,
// there is nothing left to delete.
bool host_gone(const State& st, PyObject* self) {
    Ref tcl = getattr_optional(self, st.name.tcl);
    return tcl && PyWeakref_CheckProxy(tcl) && !weakref_target(tcl);
}

// functools.update_wrapper(self, func): the handle takes on the function's name, documentation and
// attributes. Those are copied into the instance dict, where the handle keeps its own state too,
// so a function attribute named like one of the handle's (tcl, args...) would replace it: the
// handle's own values are put back after the copy.
void wrap(const State& st, PyObject* self, PyObject* func) {
    Ref dict = getattr(self, st.name.dunder_dict);
    Ref own_state = new_dict();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(st.name.handle_state.get()); ++i) {
        PyObject* attribute = PyTuple_GET_ITEM(st.name.handle_state.get(), i);
        if (Ref value = Ref::borrow(PyDict_GetItemWithError(dict, attribute)))
            set_item(own_state, attribute, value);
        else if (PyErr_Occurred())
            raise_current();
    }
    call(getattr(st.functools, st.name.update_wrapper), self, func);
    check(PyDict_Update(getattr(self, st.name.dunder_dict).get(), own_state));
}

Ref TempTclCommand_init(const Call& c, const Arguments<3>& a) {
    const State& st = c.state<State>();
    auto [self, func, cmd_name] = a.named;
    init_temporary(st, st.TempTclCommand, self, cmd_name, a.kwargs);
    if (func != Py_None && is_true(func)) {
        call_method(self, st.name.createcommand, func);
        try {
            wrap(st, self, func);
        } catch (const PythonError&) {
            withdraw_command(st, self);
            throw;
        }
    }
    return none();
}

constexpr FunctionDef TempTclCommand_init_def{
    "__init__", invoke<TempTclCommand_init>, "(self, func=None, cmd_name=None, **kwargs)",
    "Name a temporary command and register func under it when given."};

template <Ref State::* Class>
Ref temporary_enter(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref result = enter_temporary(st, st.*Class, self);
    if constexpr (Class == &State::TempTclNamespace) call_method(self, st.name.create);
    return result;
}

template <Ref State::* Class>
Ref temporary_exit(const Call& c, Deferred<1> parse) {
    const State& st = c.state<State>();
    delete_quietly(st, receiver(c));
    return exit_temporary(st, st.*Class, parse(c));
}

// A command made with a function is deleted when its handle goes, unless its interpreter went
// first; one made without a function was never registered by the handle and is left alone. A
// host whose link to its interpreter is closed (a ConnectionError) has gone too.
Ref TempTclCommand_del(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    if (getattr_optional(self, st.name.dunder_wrapped) && !host_gone(st, self))
        ignoring(PyExc_ConnectionError, [&] { delete_quietly(st, self); });
    Ref later = super_attr_optional(st.TempTclCommand, self, st.name.dunder_del);
    if (later && is_true(later)) call(later);
    return none();
}

constexpr FunctionDef TempTclCommand_del_def{
    "__del__", invoke<TempTclCommand_del>, "(self)",
    "Delete the command if the handle registered a function."};

Ref TempTclNamespace_init(const Call& c, const Arguments<2>& a) {
    const State& st = c.state<State>();
    init_temporary(st, st.TempTclNamespace, a.named[0], a.named[1], a.kwargs);
    return none();
}

constexpr FunctionDef TempTclNamespace_init_def{
    "__init__", invoke<TempTclNamespace_init>, "(self, ns=None, **kwargs)",
    "Name a temporary namespace; other keyword arguments go to TclNamespace."};

constexpr const char* TempTclVariable_doc =
    "A TclVariable that is unset when its with block ends.\n\n"
    "var_name None (the default) is a name of the package's own under '::__tarvik__', unique\n"
    "to the handle; a name given is formatted with {cls} as the class name and {id} as the\n"
    "handle's id(), so temporaries alive at the same time need never share a name.\n"
    "Nothing is created on entry: the variable exists once something sets it.";

constexpr const char* TempTclArrayVariable_doc =
    "A TclArrayVariable that is unset when its with block ends (see TempTclVariable).";

constexpr const char* TempTclCommand_doc =
    "A TclCommand for a Python callable exposed to Tcl for a with block or the handle's life.\n\n"
    "TempTclCommand(func=None, cmd_name=None, **kwargs) names the command as the temporary\n"
    "variables are named; with a function it registers it under that name and\n"
    "takes on its name and documentation (functools.update_wrapper). An exception raised in\n"
    "func is a Tcl error with its text (see TclCommand.createcommand). The command is deleted\n"
    "when the block ends and, for one made with a function, when the handle is finalised\n"
    "(silently when its interpreter or the link to it has gone).";

constexpr const char* TempTclNamespace_doc =
    "A TclNamespace created when its with block starts and deleted when it ends.\n\n"
    "ns None (the default) and a name given are made as for the temporary variables (see\n"
    "TempTclVariable).";

const FunctionDef TempTclVariable_methods[] = {
    TempTclVariable_init_def,
    TempTclVariable_enter_def,
    TempTclVariable_exit_def,
};

const FunctionDef TempTclCommand_methods[] = {
    TempTclCommand_init_def,
    {"__enter__", invoke<temporary_enter<&State::TempTclCommand>>, "(self)", "Return the handle."},
    {"__exit__", invoke<temporary_exit<&State::TempTclCommand>>, "(self, *exc_info)",
     "Delete the command, silently if it does not exist; return False."},
    TempTclCommand_del_def,
};

const FunctionDef TempTclNamespace_methods[] = {
    TempTclNamespace_init_def,
    {"__enter__", invoke<temporary_enter<&State::TempTclNamespace>>, "(self)",
     "Create the namespace and return the handle."},
    {"__exit__", invoke<temporary_exit<&State::TempTclNamespace>>, "(self, *exc_info)",
     "Delete the namespace, silently if it does not exist; return False."},
};

}  // namespace
}  // namespace tarvik
