// Part of the namespace module, included by namespace.cpp (one compilation unit): the mapping views
// of a namespace's variables, commands and procs. Each operation makes a handle with the view's
// byref() and calls one of its methods; nothing is cached.

namespace tarvik {
namespace {

template <Ref State::* View>
Ref view_init(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, ns] = named;
    if (st.assertions && !check(PyObject_IsInstance(ns, st.TclNamespace))) {
        PyErr_SetNone(PyExc_AssertionError);
        raise_current();
    }
    call_super_init(st.*View, self, st.name.dunder_init);
    setattr(self, st.name.ns, ns);
    return none();
}

// The qualified name of `name` in the view's namespace.
Ref qualified(const State& st, PyObject* view, PyObject* name) {
    return join_two(st, getattr(view, st.name.ns), name);
}

[[noreturn]] void given_twice(const Call& c, const char* keyword) {
    raise_format(PyExc_TypeError, "%U() got multiple values for keyword argument '%s'",
                 c.function->qualname, keyword);
}

// handle_class(first, *rest, tcl=host, **kwargs).
Ref make_handle(const State& st, PyObject* handle_class, PyObject* first, Borrowed host,
                PyObject* const* rest, Py_ssize_t count, PyObject* kwargs) {
    if (count == 0 && (!kwargs || PyDict_GET_SIZE(kwargs) == 0)) {
        PyObject* args[] = {first, host};
        return construct(st, handle_class, args, 1, st.name.kw_tcl, st.name.dunder_init);
    }
    std::vector<PyObject*> args{first};
    args.insert(args.end(), rest, rest + count);
    Ref keywords = new_dict();
    set_item(keywords, st.name.tcl, host);
    if (kwargs) check(PyDict_Update(keywords, kwargs));
    return own(PyObject_VectorcallDict(handle_class, args.data(), args.size(), keywords));
}

Ref VariablesView_byref(const Call& c, const Arguments<2>& a) {
    const State& st = c.state<State>();
    auto [self, var_name] = a.named;
    Ref var_type = Ref::borrow(st.TclVariable);
    if (a.kwargs) {
        if (PyObject* given = PyDict_GetItemWithError(a.kwargs, st.name.var_type)) {
            var_type = Ref::borrow(given);
            check(PyDict_DelItem(a.kwargs, st.name.var_type));
        } else if (PyErr_Occurred()) {
            raise_current();
        }
        if (check(PyDict_Contains(a.kwargs, st.name.tcl))) given_twice(c, "tcl");
    }
    Ref ns = getattr(self, st.name.ns);
    Ref name = join_two(st, ns, var_name);
    return make_handle(st, var_type, name, host_of(st, ns), a.rest, a.rest_count, a.kwargs);
}

constexpr FunctionDef VariablesView_byref_def{
    "byref", invoke<VariablesView_byref>, "(self, var_name, *args, **kwargs)",
    "Return a new handle (var_type, by default TclVariable) on the variable var_name of\n"
    "the namespace; other arguments go to its constructor."};

Ref VariablesView_array_byref(const Call& c, const Arguments<2>& a) {
    const State& st = c.state<State>();
    auto [self, var_name] = a.named;
    Ref keywords = new_dict();
    set_item(keywords, st.name.var_type, st.TclArrayVariable);
    if (a.kwargs) {
        if (check(PyDict_Contains(a.kwargs, st.name.var_type))) given_twice(c, "var_type");
        check(PyDict_Update(keywords, a.kwargs));
    }
    std::vector<PyObject*> args{var_name};
    args.insert(args.end(), a.rest, a.rest + a.rest_count);
    Ref byref = getattr(self, st.name.byref);
    return own(PyObject_VectorcallDict(byref, args.data(), args.size(), keywords));
}

constexpr FunctionDef VariablesView_array_byref_def{
    "array_byref", invoke<VariablesView_array_byref>, "(self, var_name, *args, **kwargs)",
    "Return a new TclArrayVariable on the array var_name of the namespace."};

// A view method (self, name, *more): the handle that byref() makes for `name`, then its method
// `Method` with the remaining arguments, the last of them passed by the keywords of the tuple
// `Keywords` when there is one.
template <const Ref Names::* Method, size_t N, const Ref Names::* Keywords = nullptr>
Ref view_delegate(const Call& c, Named<N> named) {
    const State& st = c.state<State>();
    Ref handle = call_method(named[0], st.name.byref, named[1]);
    PyObject* argv[N - 1] = {handle.get()};
    std::copy(named.begin() + 2, named.end(), argv + 1);
    PyObject* kwnames = nullptr;
    if constexpr (Keywords != nullptr) kwnames = st.name.*Keywords;
    size_t keywords = kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0;
    return own(PyObject_VectorcallMethod(st.name.*Method, argv, N - 1 - keywords, kwnames));
}

// Runs `body`; an exception of one of `types` becomes KeyError(exception), with the exception as
// its cause, as the item methods of a mapping report a key they cannot serve.
template <class F>
Ref as_key_error(std::initializer_list<PyObject*> types, F&& body) {
    try {
        return body();
    } catch (const PythonError&) {
        bool matches = false;
        for (PyObject* type : types)
            matches = matches || error_matches(type);
        if (!matches) throw;
        raise_from(PyExc_KeyError, fetch_error());
    }
}

// What get_str() reads: Tcl's string of the variable, from one evaluation of `set name`, so that
// the variable's read traces run once and see the interpreter as it is.
Ref read_string(const State& st, PyObject* tk, PyObject* name) {
    Ref script = scriptify(st, tuple(st.name.set, name).get());
    return answered(st, call_method(tk, st.name.eval, script.get()));
}

// view[name] calls self.get(name), which makes a handle with self.byref(name) only to call its
// get_str() (or get_obj() for objs) once. Where each of those is the method as this module made
// it, the read is made here as the handle would make it, without the handle. Any replacement, on
// the class, a subclass or the instance, is obeyed by taking the ordinary way.
enum class DirectRead { NONE, STRING, OBJECT };

// Whether obj.name is the function `original` of obj's class: the ordinary attribute lookup,
// and no instance attribute standing before it (a function is no data descriptor). Asked anew on
// every read, so a method replaced on the class, a base or the instance is seen by the next one.
bool has_original_method(PyObject* obj, PyObject* name, PyObject* original) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        !class_finds(reinterpret_cast<PyObject*>(type), name, original))
        return false;
    return !in_instance_dict(instance_dict_of(obj), name);
}

