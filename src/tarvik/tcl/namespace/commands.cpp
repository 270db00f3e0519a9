// Part of the namespace module, included by namespace.cpp (one compilation unit): TclCommand, a
// handle on a Tcl command: its name, leading arguments and preset options.

namespace tarvik {
namespace {

Ref first_word(PyObject* words) {
    return own(PySequence_GetItem(words, 0));
}
Ref later_words(PyObject* words) {
    return own(PySequence_GetSlice(words, 1, PY_SSIZE_T_MAX));
}

// The preset options: a new dict of each option's value in tclobj form, in the given order.
Ref preset_options(const State& st, PyObject* keywords) {
    Ref options = new_dict();
    if (keywords == Py_None || !is_true(keywords)) return options;
    Ref items = own(PyObject_GetIter(call_method(keywords, st.name.items).get()));
    while (Ref item = Ref::steal_maybe(PyIter_Next(items))) {
        Ref key = first_word(item);
        Ref value = own(PySequence_GetItem(item, 1));
        set_item(options, key, tclobj(st, value));
    }
    if (PyErr_Occurred()) raise_current();
    return options;
}

Ref TclCommand_init(const Call& c, Named<7> named) {
    const State& st = c.state<State>();
    auto [self, cmd, args, keywords, tcl, cast, logger] = named;
    call_super_init(st.TclCommand, self, st.name.dunder_init);
    Ref package = import_cached(st.name.package_name);
    setattr(self, st.name.tcl, host_proxy(st, tcl));
    bool is_handle = check(PyObject_IsInstance(cmd, st.TclCommand)) != 0;
    Ref name, leading;
    if (args == Py_None) {
        Ref words = is_handle                 ? call_method(cmd, st.name.build_tclcmd)
                    : PyTuple_CheckExact(cmd) ? Ref::borrow(cmd)
                                              : call(getattr(package, st.name.cast_list), cmd);
        name = first_word(words);
        leading = later_words(words);
    } else {
        Ref split = call(getattr(package, st.name.cast_list), args);
        if (is_handle) {
            Ref build = getattr(cmd, st.name.build_tclcmd);
            Ref words = own(PyObject_Call(build, own(PySequence_Tuple(split)).get(), nullptr));
            name = first_word(words);
            leading = later_words(words);
        } else {
            name = Ref::borrow(cmd);
            leading = split;
        }
    }
    setattr(self, st.name.cmd_name, scriptify(st, name));
    setattr(self, st.name.args, tclobj(st, leading.get()));
    setattr(self, st.name.keywords, preset_options(st, keywords));
    setattr(self, st.name.cast, cast);
    setattr(self, st.name.logger, logger);
    return none();
}

constexpr FunctionDef TclCommand_init_def{
    "__init__", invoke<TclCommand_init>,
    "(self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)",
    "Hold the command cmd of the interpreter tcl."};

void append_dashed(const State& st, std::vector<Ref>& words, PyObject* options) {
    PyObject *key, *value;
    for (Py_ssize_t pos = 0; PyDict_Next(options, &pos, &key, &value);) {
        words.push_back(own(PyUnicode_Concat(st.name.dash, key)));
        words.push_back(Ref::borrow(value));
    }
}

// The options of one invocation: the presets, with this call's options replacing or following
// them.
Ref invocation_options(const State& st, PyObject* self, PyObject* kwargs) {
    Ref presets = getattr(self, st.name.keywords);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return presets;
    Ref options = PyDict_Check(presets) ? own(PyDict_Copy(presets))
                                        : call(reinterpret_cast<PyObject*>(&PyDict_Type), presets);
    PyObject *key, *value;
    for (Py_ssize_t pos = 0; PyDict_Next(kwargs, &pos, &key, &value);)
        set_item(options, key, tclobj(st, value));
    return options;
}

// kwargs_to_dashed_args is looked up through the instance so that a subclass may replace it.
void append_options(const State& st, std::vector<Ref>& words, PyObject* self, Borrowed options) {
    Ref dashed = getattr(self, st.name.kwargs_to_dashed_args);
    if (dashed.get() == st.dashed_args && PyDict_Check(options)) {
        append_dashed(st, words, options);
        return;
    }
    Ref mapping = PyDict_Check(options) ? Ref::borrow(options)
                                        : call(reinterpret_cast<PyObject*>(&PyDict_Type), options);
    Ref pairs = own(PyObject_VectorcallDict(dashed, nullptr, 0, mapping));
    if (!PyTuple_Check(pairs))
        raise_format(PyExc_TypeError, "can only concatenate tuple (not \"%.200s\") to tuple",
                     Py_TYPE(pairs.get())->tp_name);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(pairs.get()); ++i)
        words.push_back(Ref::borrow(PyTuple_GET_ITEM(pairs.get(), i)));
}

Ref TclCommand_build_tclcmd(const Call& c, Deferred<1> parse) {
    const State& st = c.state<State>();
    PyObject* self;
    PyObject* const* positional;
    Py_ssize_t count;
    Ref kwargs;
    if (c.keyword_count() == 0 && c.nargs > 0) {
        self = c.args[0], positional = c.args + 1, count = c.nargs - 1;
    } else {
        auto a = parse(c);
        self = a.named[0], positional = a.rest, count = a.rest_count, kwargs = a.kwargs;
    }
    Ref name = getattr(self, st.name.cmd_name);
    Ref leading = getattr(self, st.name.args);
    if (!PyTuple_Check(leading))
        raise_format(PyExc_TypeError, "can only concatenate tuple (not \"%.200s\") to tuple",
                     Py_TYPE(leading.get())->tp_name);
    std::vector<Ref> words;
    words.reserve(size_t(1 + PyTuple_GET_SIZE(leading.get()) + count) + 4);
    words.push_back(name);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(leading.get()); ++i)
        words.push_back(Ref::borrow(PyTuple_GET_ITEM(leading.get(), i)));
    for (Py_ssize_t i = 0; i < count; ++i)
        words.push_back(tclobj(st, positional[i]));
    append_options(st, words, self, invocation_options(st, self, kwargs));
    return tuple_taking(words);
}

