// Part of the namespace module, included by namespace.cpp (one compilation unit): TclVariable (a
// scalar, an array or one element of an array) and TclArrayVariable (a whole array as a mutable
// mapping).

namespace tarvik {
namespace {

Ref element_name(const State& st, PyObject* name, PyObject* index) {
    return own(PyUnicode_FromFormat("%S(%S)", name, scriptify(st, index).get()));
}

// The handle's name, or that of its element `index` when it is not None.
Ref addressed_name(const State& st, PyObject* self, PyObject* index) {
    Ref name = getattr(self, st.name.var_name);
    return index == Py_None ? name : element_name(st, name, index);
}

// An index for reading: a string travels as it is; anything else is converted as for writing, so
// every element that can be written can be read back.
Ref index_for_reading(const State& st, PyObject* index) {
    return PyUnicode_Check(index) ? Ref::borrow(index) : scriptify(st, index);
}

Ref TclVariable_init(const Call& c, Named<5> named) {
    const State& st = c.state<State>();
    auto [self, var_name, array_index, tcl, cast] = named;
    setattr(self, st.name.tcl, host_proxy(st, tcl));
    setattr(self, st.name.cast, cast);
    Ref name = scriptify(st, var_name);
    setattr(self, st.name.var_name,
            array_index == Py_None ? name : element_name(st, name, array_index));
    return none();
}

constexpr FunctionDef TclVariable_init_def{
    "__init__", invoke<TclVariable_init>, "(self, var_name, array_index=None, tcl=None, cast=None)",
    "Name the variable (or its element array_index) of the interpreter tcl."};

Ref TclVariable_get_obj(const Call& c, Deferred<3> parse) {
    const State& st = c.state<State>();
    PyObject *self, *index = Py_None, *cast = nullptr;
    if (c.exactly(1)) {
        self = c.args[0];
    } else {
        auto a = parse(c);
        self = a.named[0], index = a.named[1], cast = a.named[2];
    }
    Ref tk = tk_of(st, self);
    Ref name = getattr(self, st.name.var_name);
    Ref result = index == Py_None ? call_method(tk, st.name.getvar, name.get())
                                  : call_method(tk, st.name.getvar, name.get(),
                                                index_for_reading(st, index).get());
    Ref caster = !cast || cast == st.marker ? getattr(self, st.name.cast) : Ref::borrow(cast);
    return is_true(caster) ? call(caster, result.get()) : result;
}

constexpr FunctionDef TclVariable_get_obj_def{
    "get_obj", invoke<TclVariable_get_obj>, "(self, array_index=None, cast=...)",
    "Return the value as the interpreter's object, or that of element array_index.\n\n"
    "cast left out (shown as ...) applies the handle's own cast, the one it was made with\n"
    "(none when that is None); cast=None reads the raw value; another callable is applied\n"
    "instead. TclError when the variable does not exist. get and get_obj are the same\n"
    "method (TclVariable.get is TclVariable.get_obj)."};

Ref TclVariable_get_str(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, index] = named;
    Ref words = tuple(st.name.set, addressed_name(st, self, index));
    return answered(st, call_method(tk_of(st, self), st.name.eval, scriptify(st, words).get()));
}

constexpr FunctionDef TclVariable_get_str_def{
    "get_str", invoke<TclVariable_get_str>, "(self, array_index=None)",
    "Return the value (or that of element array_index) as the interpreter's string."};

Ref TclVariable_set(const Call& c, Deferred<3> parse) {
    const State& st = c.state<State>();
    PyObject *self, *value, *index = Py_None;
    if (c.exactly(2)) {
        self = c.args[0], value = c.args[1];
    } else {
        auto a = parse(c);
        self = a.named[0], value = a.named[1], index = a.named[2];
    }
    Ref tk = tk_of(st, self);
    Ref name = getattr(self, st.name.var_name);
    Ref converted = tclobj(st, value);
    if (index == Py_None) {
        Ref safe = tcl::safe_for_tk(converted.get(), st.convert.Tcl_Obj);
        return call_method(tk, st.name.setvar, name.get(), safe.get());
    }
    Ref element = scriptify(st, index);
    Ref safe = tcl::safe_element_value_for_tk(converted.get(), st.convert.Tcl_Obj);
    return call_method(tk, st.name.setvar, name.get(), element.get(), safe.get());
}

constexpr FunctionDef TclVariable_set_def{
    "set", invoke<TclVariable_set>, "(self, value, array_index=None)",
    "Set the variable (or its element array_index) to value, converted by tclobj()."};

Ref TclVariable_unset(const Call& c, Named<3> named) {
    const State& st = c.state<State>();
    auto [self, index, nocomplain] = named;
    auto unset = [&] {
        Ref tk = tk_of(st, self);
        Ref name = getattr(self, st.name.var_name);
        if (index == Py_None) return call_method(tk, st.name.unsetvar, name.get());
        return call_method(tk, st.name.unsetvar, name.get(), scriptify(st, index).get());
    };
    // Quietly, the answer is waited for inside a pipeline block too: a failure there would
    // otherwise stop the block's later calls.
    if (is_true(nocomplain)) {
        ignoring(st.TclError, [&] { answered(st, unset()); });
        return none();
    }
    return write_result(st, unset());
}

constexpr FunctionDef TclVariable_unset_def{
    "unset", invoke<TclVariable_unset>, "(self, array_index=None, nocomplain=False)",
    "Unset the variable (or its element array_index).\n\n"
    "A missing variable raises TclError unless nocomplain is true."};

Ref TclVariable_exists(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, index] = named;
    Ref words = tuple(st.name.w_info, st.name.exists, addressed_name(st, self, index));
    return host_cast(st, self, st.name.cast_boolean, tk_call(st, self, words));
}

