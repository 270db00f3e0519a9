// Part of the namespace module, included by namespace.cpp (one compilation unit): TclNamespace, a
// handle on a Tcl namespace, with the name algebra as its static methods.

namespace tarvik {
namespace {

Ref TclNamespace_qualifiers(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return tcl::qualifiers_of(name_text(st, named[0]));
}

constexpr FunctionDef TclNamespace_qualifiers_def{
    "qualifiers", invoke<TclNamespace_qualifiers>, "(string)",
    "Return the leading qualifiers of a name, as 'namespace qualifiers' does."};

Ref TclNamespace_tail(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return tcl::tail_of(name_text(st, named[0]));
}

constexpr FunctionDef TclNamespace_tail_def{"tail", invoke<TclNamespace_tail>, "(string)",
                                            "Return the last part of a name."};

Ref TclNamespace_join(const Call& c, const Arguments<1>& a) {
    const State& st = c.state<State>();
    if (c.keyword_count() == 0 && c.nargs > 0) return join_names(st, c.args, c.nargs);
    std::vector<PyObject*> items{a.named[0]};
    items.insert(items.end(), a.rest, a.rest + a.rest_count);
    return join_names(st, items.data(), Py_ssize_t(items.size()));
}

constexpr FunctionDef TclNamespace_join_def{
    "join", invoke<TclNamespace_join>, "(string, *args)",
    "Join names in normal form; an absolute name discards what came before it."};

Ref TclNamespace_split(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return tcl::split_name(name_text(st, named[0]));
}

constexpr FunctionDef TclNamespace_split_def{
    "split", invoke<TclNamespace_split>, "(string)",
    "Return the parts of a name; an absolute name starts with the part ''."};

Ref TclNamespace_normalize(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return tcl::normalize_name(name_text(st, named[0]));
}

constexpr FunctionDef TclNamespace_normalize_def{
    "normalize", invoke<TclNamespace_normalize>, "(string)",
    "Return the normal form of a name ('::' for the global namespace becomes '')."};

Ref TclNamespace_init(const Call& c, Named<3> named) {
    const State& st = c.state<State>();
    auto [self, ns, tcl] = named;
    call_super_init(st.TclNamespace, self, st.name.dunder_init);
    setattr(self, st.name.ns, scriptify(st, ns));
    setattr(self, st.name.tcl, host_proxy(st, tcl));
    // The view classes are looked up on TclNamespace, so that replacing one there takes effect.
    const std::pair<PyObject*, PyObject*> views[] = {
        {st.name.vars, st.name.VariablesView},
        {st.name.objs, st.name.ObjectsView},
        {st.name.procs, st.name.ProcsView},
        {st.name.cmds, st.name.CommandsView},
    };
    for (auto [attribute, view_class] : views)
        setattr(self, attribute, call(getattr(st.TclNamespace, view_class), self));
    return none();
}

constexpr FunctionDef TclNamespace_init_def{
    "__init__", invoke<TclNamespace_init>, "(self, ns, tcl=None)",
    "Name the namespace ns of the interpreter tcl and make its four views."};

// self.call(words): the words run inside the namespace.
Ref scoped_call(const State& st, PyObject* self, Borrowed words) {
    return call_method(self, st.name.call, words);
}

// The words of a namespace query with a variable tail: ("namespace", subcommand, flags...,
// args...), the flags being those whose condition holds.
Ref namespace_words(const State& st, PyObject* subcommand,
                    std::initializer_list<std::pair<bool, PyObject*>> flags, PyObject* const* args,
                    Py_ssize_t count) {
    std::vector<Ref> words{Ref::borrow(st.name.namespace_word), Ref::borrow(subcommand)};
    for (auto [present, flag] : flags)
        if (present) words.push_back(Ref::borrow(flag));
    for (Py_ssize_t i = 0; i < count; ++i)
        words.push_back(Ref::borrow(args[i]));
    return tuple_taking(words);
}

// The namespace a query without a name is about: the handle's own, or the current one when the
// handle has no name.
Ref named_or_current(const State& st, PyObject* self) {
    Ref ns = getattr(self, st.name.ns);
    return is_true(ns) ? ns : call_method(self, st.name.current);
}

Ref TclNamespace_children(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, pattern] = named;
    Ref words = pattern == Py_None
                    ? tuple(st.name.namespace_word, st.name.children)
                    : tuple(st.name.namespace_word, st.name.children, scriptify(st, pattern).get());
    return host_cast(st, self, st.name.cast_list, scoped_call(st, self, words));
}

constexpr FunctionDef TclNamespace_children_def{
    "children", invoke<TclNamespace_children>, "(self, pattern=None)",
    "Return the child namespaces (those matching pattern)."};

Ref TclNamespace_code(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, script] = named;
    return answered(st, scoped_call(st, self, tuple(st.name.namespace_word, st.name.code, script)));
}