// The read view[name] makes: directly where the view's get and byref, and the handle's
// initialiser and read, are all as this module made them.
DirectRead direct_read(const State& st, PyObject* view) {
    if (!has_original_method(view, st.name.byref, st.VariablesView_byref) ||
        !class_finds(st.TclVariable, st.name.dunder_init, st.TclVariable_init))
        return DirectRead::NONE;
    if (has_original_method(view, st.name.get, st.VariablesView_get))
        return class_finds(st.TclVariable, st.name.get_str, st.TclVariable_get_str)
                   ? DirectRead::STRING
                   : DirectRead::NONE;
    if (has_original_method(view, st.name.get, st.ObjectsView_get))
        return class_finds(st.TclVariable, st.name.get_obj, st.TclVariable_get_obj)
                   ? DirectRead::OBJECT
                   : DirectRead::NONE;
    return DirectRead::NONE;
}

// view[name]: the variable's value, or the elements of an array as a dict (through the view's
// array_get), so that every name the view lists can be read.
Ref view_read_item(const State& st, PyObject* self, PyObject* name) {
    try {
        DirectRead read = direct_read(st, self);
        if (read == DirectRead::NONE) return call_method(self, st.name.get, name);
        Ref ns = getattr(self, st.name.ns);
        Ref qualified_name = join_two(st, ns, name);
        Ref tk = tk_of_host(st, host_of(st, ns));
        if (read == DirectRead::STRING) return read_string(st, tk, qualified_name);
        return call_method(tk, st.name.getvar, qualified_name.get());
    } catch (const PythonError&) {
        if (!error_matches(st.TclError)) throw;
        Ref error = fetch_error();
        bool array = while_handling(
            error, [&] { return is_true(call_method(self, st.name.is_array, name)); });
        if (!array) raise_exception(std::move(error));
        return call_method(self, st.name.array_get, name);
    }
}

Ref VariablesView_getitem(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, name] = named;
    return as_key_error({st.TclError, PyExc_ValueError},
                        [&] { return view_read_item(st, self, name); });
}

constexpr FunctionDef VariablesView_getitem_def{
    "__getitem__", invoke<VariablesView_getitem>, "(self, name)",
    "Return the variable's value as get() gives it, or an array's elements as\n"
    "array_get() gives them; KeyError when it cannot be read."};