constexpr FunctionDef TclVariable_exists_def{
    "exists", invoke<TclVariable_exists>, "(self, array_index=None)",
    "Return True when the variable (or its element array_index) exists."};

Ref TclVariable_array_item_byref(const Call& c, Named<3> named) {
    const State& st = c.state<State>();
    auto [self, index, cast] = named;
    return call_kw(st.TclVariable, st.name.kw_index_tcl_cast, self, index, host_of(st, self).get(),
                   cast);
}

constexpr FunctionDef TclVariable_array_item_byref_def{
    "array_item_byref", invoke<TclVariable_array_item_byref>, "(self, array_index, cast=None)",
    "Return a new TclVariable on element array_index of this array, with the given cast."};

// ("::array", subcommand, name), with the pattern as a fourth word unless it is None.
Ref array_words(const State& st, PyObject* self, PyObject* subcommand, PyObject* pattern) {
    Ref name = getattr(self, st.name.var_name);
    if (pattern == nullptr || pattern == Py_None)
        return tuple(st.name.w_array, subcommand, name.get());
    return tuple(st.name.w_array, subcommand, name.get(), scriptify(st, pattern).get());
}

Ref TclVariable_array_get_obj(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, pattern] = named;
    Ref result = tk_call(st, self, array_words(st, self, st.name.get, pattern));
    return host_cast(st, self, st.name.cast_array, result);
}

constexpr FunctionDef TclVariable_array_get_obj_def{
    "array_get_obj", invoke<TclVariable_array_get_obj>, "(self, pattern=None)",
    "Return the array's elements (those matching pattern) as a dict, read by a call.\n\n"
    "array_get and array_get_obj are the same method (TclVariable.array_get is\n"
    "TclVariable.array_get_obj)."};

Ref TclVariable_array_get_str(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, pattern] = named;
    Ref script = scriptify(st, array_words(st, self, st.name.get, pattern));
    Ref result = call_method(tk_of(st, self), st.name.eval, script.get());
    return host_cast(st, self, st.name.cast_array, result);
}

constexpr FunctionDef TclVariable_array_get_str_def{
    "array_get_str", invoke<TclVariable_array_get_str>, "(self, pattern=None)",
    "Return the array's elements (those matching pattern) as a dict, read by a script."};

Ref TclVariable_array_set(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, value] = named;
    Ref name = getattr(self, st.name.var_name);
    Ref words = tuple(st.name.w_array, st.name.set, name.get(), tclobj(st, value).get());
    return write_result(st, tk_call(st, self, words));
}

constexpr FunctionDef TclVariable_array_set_def{
    "array_set", invoke<TclVariable_array_set>, "(self, value)",
    "Set elements of the array from a mapping or a flat sequence of names and values."};