constexpr FunctionDef TclNamespace_code_def{
    "code", invoke<TclNamespace_code>, "(self, script)",
    "Return script captured to run in this namespace later."};

Ref TclNamespace_current(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    return answered(st, tk_call(st, self, tuple(st.name.namespace_word, st.name.current)));
}

constexpr FunctionDef TclNamespace_current_def{"current", invoke<TclNamespace_current>, "(self)",
                                               "Return the interpreter's current namespace."};

Ref TclNamespace_create(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    if (!is_true(getattr(self, st.name.ns)))
        raise(PyExc_ValueError, "Cannot create current namespace");
    return write_result(st, call_method(self, st.name.eval, st.name.empty));
}

constexpr FunctionDef TclNamespace_create_def{
    "create", invoke<TclNamespace_create>, "(self)",
    "Create the namespace; ValueError for a handle without a name."};

Ref TclNamespace_delete(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref target = named_or_current(st, self);
    return write_result(
        st, tk_call(st, self, tuple(st.name.namespace_word, st.name.delete_, target.get())));
}

constexpr FunctionDef TclNamespace_delete_def{
    "delete", invoke<TclNamespace_delete>, "(self)",
    "Delete the namespace (the current one for a handle without a name)."};

Ref TclNamespace_exists(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref target = named_or_current(st, self);
    Ref result = tk_call(st, self, tuple(st.name.namespace_word, st.name.exists, target.get()));
    return host_cast(st, self, st.name.cast_boolean, result);
}

constexpr FunctionDef TclNamespace_exists_def{"exists", invoke<TclNamespace_exists>, "(self)",
                                              "Return True when the namespace exists."};

// The command that call() and eval() run: the given words (one command, or a script), inside a
// `namespace eval` of the handle's namespace when it has a name. For eval, a word list becomes its
// script here, so that a first word starting with "#" is not read as a comment.
Ref scoped_command(const State& st, const Arguments<2>& a, bool as_script) {
    auto [self, tclcmd] = a.named;
    Ref command = Ref::borrow(tclcmd);
    if (a.rest_count) {
        std::vector<Ref> words{command};
        for (Py_ssize_t i = 0; i < a.rest_count; ++i)
            words.push_back(Ref::borrow(a.rest[i]));
        command = tuple_taking(words);
    }
    if (as_script && !PyUnicode_Check(command)) command = command_script(st, command);
    Ref ns = getattr(self, st.name.ns);
    if (is_true(ns)) command = tuple(st.name.namespace_word, st.name.eval, ns.get(), command.get());
    return command;
}

Ref TclNamespace_eval(const Call& c, const Arguments<2>& a) {
    const State& st = c.state<State>();
    Ref command = scoped_command(st, a, true);
    Ref script = scriptify(st, command);
    return call_method(tk_of(st, a.named[0]), st.name.eval, script.get());
}

constexpr FunctionDef TclNamespace_eval_def{
    "eval", invoke<TclNamespace_eval>, "(self, tclcmd, *args)",
    "Evaluate a script, or the command of the words tclcmd, *args, in the namespace."};

Ref TclNamespace_call(const Call& c, const Arguments<2>& a) {
    const State& st = c.state<State>();
    Ref command = scoped_command(st, a, false);
    Ref words = tclobj(st, command.get());
    return tk_call(st, a.named[0], words);
}