// TclNamespace('name').<View>, the view as it is reached from its handle.
template <const Ref Names::* View>
Ref view_repr(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    Ref ns = getattr(named[0], st.name.ns);
    return own(PyUnicode_FromFormat("%R.%U", ns.get(), (st.name.*View).get()));
}

// An item method that is one call of another method of the view, self.<Method>(*args), returning
// its result, or None for an assignment.
template <const Ref Names::* Method, size_t N, bool Assignment = false>
Ref view_on_self(const Call& c, Named<N> named) {
    const State& st = c.state<State>();
    Ref result = own(PyObject_VectorcallMethod(st.name.*Method, named.data(), N, nullptr));
    return Assignment ? none() : result;
}

// del view[name]: `method` (unset or delete) of the name, a TclError reported as KeyError.
Ref view_delete_item(const Call& c, Named<2> named, PyObject* method) {
    const State& st = c.state<State>();
    auto [self, name] = named;
    as_key_error({st.TclError}, [&] { return call_method(self, method, name); });
    return none();
}

Ref VariablesView_delitem(const Call& c, Named<2> named) {
    return view_delete_item(c, named, c.state<State>().name.unset);
}

constexpr FunctionDef VariablesView_delitem_def{
    "__delitem__", invoke<VariablesView_delitem>, "(self, name)",
    "Unset the variable; KeyError when it does not exist."};

// The number of names that iterating the view yields. Where that is the view's own query, not
// yet asked, the names are counted in Tcl, so that len() (which list() and friends ask first)
// costs no Python objects.
Ref view_len(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref iterator = own(PyObject_GetIter(self));
    if (Py_TYPE(iterator.get()) == as_type(st.lazy_names)) {
        auto* names = reinterpret_cast<LazyNames*>(iterator.get());
        if (names->source == NameSource::VIEW_QUERY && !names->started() && !names->running) {
            Ref view = Ref::borrow(names->owner), query = Ref::borrow(names->query);
            return view_names(st, view, query, true);
        }
    }
    Py_ssize_t count = 0;
    while (Ref item = Ref::steal_maybe(PyIter_Next(iterator)))
        ++count;
    if (PyErr_Occurred()) raise_current();
    return own(PyLong_FromSsize_t(count));
}

// keys(): the view's names as a KeysView. The one collections.abc makes would reach the view's
// iterator through a generator, a cost on every name of a dict() snapshot.
Ref view_keys(const Call& c, Named<1> named) {
    return call(c.state<State>().view_keys, named[0]);
}

Ref KeysView_iter(const Call& c, Named<1> named) {
    Ref view = getattr(named[0], c.state<State>().name.mapping);
    return own(PyObject_GetIter(view));
}

constexpr const char* KeysView_doc =
    "The names of a namespace view, as its keys() gives them: a set-like KeysView that\n"
    "iterates with the view's own iterator.";

const FunctionDef KeysView_methods[] = {
    {"__iter__", invoke<KeysView_iter>, "(self)", "Iterate over the view's names."},
};

template <const Ref Names::* Query>
Ref view_iter(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return iterate_names(st, NameSource::VIEW_QUERY, named[0], st.name.*Query);
}

// `name` with the characters that Tcl's string match treats specially escaped in its last part.
// The qualifiers stay as they are: Tcl looks them up as written, not as a pattern.
Ref exact_pattern(Ref name) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    Py_ssize_t separator = PyUnicode_Find(name, from_utf8("::").get(), 0, length, -1);
    if (separator == -2) raise_current();
    Py_ssize_t tail = separator < 0 ? 0 : separator + 2;
    std::u32string text;
    text.reserve(size_t(length) + 4);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(name, i);
        if (i >= tail && (ch == '*' || ch == '?' || ch == '[' || ch == ']' || ch == '\\'))
            text.push_back('\\');
        text.push_back(ch);
    }
    if (Py_ssize_t(text.size()) == length) return name;
    return own(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), Py_ssize_t(text.size())));
}

// name in view: the view's exists() of the qualified name, written as a pattern that matches that
// name alone.
Ref CommandsView_contains(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, name] = named;
    Ref pattern = exact_pattern(qualified(st, self, name));
    return call_method(self, st.name.exists, pattern.get());
}

constexpr FunctionDef CommandsView_contains_def{
    "__contains__", invoke<CommandsView_contains>, "(self, name)",
    "Return True when the command of exactly this name exists."};

