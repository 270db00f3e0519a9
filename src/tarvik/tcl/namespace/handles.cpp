// Part of the namespace module, included by namespace.cpp (one compilation unit): what every handle
// shares: its host, the conversions, names and the plumbing of methods that reach each other
// through the instance.

namespace tarvik {
namespace {

PyObject* as_object(PyTypeObject* type) {
    return reinterpret_cast<PyObject*>(type);
}

Ref scriptify(const State& st, Borrowed obj) {
    return st.convert.scriptify(obj);
}

Ref tclobj(const State& st, Borrowed obj) {
    return st.convert.tclobj(obj);
}

// The host to store in a handle: the given interpreter, or the package module when none (or a
// false value) is given, as a weak proxy so that the handle never keeps it alive.
Ref host_proxy(const State& st, PyObject* tcl) {
    Ref host = tcl && is_true(tcl) ? Ref::borrow(tcl) : import_cached(st.name.package_name);
    if (PyWeakref_CheckProxy(host.get())) return host;
    return own(PyWeakref_NewProxy(host, nullptr));
}

Ref host_of(const State& st, PyObject* self) {
    return getattr(self, st.name.tcl);
}

// host.tk, the Tk application object of a host held through its proxy, read past the proxy as
// the proxy would read it.
Ref tk_of_host(const State& st, Borrowed host) {
    return getattr(unproxy(host), st.name.tk);
}

// self.tcl.tk.
Ref tk_of(const State& st, PyObject* self) {
    return tk_of_host(st, host_of(st, self));
}

// tk.call(words): the word tuple travels as the one argument, checked for what _tkinter would
// crash on.
Ref call_tk(const State& st, Borrowed tk, Borrowed words) {
    return call_method(tk, st.name.call, tcl::safe_for_tk(words, st.convert.Tcl_Obj).get());
}

// self.tcl.tk.call(words).
Ref tk_call(const State& st, PyObject* self, Borrowed words) {
    return call_tk(st, tk_of(st, self), words);
}

// The answer of a query, which inside a pipeline block the host gives later: waited for, as a
// read that returns it needs.
Ref answered(const State& st, Ref result) {
    return deferred::answered(std::move(result), st.name.tcl_result);
}

// What a write returns: None, or inside a pipeline block the pending answer the host gave for
// it, which says when the write is done and raises its error.
Ref write_result(const State& st, Ref result) {
    bool pending = deferred::is_pending(result, st.name.tcl_result, as_type(st.convert.Tcl_Obj));
    return pending ? result : none();
}

// self.tcl.<cast>(result), for cast_list, cast_boolean and cast_array.
Ref host_cast(const State& st, PyObject* self, PyObject* cast_name, Borrowed result) {
    return call_method(host_of(st, self), cast_name, result);
}

// A Tcl object as its string; anything else as it is.
Ref plain_string(const State& st, Ref value) {
    if (Py_TYPE(value.get()) == as_type(st.convert.Tcl_Obj)) return str(value);
    return value;
}

Ref class_name(PyObject* self) {
    return own(PyType_GetName(Py_TYPE(self)));
}

// A script made of a word list. Tcl reads a script whose first word starts with "#" as a comment,
// and a list leaves such a word bare: a backslash keeps it a command name.
Ref command_script(const State& st, PyObject* words) {
    Ref script = scriptify(st, words);
    if (!PyUnicode_Check(script) || PyUnicode_GET_LENGTH(script) == 0 ||
        PyUnicode_READ_CHAR(script, 0) != '#')
        return script;
    return own(PyUnicode_FromFormat("\\%U", script.get()));
}

// Whether the class `cls` finds `original` under `name`, as CPython's own type cache answers
// (compared only: the pointer is never used, so it needs no reference).
bool class_finds(PyObject* cls, PyObject* name, PyObject* original) {
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name) == original;
}

// obj.__dict__, or an empty Ref for an object without one.
Ref instance_dict_of(PyObject* obj) {
    Ref dict = Ref::steal_maybe(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) {
        if (!error_matches(PyExc_AttributeError)) raise_current();
        PyErr_Clear();
    }
    return dict;
}

bool in_instance_dict(Borrowed dict, PyObject* name) {
    return dict && check(PyDict_Contains(dict, name));
}

// Whether scriptify(obj) is what a namespace handle's __str__ gives, its name: an exact
// TclNamespace whose class still has this module's __str__ and no conversion hook, on the class
// or the instance. Asked of CPython's type cache on every use, nothing remembered.
bool converts_as_its_name(const State& st, PyObject* obj) {
    if (Py_TYPE(obj) != as_type(st.TclNamespace) ||
        !class_finds(st.TclNamespace, st.name.dunder_str, st.TclNamespace_str))
        return false;
    Ref dict = instance_dict_of(obj);
    for (PyObject* hook : {st.name.dunder_scriptify, st.name.dunder_tclobj})
        if (!class_finds(st.TclNamespace, hook, nullptr) || in_instance_dict(dict, hook))
            return false;
    return true;
}

// The string form of a name argument. A namespace handle's name is its str(), which is what
// scriptify would find after testing it against every container ABC.
Ref name_text(const State& st, PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
    Ref text = converts_as_its_name(st, obj) ? getattr(obj, st.name.ns) : scriptify(st, obj);
    if (!PyUnicode_Check(text))
        raise_format(PyExc_TypeError, "a Tcl name must be a string, not %.200s",
                     Py_TYPE(text.get())->tp_name);
    return text;
}

// Joins names, each given as its text or as anything name_text converts (see tcl::join_names).
Ref join_names(const State& st, PyObject* const* items, Py_ssize_t count) {
    std::vector<Ref> converted;  // keeps the texts that are not the arguments themselves
    return tcl::join_names(count, [&](Py_ssize_t i) {
        Ref text = name_text(st, items[i]);
        PyObject* piece = text.get();
        if (piece != items[i]) converted.push_back(std::move(text));
        return piece;
    });
}

Ref join_two(const State& st, Borrowed first, Borrowed second) {
    PyObject* items[] = {first, second};
    return join_names(st, items, 2);
}

// The absolute form of a variable or command name: as it is when it starts with "::", otherwise
// joined to the interpreter's current namespace.
Ref absolute_name(const State& st, PyObject* self, PyObject* attribute) {
    Ref name = getattr(self, attribute);
    if (tcl::starts_with_separator(name)) return name;
    Ref current = answered(
        st, call_method(tk_of(st, self), st.name.call, st.name.namespace_word, st.name.current));
    return join_two(st, current, name);
}

// absolute() and make_absolute() of the handle whose name is the attribute `Name` (var_name or
// cmd_name).
template <const Ref Names::* Name>
Ref handle_absolute(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return absolute_name(st, named[0], st.name.*Name);
}

template <const Ref Names::* Name>
Ref handle_make_absolute(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    setattr(self, st.name.*Name, call_method(self, st.name.absolute));
    return none();
}

// The instance a method was called on: the first positional argument.
PyObject* receiver(const Call& c) {
    if (c.nargs == 0)
        raise_format(PyExc_TypeError, "%U() missing 1 required positional argument: 'self'",
                     c.function->qualname);
    return c.args[0];
}

// `result`, cast by the handle's cast when that is true.
Ref apply_cast(const State& st, PyObject* self, Ref result) {
    Ref cast = getattr(self, st.name.cast);
    return is_true(cast) ? call(cast, result.get()) : result;
}

// `with manager as value: return body(value)`, with the exception of the block handed to
// __exit__ and raised again unless __exit__ suppresses it.
template <class F>
Ref within(const State& st, PyObject* manager, F&& body) {
    Ref value = call_method(manager, st.name.dunder_enter);
    Ref result;
    try {
        result = body(value.get());
    } catch (const PythonError&) {
        Ref error = fetch_error();
        Ref traceback = Ref::steal_maybe(PyException_GetTraceback(error));
        Ref suppress = while_handling(error, [&] {
            return call_method(manager, st.name.dunder_exit, as_object(Py_TYPE(error.get())),
                               error.get(), traceback ? traceback.get() : Py_None);
        });
        if (is_true(suppress)) return none();
        raise_exception(std::move(error));
    }
    call_method(manager, st.name.dunder_exit, Py_None, Py_None, Py_None);
    return result;
}

}  // namespace
}  // namespace tarvik