constexpr FunctionDef TclCommand_build_tclcmd_def{
    "build_tclcmd", invoke<TclCommand_build_tclcmd>, "(self, *args, **kwargs)",
    "Return the word tuple: name, leading arguments, args, then the preset options\n"
    "updated by kwargs as -name value pairs."};

Ref TclCommand_kwargs_to_dashed_args(const Call& c, const Arguments<0>& a) {
    const State& st = c.state<State>();
    std::vector<Ref> words;
    if (a.kwargs) append_dashed(st, words, a.kwargs);
    return tuple_taking(words);
}

constexpr FunctionDef TclCommand_kwargs_to_dashed_args_def{
    "kwargs_to_dashed_args", invoke<TclCommand_kwargs_to_dashed_args>, "(**kwargs)",
    "Return ('-name', value, ...) for the keyword arguments, in order, unconverted."};

Ref TclCommand_call(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = receiver(c);
    Ref words = forward_to_method(c, st.name.build_tclcmd);
    Ref logger = getattr(self, st.name.logger);
    if (is_true(logger)) {
        Ref line = call_method(st.name.calling, st.name.format, scriptify(st, words).get());
        call_method(logger, st.name.info, line.get());
    }
    return apply_cast(st, self, tk_call(st, self, words));
}

constexpr FunctionDef TclCommand_call_def{
    "call", invoke<TclCommand_call>, "(self, *args, **kwargs)",
    "Run the command with further arguments and options; return the result, cast by\n"
    "the handle's cast when that is true. A logger, when set, gets one 'Calling:' line."};

Ref TclCommand_dunder_call(const Call& c) {
    const State& st = c.state<State>();
    receiver(c);
    return forward_to_method(c, st.name.call);
}

constexpr FunctionDef TclCommand_dunder_call_def{"__call__", invoke<TclCommand_dunder_call>,
                                                 "(self, *args, **kwargs)",
                                                 "Return self.call(...)."};

Ref TclCommand_eval(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = receiver(c);
    Ref words = forward_to_method(c, st.name.build_tclcmd);
    Ref result = call_method(tk_of(st, self), st.name.eval, command_script(st, words).get());
    return apply_cast(st, self, std::move(result));
}

constexpr FunctionDef TclCommand_eval_def{
    "eval", invoke<TclCommand_eval>, "(self, *args, **kwargs)",
    "Run the command as a script of its quoted words; return the (cast) result."};

// self.tcl.tk.call((word, word, cmd_name)).
Ref command_query(const State& st, PyObject* self, PyObject* first, PyObject* second) {
    Ref name = getattr(self, st.name.cmd_name);
    return tk_call(st, self, tuple(first, second, name.get()));
}