Ref CommandsView_byref(const Call& c, const Arguments<2>& a) {
    const State& st = c.state<State>();
    auto [self, cmd_name] = a.named;
    if (a.kwargs && check(PyDict_Contains(a.kwargs, st.name.tcl))) given_twice(c, "tcl");
    // A one-word tuple, so that the name is never split as a Tcl list.
    Ref ns = getattr(self, st.name.ns);
    Ref words = tuple(join_two(st, ns, cmd_name).get());
    return make_handle(st, st.TclCommand, words, host_of(st, ns), a.rest, a.rest_count, a.kwargs);
}

constexpr FunctionDef CommandsView_byref_def{
    "byref", invoke<CommandsView_byref>, "(self, cmd_name, *args, **kwargs)",
    "Return a new TclCommand on cmd_name in the namespace; other arguments go to its\n"
    "constructor."};

Ref CommandsView_rename(const Call& c, Named<3> named) {
    const State& st = c.state<State>();
    auto [self, cmd_name, new_name] = named;
    Ref target = qualified(st, self, new_name);
    return call_method(call_method(self, st.name.byref, cmd_name), st.name.rename, target.get());
}

constexpr FunctionDef CommandsView_rename_def{
    "rename", invoke<CommandsView_rename>, "(self, cmd_name, new_name)",
    "Rename the command; a relative new name is placed in the namespace too."};

Ref CommandsView_delitem(const Call& c, Named<2> named) {
    return view_delete_item(c, named, c.state<State>().name.delete_);
}

constexpr FunctionDef CommandsView_delitem_def{
    "__delitem__", invoke<CommandsView_delitem>, "(self, name)",
    "Delete the command; KeyError when it does not exist."};

constexpr const char* VariablesView_doc =
    "The variables of a namespace as a mapping of names to values as strings.\n\n"
    "view[name] reads a variable (KeyError, caused by the TclError or ValueError, when it\n"
    "cannot), view[name] = value sets it, del view[name] unsets it; iteration and len()\n"
    "ask 'info vars' in the namespace each time. A name starting with '::' is used as it\n"
    "is. get() takes exactly one name and raises TclError for a missing variable.";

const FunctionDef VariablesView_methods[] = {
    {"__init__", invoke<view_init<&State::variables_view>>, "(self, ns)",
     "View the variables of the namespace handle ns."},
    VariablesView_byref_def,
    VariablesView_array_byref_def,
    {"get", invoke<view_delegate<&Names::get_str, 2>>, "(self, var_name)",
     "Return the variable's value as a string."},
    {"set", invoke<view_delegate<&Names::set, 4, &Names::kw_array_index>>,
     "(self, var_name, value, array_index=None)",
     "Set the variable (or its element array_index) to value."},
    {"unset", invoke<view_delegate<&Names::unset, 4, &Names::kw_index_nocomplain>>,
     "(self, var_name, array_index=None, nocomplain=False)",
     "Unset the variable (or its element array_index)."},
    {"array_get", invoke<view_delegate<&Names::array_get_str, 3, &Names::kw_pattern>>,
     "(self, var_name, pattern=None)",
     "Return the array's elements (those matching pattern) as a dict of strings."},
    {"array_set", invoke<view_delegate<&Names::array_set, 3>>, "(self, var_name, value)",
     "Set elements of the array var_name from a mapping."},
    {"array_unset", invoke<view_delegate<&Names::array_unset, 3, &Names::kw_pattern>>,
     "(self, var_name, pattern=None)", "Unset the elements matching pattern, or the whole array."},
    {"array_names", invoke<view_delegate<&Names::array_names, 3, &Names::kw_pattern>>,
     "(self, var_name, pattern=None)",
     "Return the names of the array's elements (those matching pattern)."},
    {"is_array", invoke<view_delegate<&Names::is_array, 2>>, "(self, var_name)",
     "Return True when the variable is an array."},
    {"exists", invoke<view_delegate<&Names::exists, 3, &Names::kw_array_index>>,
     "(self, var_name, array_index=None)",
     "Return True when the variable (or its element array_index) exists."},
    VariablesView_getitem_def,
    {"__contains__", invoke<view_on_self<&Names::exists, 2>>, "(self, name)",
     "Return True when the variable exists."},
    {"__setitem__", invoke<view_on_self<&Names::set, 3, true>>, "(self, name, value)",
     "Set the variable."},
    VariablesView_delitem_def,
    {"__len__", invoke<view_len>, "(self)", "Return the number of names 'info vars' lists."},
    {"__iter__", invoke<view_iter<&Names::q_info_vars>>, "(self)",
     "Iterate over the names 'info vars' lists in the namespace, asked on the first step."},
    {"keys", invoke<view_keys>, "(self)", "Return the names as a set-like KeysView."},
    {"__repr__", invoke<view_repr<&Names::vars>>, "(self)", "Return TclNamespace('name').vars."},
};