constexpr FunctionDef TclNamespace_call_def{
    "call", invoke<TclNamespace_call>, "(self, tclcmd, *args)",
    "Run the command of the words tclcmd, *args (or the words tuple tclcmd) in the\n"
    "namespace, without substitution."};

Ref TclNamespace_export(const Call& c, const Arguments<2>& a) {
    const State& st = c.state<State>();
    auto [self, clear] = a.named;
    bool clearing = is_true(clear);
    Ref words =
        namespace_words(st, st.name.export_, {{clearing, st.name.w_clear}}, a.rest, a.rest_count);
    Ref result = scoped_call(st, self, words);
    if (clearing || a.rest_count) return none();
    return host_cast(st, self, st.name.cast_list, result);
}

constexpr FunctionDef TclNamespace_export_def{
    "export", invoke<TclNamespace_export>, "(self, clear=False, *patterns)",
    "Add export patterns (after clearing the list when clear is true); with neither,\n"
    "return the export list."};

Ref TclNamespace_forget(const Call& c, const Arguments<1>& a) {
    const State& st = c.state<State>();
    Ref words = namespace_words(st, st.name.forget, {}, a.rest, a.rest_count);
    return write_result(st, scoped_call(st, a.named[0], words));
}

constexpr FunctionDef TclNamespace_forget_def{
    "forget", invoke<TclNamespace_forget>, "(self, *patterns)",
    "Remove commands imported into the namespace that match the patterns."};

Ref TclNamespace_import(const Call& c, const Arguments<2>& a) {
    const State& st = c.state<State>();
    auto [self, force] = a.named;
    Ref words = namespace_words(st, st.name.import_, {{is_true(force), st.name.w_force}}, a.rest,
                                a.rest_count);
    return write_result(st, scoped_call(st, self, words));
}

constexpr FunctionDef TclNamespace_import_def{
    "import_", invoke<TclNamespace_import>, "(self, force=False, *patterns)",
    "Import the commands matching the patterns, replacing existing ones when force is\n"
    "true."};

Ref TclNamespace_origin(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, command] = named;
    return answered(st,
                    scoped_call(st, self, tuple(st.name.namespace_word, st.name.origin, command)));
}

constexpr FunctionDef TclNamespace_origin_def{
    "origin", invoke<TclNamespace_origin>, "(self, command)",
    "Return the fully qualified name of the command that command was imported from."};

// The parent of an absolute name, worked out as Tcl's `namespace parent` answers: the name's
// qualifiers, "::" for a child of the global namespace, and "" for the global namespace itself.
Ref parent_name(const State& st, Borrowed ns) {
    return tcl::parent_of_normal(tcl::normalize_name(name_text(st, ns)));
}

Ref TclNamespace_parent(const Call& c, Named<2> named) {
    const State& st = c.state<State>();
    auto [self, force_eval] = named;
    if (is_true(force_eval) && is_true(call_method(self, st.name.is_absolute)))
        return parent_name(st, getattr(self, st.name.ns));
    Ref ns = getattr(self, st.name.ns);
    Ref words = is_true(ns) ? tuple(st.name.namespace_word, st.name.parent, ns.get())
                            : tuple(st.name.namespace_word, st.name.parent);
    return answered(st, tk_call(st, self, tclobj(st, words.get())));
}

constexpr FunctionDef TclNamespace_parent_def{
    "parent", invoke<TclNamespace_parent>, "(self, force_eval=False)",
    "Return the parent namespace. With force_eval true, the parent of an absolute name is\n"
    "worked out from the name alone, without asking Tcl."};

Ref TclNamespace_which(const Call& c, Named<4> named) {
    const State& st = c.state<State>();
    auto [self, name, command, variable] = named;
    PyObject* tail[] = {name};
    Ref words = namespace_words(
        st, st.name.which,
        {{is_true(command), st.name.w_command}, {is_true(variable), st.name.w_variable}}, tail, 1);
    return answered(st, scoped_call(st, self, words));
}

constexpr FunctionDef TclNamespace_which_def{
    "which", invoke<TclNamespace_which>, "(self, name, command=False, variable=False)",
    "Return the fully qualified name that name resolves to in the namespace."};

