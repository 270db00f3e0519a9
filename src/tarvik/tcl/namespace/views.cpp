// Part of the namespace module, included by namespace.cpp (one compilation unit): the mapping views
// of a namespace's variables, commands and procs. Each operation makes a handle with the view's
// byref() and calls one of its methods; nothing is cached.

namespace tarvik {
namespace {

template <PyObject* State::* View>
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
template <PyObject* const Names::* Method, size_t N, PyObject* const Names::* Keywords = nullptr>
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

// True when the class `cls` itself finds `original` under the attribute.
bool is_original_in_class(ClassAttribute& attribute, PyObject* cls, PyObject* original) {
    bool cacheable;
    PyObject* found = attribute.of(reinterpret_cast<PyTypeObject*>(cls), cacheable);
    return cacheable && found == original;
}

// tk.getvar(name) read with wantobjects off, so that _tkinter gives the value's Tcl string whatever
// Tcl holds it as, in one read (reading again to convert would run the variable's read traces
// twice). A tk without wantobjects reads as get_str() does.
Ref read_string(const State& st, PyObject* tk, PyObject* name) {
    Ref wantobjects = st.tk_wantobjects.method_of(tk);
    if (!wantobjects && !getattr_optional(tk, st.name.wantobjects)) {
        Ref script = scriptify(st, tuple(st.name.set, name).get());
        return answered(st, call_method(tk, st.name.eval, script.get()));
    }
    auto set_wantobjects = [&](Borrowed args) {
        return st.tk_wantobjects.call_with_tuple(wantobjects, tk, args);
    };
    Ref previous = set_wantobjects(st.name.no_arguments);
    bool toggled = is_true(previous);
    if (!toggled) return plain_string(st, st.tk_getvar(tk, name));
    set_wantobjects(st.name.false_argument);
    Ref restore = previous.get() == PyTuple_GET_ITEM(st.name.one_argument, 0)
                      ? Ref::borrow(st.name.one_argument)
                      : tuple(previous.get());
    Ref value;
    try {
        value = st.tk_getvar(tk, name);
    } catch (const PythonError&) {
        Ref error = fetch_error();
        set_wantobjects(restore);
        raise_exception(std::move(error));
    }
    set_wantobjects(restore);
    return plain_string(st, std::move(value));
}

// The direct read that view[name] may make instead of self.get(name): a string read for a
// VariablesView get, a raw getvar for an ObjectsView get, none when the view's get or byref or
// the handle's read is replaced (a subclass, an instance attribute, a patched class).
enum class DirectRead { NONE, STRING, OBJECT };

DirectRead class_direct_read(const State& st, PyTypeObject* type) {
    bool get_cacheable, byref_cacheable;
    PyObject* get = st.view_get.of(type, get_cacheable);
    PyObject* byref = st.view_byref.of(type, byref_cacheable);
    bool strings = get == st.VariablesView_get;
    if (!get_cacheable || !byref_cacheable || byref != st.VariablesView_byref ||
        (!strings && get != st.ObjectsView_get))
        return DirectRead::NONE;
    if (strings)
        return is_original_in_class(st.variable_get_str, st.TclVariable, st.TclVariable_get_str)
                   ? DirectRead::STRING
                   : DirectRead::NONE;
    return is_original_in_class(st.variable_get_obj, st.TclVariable, st.TclVariable_get_obj)
               ? DirectRead::OBJECT
               : DirectRead::NONE;
}

// The read view[name] makes, and the view's namespace handle when it is a direct read.
DirectRead direct_read(const State& st, PyObject* view, Ref& ns) {
    DirectRead read = class_direct_read(st, Py_TYPE(view));
    if (read == DirectRead::NONE) return read;
    Ref dict = instance_dict(view);
    bool ns_from_dict;
    ns = st.view_ns.get(view, dict, ns_from_dict);
    // The originals are no data descriptors, so an instance attribute would stand before them.
    // A view's instance __dict__ normally holds its handle alone, and then neither of them.
    if (!dict || (ns_from_dict && PyDict_GET_SIZE(dict.get()) == 1)) return read;
    for (PyObject* name : {st.view_get.name(), st.view_byref.name()})
        if (check(PyDict_Contains(dict, name))) return DirectRead::NONE;
    return read;
}

// Whether the str `ns_name` is a namespace name in normal form; the last one found so is
// remembered, as a view reads one namespace's variables many times over.
bool is_normal_namespace_name(const State& st, PyObject* ns_name) {
    if (st.normal_namespace_name.is(ns_name)) return true;
    if (tcl::normalize_name(ns_name).get() != ns_name) return false;
    st.normal_namespace_name.remember(ns_name);
    return true;
}

// join_two(ns, name) for an item read. The common case, a plain name in a namespace whose name
// is already in normal form, needs no normalising: the two are put together as they are.
Ref item_name(const State& st, PyObject* ns, PyObject* name) {
    if (Py_TYPE(ns) != reinterpret_cast<PyTypeObject*>(st.TclNamespace) ||
        !PyUnicode_CheckExact(name) || PyUnicode_GET_LENGTH(name) == 0)
        return join_two(st, ns, name);
    Ref ns_name = st.namespace_name.get(ns);
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    Py_ssize_t colon = PyUnicode_FindChar(name, ':', 0, length, 1);
    if (colon == -2) raise_current();
    if (colon != -1 || !PyUnicode_CheckExact(ns_name) || PyUnicode_GET_LENGTH(ns_name) == 0 ||
        !is_normal_namespace_name(st, ns_name))
        return join_two(st, ns_name, name);
    if (PyObject* known = st.item_name_memo.find(ns_name, name)) return Ref::borrow(known);
    StrBuilder joined(PyUnicode_GET_LENGTH(ns_name) + 2 + length,
                      std::max(max_char_bound(ns_name), max_char_bound(name)));
    joined.append(ns_name);
    joined.put(':');
    joined.put(':');
    joined.append(name);
    Ref result = joined.finish();
    st.item_name_memo.remember(ns_name, name, result);
    return result;
}

// view[name]: the variable's value, or the elements of an array as a dict (through the view's
// array_get), so that every name the view lists can be read. Where the view's get would make a
// handle for the one read and call it, the value is read directly as that handle reads it.
Ref view_read_item(const State& st, PyObject* self, PyObject* name) {
    try {
        Ref ns;
        DirectRead read = direct_read(st, self, ns);
        if (read == DirectRead::NONE) return call_method(self, st.name.get, name);
        Ref qualified_name = item_name(st, ns, name);
        Ref tk = tk_of_host(st, st.namespace_host.get(ns));
        if (read == DirectRead::STRING) return read_string(st, tk, qualified_name);
        return st.tk_getvar(tk, qualified_name.get());
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
template <PyObject* const Names::* View>
Ref view_repr(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    Ref ns = getattr(named[0], st.name.ns);
    return own(PyUnicode_FromFormat("%R.%U", ns.get(), st.name.*View));
}

// An item method that is one call of another method of the view, self.<Method>(*args), returning
// its result, or None for an assignment.
template <PyObject* const Names::* Method, size_t N, bool Assignment = false>
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

// The number of names that iterating the view yields. For the view's own query the names are
// counted in Tcl, so that len() (which list() and friends ask first) costs no Python objects.
Ref view_len(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref iterator = own(PyObject_GetIter(self));
    if (Py_TYPE(iterator.get()) == st.lazy_names) {
        auto* names = reinterpret_cast<LazyNames*>(iterator.get());
        if (names->source == NameSource::VIEW_QUERY)
            return view_names(st, names->owner, names->query, true);
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

template <PyObject* const Names::* Query>
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