constexpr const char* ObjectsView_doc =
    "The variables of a namespace as a mapping of names to the interpreter's objects.";

const FunctionDef ObjectsView_methods[] = {
    {"get", invoke<view_delegate<&Names::get_obj, 3, &Names::kw_array_index>>,
     "(self, var_name, array_index=None)",
     "Return the variable's (or element's) value as the interpreter's object."},
    {"array_get", invoke<view_delegate<&Names::array_get_obj, 3, &Names::kw_pattern>>,
     "(self, var_name, pattern=None)",
     "Return the array's elements (those matching pattern) as a dict, read by a call."},
    {"__repr__", invoke<view_repr<&Names::objs>>, "(self)", "Return TclNamespace('name').objs."},
};

constexpr const char* CommandsView_doc =
    "The commands of a namespace as a mapping of names to TclCommand handles.\n\n"
    "view[name] is a new handle for any name, existing or not; view[name] = func registers\n"
    "a Python callable; del view[name] deletes the command (KeyError, caused by the\n"
    "TclError, when it does not exist); iteration and len() ask 'info commands'.";

const FunctionDef CommandsView_methods[] = {
    {"__init__", invoke<view_init<&State::commands_view>>, "(self, ns)",
     "View the commands of the namespace handle ns."},
    CommandsView_byref_def,
    {"exists", invoke<view_delegate<&Names::exists, 2>>, "(self, cmd_name)",
     "Return True when the command exists."},
    {"createcommand", invoke<view_delegate<&Names::createcommand, 3>>, "(self, cmd_name, func)",
     "Register the Python callable func as the command cmd_name."},
    {"delete", invoke<view_delegate<&Names::delete_, 2>>, "(self, cmd_name)",
     "Delete the command."},
    CommandsView_rename_def,
    {"origin", invoke<view_delegate<&Names::origin, 2>>, "(self, cmd_name)",
     "Return the fully qualified name of the original command."},
    {"proc_body", invoke<view_delegate<&Names::proc_body, 2>>, "(self, cmd_name)",
     "Return the body of the proc."},
    {"proc_args", invoke<view_delegate<&Names::proc_args, 2>>, "(self, cmd_name)",
     "Return the argument names of the proc."},
    {"proc_arg_default", invoke<view_delegate<&Names::proc_arg_default, 3>>,
     "(self, cmd_name, arg_name)",
     "Return the default of the proc's argument arg_name, or None when it has none."},
    {"__getitem__", invoke<view_on_self<&Names::byref, 2>>, "(self, name)",
     "Return a handle on the command."},
    CommandsView_contains_def,
    {"__setitem__", invoke<view_on_self<&Names::createcommand, 3, true>>, "(self, name, value)",
     "Register the callable value as the command."},
    CommandsView_delitem_def,
    {"__len__", invoke<view_len>, "(self)", "Return the number of names 'info commands' lists."},
    {"__iter__", invoke<view_iter<&Names::q_info_commands>>, "(self)",
     "Iterate over the names 'info commands' lists in the namespace."},
    {"keys", invoke<view_keys>, "(self)", "Return the names as a set-like KeysView."},
    {"__repr__", invoke<view_repr<&Names::cmds>>, "(self)", "Return TclNamespace('name').cmds."},
};

constexpr const char* ProcsView_doc =
    "The procs of a namespace: a CommandsView whose membership, iteration and len() count\n"
    "procs only.";

const FunctionDef ProcsView_methods[] = {
    {"exists", invoke<view_delegate<&Names::is_proc, 2>>, "(self, cmd_name)",
     "Return True when cmd_name is a proc."},
    {"__iter__", invoke<view_iter<&Names::q_info_procs>>, "(self)",
     "Iterate over the names 'info procs' lists in the namespace."},
    {"__repr__", invoke<view_repr<&Names::procs>>, "(self)", "Return TclNamespace('name').procs."},
};

}  // namespace
}  // namespace tarvik