Ref TclCommand_createcommand(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, func] = named;
    Ref name = getattr(self, st.name.cmd_name);
    Ref host = host_proxy(st, host_of(st, self).get());
    Ref callback = command_callback(st, func, host);
    call_method(tk_of(st, self), st.name.createcommand, name.get(), callback.get());
    return none();
}

constexpr FunctionDef TclCommand_createcommand_def{
    "createcommand", invoke<TclCommand_createcommand>, "(self, func)",
    "Register the Python callable func as the Tcl command of this name.\n\n"
    "The command calls func with its arguments as strings and returns what func returns.\n"
    "An Exception raised in func is a Tcl error whose message is 'Type: message', whose\n"
    "errorInfo starts with the Python traceback and whose errorCode is 'PYTHON Type', so\n"
    "Tcl's catch and try can handle it; KeyboardInterrupt and SystemExit pass unchanged."};

Ref TclCommand_exists(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    return boolean(is_true(command_query(st, self, st.name.w_info, st.name.commands)));
}

constexpr FunctionDef TclCommand_exists_def{
    "exists", invoke<TclCommand_exists>, "(self)",
    "Return True when a command matches the name (read as an 'info commands' pattern)."};

Ref TclCommand_is_command(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref exists = call_method(self, st.name.exists);
    if (!is_true(exists)) return exists;
    return boolean(!is_true(call_method(self, st.name.is_proc)));
}

constexpr FunctionDef TclCommand_is_command_def{
    "is_command", invoke<TclCommand_is_command>, "(self)",
    "Return True when the command exists and is not a proc."};

Ref TclCommand_is_proc(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    return boolean(is_true(command_query(st, self, st.name.w_info, st.name.procs)));
}

constexpr FunctionDef TclCommand_is_proc_def{
    "is_proc", invoke<TclCommand_is_proc>, "(self)",
    "Return True when a proc matches the name (read as an 'info procs' pattern)."};

Ref TclCommand_rename(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, new_name] = named;
    Ref name = getattr(self, st.name.cmd_name);
    Ref target = scriptify(st, new_name);
    answered(st, tk_call(st, self, tuple(st.name.w_rename, name.get(), target.get())));
    setattr(self, st.name.cmd_name, target);
    return none();
}

constexpr FunctionDef TclCommand_rename_def{
    "rename", invoke<TclCommand_rename>, "(self, new_name)",
    "Rename the command; the handle takes the new name once Tcl has renamed it."};

Ref TclCommand_delete(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref name = getattr(self, st.name.cmd_name);
    return write_result(st, tk_call(st, self, tuple(st.name.w_rename, name.get(), st.name.empty)));
}

constexpr FunctionDef TclCommand_delete_def{"delete", invoke<TclCommand_delete>, "(self)",
                                            "Delete the command (the handle keeps its name)."};

Ref TclCommand_origin(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return answered(st, command_query(st, named[0], st.name.w_namespace, st.name.origin));
}

constexpr FunctionDef TclCommand_origin_def{"origin", invoke<TclCommand_origin>, "(self)",
                                            "Return the fully qualified name of the original."};

Ref TclCommand_proc_body(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return answered(st, command_query(st, named[0], st.name.w_info, st.name.body));
}

constexpr FunctionDef TclCommand_proc_body_def{"proc_body", invoke<TclCommand_proc_body>, "(self)",
                                               "Return the body of the proc."};

Ref TclCommand_proc_args(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    return host_cast(st, self, st.name.cast_list,
                     command_query(st, self, st.name.w_info, st.name.args));
}

constexpr FunctionDef TclCommand_proc_args_def{"proc_args", invoke<TclCommand_proc_args>, "(self)",
                                               "Return the argument names of the proc."};

// Tcl writes the default into a variable, so a temporary one receives it and is unset afterwards
// whatever happens.
Ref TclCommand_proc_arg_default(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, arg_name] = named;
    Ref temporary = call_kw(st.TempTclVariable, st.name.kw_tcl, host_of(st, self).get());
    return within(st, temporary, [&](PyObject* variable) -> Ref {
        Ref name = getattr(self, st.name.cmd_name);
        Ref words = tuple(st.name.w_info, st.name.default_word, name.get(),
                          scriptify(st, arg_name).get(), variable);
        Ref found = host_cast(st, self, st.name.cast_boolean, tk_call(st, self, words));
        return is_true(found) ? call_method(variable, st.name.get) : none();
    });
}