Ref TclVariable_array_unset(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, pattern] = named;
    return write_result(st, tk_call(st, self, array_words(st, self, st.name.unset, pattern)));
}

constexpr FunctionDef TclVariable_array_unset_def{
    "array_unset", invoke<TclVariable_array_unset>, "(self, pattern=None)",
    "Unset the elements matching pattern, or the whole array when pattern is None."};

Ref TclVariable_array_size(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    return answered(st, tk_call(st, self, array_words(st, self, st.name.size, nullptr)));
}

constexpr FunctionDef TclVariable_array_size_def{
    "array_size", invoke<TclVariable_array_size>, "(self)",
    "Return the number of elements of the array (0 when it does not exist)."};

Ref TclVariable_array_names(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, pattern] = named;
    Ref result = tk_call(st, self, array_words(st, self, st.name.names, pattern));
    return host_cast(st, self, st.name.cast_list, result);
}

constexpr FunctionDef TclVariable_array_names_def{
    "array_names", invoke<TclVariable_array_names>, "(self, pattern=None)",
    "Return the names of the array's elements (those matching pattern)."};

Ref TclVariable_is_array(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref result = tk_call(st, self, array_words(st, self, st.name.exists, nullptr));
    return host_cast(st, self, st.name.cast_boolean, result);
}

constexpr FunctionDef TclVariable_is_array_def{"is_array", invoke<TclVariable_is_array>, "(self)",
                                               "Return True when the variable is an array."};

Ref TclVariable_str(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return getattr(named[0], st.name.var_name);
}

constexpr FunctionDef TclVariable_str_def{"__str__", invoke<TclVariable_str>, "(self)",
                                          "Return the variable's name."};

Ref TclVariable_tclobj(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return scriptify(st, getattr(named[0], st.name.var_name));
}

constexpr FunctionDef TclVariable_tclobj_def{
    "__tclobj__", invoke<TclVariable_tclobj>, "(self)",
    "Return the variable's name: passed to a command, a handle stands for its variable."};

Ref TclVariable_repr(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref name = getattr(self, st.name.var_name);
    return own(PyUnicode_FromFormat("%U(%R)", class_name(self).get(), name.get()));
}

constexpr FunctionDef TclVariable_repr_def{"__repr__", invoke<TclVariable_repr>, "(self)",
                                           "Return ClassName('name')."};

constexpr const char* TclVariable_doc =
    "A handle on a Tcl variable: a scalar, an array, or one element of an array.\n\n"
    "TclVariable(var_name, array_index=None, tcl=None, cast=None) names the variable\n"
    "var_name, or its element array_index, in the interpreter tcl (the package's default\n"
    "interpreter when none is given), held only through a weak proxy. cast is the handle's\n"
    "own cast: a callable such as int, float or the host's cast_list that get_obj() (and\n"
    "so get() and a[key]) applies to what it reads, unless a call gives its own; None reads\n"
    "the interpreter's value as it is. Making a handle sends nothing to Tcl.";

const FunctionDef TclVariable_methods[] = {
    TclVariable_init_def,
    TclVariable_get_obj_def,
    alias("get", "get_obj"),
    TclVariable_get_str_def,
    TclVariable_set_def,
    TclVariable_unset_def,
    TclVariable_exists_def,
    TclVariable_array_item_byref_def,
    TclVariable_array_get_obj_def,
    TclVariable_array_get_str_def,
    alias("array_get", "array_get_obj"),
    TclVariable_array_set_def,
    TclVariable_array_unset_def,
    TclVariable_array_size_def,
    TclVariable_array_names_def,
    TclVariable_is_array_def,
    {"absolute", invoke<handle_absolute<&Names::var_name>>, "(self)",
     "Return the variable's name, qualified by the current namespace when relative."},
    {"make_absolute", invoke<handle_make_absolute<&Names::var_name>>, "(self)",
     "Replace the handle's name by its absolute form."},
    TclVariable_str_def,
    TclVariable_tclobj_def,
    TclVariable_repr_def,
};

// TclArrayVariable: the mapping operations, each one call of a TclVariable method

Ref TclArrayVariable_init(const Call& c, Named<4> named) {
    const State& st = c.state<State>();
    auto [self, var_name, tcl, cast] = named;
    Ref init = super_attr(st.TclArrayVariable, self, st.name.dunder_init);
    call_kw(init, st.name.kw_tcl_cast, var_name, tcl, cast);
    return none();
}