// `self.ns and self.ns.startswith("::")` (negated for is_relative): the empty name itself when
// the handle has none.
Ref absolute_test(const State& st, PyObject* self, bool wanted) {
    Ref ns = getattr(self, st.name.ns);
    if (!is_true(ns)) return ns;
    bool absolute = PyUnicode_Check(ns)
                        ? tcl::starts_with_separator(ns)
                        : is_true(call_method(ns, st.name.startswith, st.name.separator));
    return boolean(absolute == wanted);
}

Ref TclNamespace_is_absolute(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return absolute_test(st, named[0], true);
}

constexpr FunctionDef TclNamespace_is_absolute_def{
    "is_absolute", invoke<TclNamespace_is_absolute>, "(self)",
    "Return whether the name starts with '::' (the empty name for a handle without one)."};

Ref TclNamespace_is_relative(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return absolute_test(st, named[0], false);
}

constexpr FunctionDef TclNamespace_is_relative_def{
    "is_relative", invoke<TclNamespace_is_relative>, "(self)",
    "Return whether the name is relative (the empty name for a handle without one)."};

Ref TclNamespace_absolute(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    if (is_true(call_method(self, st.name.is_absolute))) return getattr(self, st.name.ns);
    Ref current = call_method(self, st.name.current);
    return join_two(st, current, getattr(self, st.name.ns));
}

constexpr FunctionDef TclNamespace_absolute_def{
    "absolute", invoke<TclNamespace_absolute>, "(self)",
    "Return the absolute name, joining a relative one to the current namespace."};

Ref TclNamespace_make_absolute(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    setattr(self, st.name.ns, call_method(self, st.name.absolute));
    return none();
}

constexpr FunctionDef TclNamespace_make_absolute_def{
    "make_absolute", invoke<TclNamespace_make_absolute>, "(self)",
    "Replace the handle's name by its absolute form."};

Ref TclNamespace_str(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    return getattr(named[0], st.name.ns);
}

constexpr FunctionDef TclNamespace_str_def{"__str__", invoke<TclNamespace_str>, "(self)",
                                           "Return the namespace's name."};

Ref TclNamespace_repr(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    Ref ns = getattr(self, st.name.ns);
    return own(PyUnicode_FromFormat("%U(%R)", class_name(self).get(), ns.get()));
}

constexpr FunctionDef TclNamespace_repr_def{"__repr__", invoke<TclNamespace_repr>, "(self)",
                                            "Return ClassName('name')."};

constexpr const char* TclNamespace_doc =
    "A handle on a Tcl namespace, and the algebra of qualified Tcl names.\n\n"
    "TclNamespace(ns, tcl=None) names the namespace ns (relative, absolute, or empty for\n"
    "whatever namespace is current) of the interpreter tcl, held only through a weak proxy.\n"
    "Making a handle sends nothing; call() and eval() run commands inside the namespace,\n"
    "which creates it. The views vars, objs, cmds and procs present its variables (as\n"
    "strings or objects), commands and procs as mappings.\n\n"
    "The static methods qualifiers, tail, join, split and normalize work on names alone,\n"
    "without an interpreter; a part of a name must not contain a colon.";

const FunctionDef TclNamespace_methods[] = {
    TclNamespace_init_def,
    TclNamespace_children_def,
    TclNamespace_code_def,
    TclNamespace_current_def,
    TclNamespace_create_def,
    TclNamespace_delete_def,
    TclNamespace_eval_def,
    TclNamespace_call_def,
    TclNamespace_exists_def,
    TclNamespace_export_def,
    TclNamespace_forget_def,
    TclNamespace_import_def,
    TclNamespace_origin_def,
    TclNamespace_parent_def,
    TclNamespace_which_def,
    TclNamespace_is_absolute_def,
    TclNamespace_is_relative_def,
    TclNamespace_absolute_def,
    TclNamespace_make_absolute_def,
    TclNamespace_str_def,
    TclNamespace_repr_def,
    as_static(TclNamespace_qualifiers_def),
    as_static(TclNamespace_tail_def),
    as_static(TclNamespace_join_def),
    as_static(TclNamespace_split_def),
    as_static(TclNamespace_normalize_def),
};

}  // namespace
}  // namespace tarvik