constexpr FunctionDef TclCommand_proc_arg_default_def{
    "proc_arg_default", invoke<TclCommand_proc_arg_default>, "(self, arg_name)",
    "Return the default value of the proc's argument arg_name, or None when it has none."};

Ref TclCommand_repr(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref name = getattr(self, st.name.cmd_name);
    Ref text = own(PyUnicode_FromFormat("%U(%R", class_name(self).get(), name.get()));
    auto add_if_true = [&](const char* format, PyObject* attribute) {
        Ref value = getattr(self, attribute);
        if (is_true(value))
            text =
                own(PyUnicode_Concat(text, own(PyUnicode_FromFormat(format, value.get())).get()));
    };
    add_if_true(", args=%R", st.name.args);
    add_if_true(", keywords=%R", st.name.keywords);
    add_if_true(", cast=%R", st.name.cast);
    return own(PyUnicode_Concat(text, from_utf8(")").get()));
}

constexpr FunctionDef TclCommand_repr_def{
    "__repr__", invoke<TclCommand_repr>, "(self)",
    "Return ClassName('name', args=..., keywords=..., cast=...) with the set parts."};

Ref TclCommand_str(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return scriptify(st, call_method(named[0], st.name.build_tclcmd));
}

constexpr FunctionDef TclCommand_str_def{"__str__", invoke<TclCommand_str>, "(self)",
                                         "Return the whole command as a Tcl list string."};

Ref TclCommand_tclobj(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return call_method(named[0], st.name.build_tclcmd);
}

constexpr FunctionDef TclCommand_tclobj_def{
    "__tclobj__", invoke<TclCommand_tclobj>, "(self)",
    "Return the word tuple: passed to a command, a handle becomes one list word."};

// Binds like a method through an instance; through the class (no instance) the handle itself
// comes back, as for a Python function, so that help(), inspect and dir()-based tools work.
Ref TclCommand_get(const Call&, Named<3> named) {
    auto [self, instance, owner] = named;
    (void)owner;
    if (instance == Py_None) return Ref::borrow(self);
    return own(PyMethod_New(self, instance));
}

constexpr FunctionDef TclCommand_get_def{
    "__get__", invoke<TclCommand_get>, "(self, instance, owner=None)",
    "Bind to instance like a method; through the class, return the handle itself."};

constexpr const char* TclCommand_doc =
    "A handle on a Tcl command: its name, leading arguments and preset options.\n\n"
    "TclCommand(cmd, args=None, keywords=None, tcl=None, cast=None, logger=None): cmd is a\n"
    "command string (split as a Tcl list into the name and leading arguments), an exact\n"
    "tuple of words, or another TclCommand (whose whole command line is taken over); args\n"
    "adds leading arguments; keywords are preset options, sent as -name value pairs; cast,\n"
    "a callable such as int or the host's cast_list, is applied to each result (None: the\n"
    "result as the interpreter gives it).\n"
    "Calling the handle runs the command with further arguments and options; stored as a\n"
    "class attribute it binds like a method, its instance becoming the first argument.";

const FunctionDef TclCommand_methods[] = {
    TclCommand_init_def,
    TclCommand_createcommand_def,
    TclCommand_exists_def,
    TclCommand_is_command_def,
    TclCommand_is_proc_def,
    TclCommand_rename_def,
    TclCommand_delete_def,
    TclCommand_origin_def,
    TclCommand_proc_body_def,
    TclCommand_proc_args_def,
    TclCommand_proc_arg_default_def,
    TclCommand_build_tclcmd_def,
    as_static(TclCommand_kwargs_to_dashed_args_def),
    TclCommand_call_def,
    TclCommand_dunder_call_def,
    TclCommand_eval_def,
    {"absolute", invoke<handle_absolute<&Names::cmd_name>>, "(self)",
     "Return the command's name, qualified by the current namespace when relative."},
    {"make_absolute", invoke<handle_make_absolute<&Names::cmd_name>>, "(self)",
     "Replace the handle's name by its absolute form."},
    TclCommand_repr_def,
    TclCommand_str_def,
    TclCommand_tclobj_def,
    TclCommand_get_def,
};

}  // namespace
}  // namespace tarvik