constexpr FunctionDef TclArrayVariable_init_def{"__init__", invoke<TclArrayVariable_init>,
                                                "(self, var_name, tcl=None, cast=None)",
                                                "Name the array var_name of the interpreter tcl."};

Ref TclArrayVariable_len(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return call_method(named[0], st.name.array_size);
}

constexpr FunctionDef TclArrayVariable_len_def{"__len__", invoke<TclArrayVariable_len>, "(self)",
                                               "Return array_size()."};

Ref TclArrayVariable_iter(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return iterate_names(st, NameSource::ARRAY_ELEMENTS, named[0], nullptr);
}

constexpr FunctionDef TclArrayVariable_iter_def{
    "__iter__", invoke<TclArrayVariable_iter>, "(self)",
    "Iterate over the element names, fetched when iteration starts."};

Ref TclArrayVariable_contains(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, key] = named;
    return call_method_kw(self, st.name.exists, st.name.kw_array_index, key);
}

constexpr FunctionDef TclArrayVariable_contains_def{
    "__contains__", invoke<TclArrayVariable_contains>, "(self, key)",
    "Return True when element key exists."};

Ref TclArrayVariable_getitem(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, key] = named;
    return call_method_kw(self, st.name.get, st.name.kw_array_index, key);
}

constexpr FunctionDef TclArrayVariable_getitem_def{"__getitem__", invoke<TclArrayVariable_getitem>,
                                                   "(self, key)",
                                                   "Return element key, cast by the handle."};

Ref TclArrayVariable_setitem(const Call& c, Named<3> named) {
    const State& st = c.state<State>();
    auto [self, key, value] = named;
    call_method_kw(self, st.name.set, st.name.kw_array_index, value, key);
    return none();
}

constexpr FunctionDef TclArrayVariable_setitem_def{"__setitem__", invoke<TclArrayVariable_setitem>,
                                                   "(self, key, value)",
                                                   "Set element key to value."};

Ref TclArrayVariable_delitem(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, key] = named;
    call_method_kw(self, st.name.unset, st.name.kw_array_index, key);
    return none();
}

constexpr FunctionDef TclArrayVariable_delitem_def{"__delitem__", invoke<TclArrayVariable_delitem>,
                                                   "(self, key)",
                                                   "Unset element key (TclError if missing)."};

Ref TclArrayVariable_clear(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    call_method(named[0], st.name.array_unset);
    return none();
}

constexpr FunctionDef TclArrayVariable_clear_def{"clear", invoke<TclArrayVariable_clear>, "(self)",
                                                 "Unset the whole array."};

// One "::array set" for all the pairs, gathered as dict(*args, **kwargs) gathers them.
Ref TclArrayVariable_update(const Call& c, const Arguments<1>& a) {
    const State& st = c.state<State>();
    Ref pairs = own(PyObject_VectorcallDict(reinterpret_cast<PyObject*>(&PyDict_Type), a.rest,
                                            size_t(a.rest_count), a.kwargs.get()));
    call_method(a.named[0], st.name.array_set, pairs.get());
    return none();
}

constexpr FunctionDef TclArrayVariable_update_def{
    "update", invoke<TclArrayVariable_update>, "(self, *args, **kwargs)",
    "Set the elements of dict(*args, **kwargs) with one 'array set'."};

constexpr const char* TclArrayVariable_doc =
    "A TclVariable on a whole array that is also a mutable mapping of element names to\n"
    "values: a[key] reads an element with the handle's cast, a[key] = value sets it, del\n"
    "a[key] unsets it (a missing element raises TclError), len() and iteration ask Tcl\n"
    "each time. get() is TclVariable.get: its arguments are the index and the cast.";

const FunctionDef TclArrayVariable_methods[] = {
    TclArrayVariable_init_def,     TclArrayVariable_len_def,     TclArrayVariable_iter_def,
    TclArrayVariable_contains_def, TclArrayVariable_getitem_def, TclArrayVariable_setitem_def,
    TclArrayVariable_delitem_def,  TclArrayVariable_clear_def,   TclArrayVariable_update_def,
};

}  // namespace
}  // namespace tarvik
