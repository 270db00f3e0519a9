// tarvik.tcl.namespace: Python handles on the variables, arrays, commands and namespaces of a Tcl
// interpreter, and temporaries that remove their Tcl object when a `with` block ends.
//
// The classes are built by calling their metaclass, as class statements would be, so instances
// are ordinary Python objects: their state lives in the instance __dict__ under public attribute
// names, read and written with getattr/setattr so that a subclass may replace any of them, and
// methods reach each other through the instance so that overrides are honoured. A handle holds
// its host interpreter only through a weak proxy and never keeps it alive.
#include "support/classes.hpp"
#include "support/tcl_quote.hpp"
#include "support/tk_values.hpp"

#include <string>
#include <vector>

namespace tarvik {
namespace {

// Interned attribute, method and keyword names, each spelled as its identifier.
// clang-format off
#define NAMESPACE_NAMES(X)                                                                       \
    X(tcl) X(tk) X(cast) X(var_name) X(cmd_name) X(args) X(keywords) X(logger) X(ns)            \
    X(call) X(eval) X(getvar) X(setvar) X(unsetvar) X(createcommand)                              \
    X(cast_list) X(cast_boolean) X(cast_array)                                                    \
    X(get) X(set) X(unset) X(exists) X(get_str) X(get_obj) X(is_array) X(array_names)             \
    X(array_size) X(array_set) X(array_unset) X(array_get_str) X(array_get_obj)                   \
    X(build_tclcmd) X(kwargs_to_dashed_args) X(is_proc) X(rename) X(origin) X(proc_body)          \
    X(proc_args) X(proc_arg_default) X(absolute) X(is_absolute) X(current) X(create)              \
    X(children) X(code) X(forget) X(parent) X(which) X(byref) X(var_type)                         \
    X(info) X(format) X(items) X(startswith) X(update_wrapper) X(array_index) X(pattern)          \
    X(nocomplain) X(cls) X(id) X(commands) X(procs) X(body) X(size) X(names)                      \
    X(vars) X(objs) X(cmds) X(VariablesView) X(ObjectsView) X(ProcsView) X(CommandsView)
// clang-format on

struct State : ModuleState {
    PyObject* MutableMapping;
    PyObject* scriptify;
    PyObject* tclobj;
    PyObject* TclError;
    PyObject* Tcl_Obj;
    PyObject* functools;
    PyObject* package_name;  // "tarvik.tcl", the default host
    bool assertions;         // assert statements run (no -O)

    PyObject* TclVariable;
    PyObject* TempTclVariable;
    PyObject* TclArrayVariable;
    PyObject* TempTclArrayVariable;
    PyObject* TclCommand;
    PyObject* TempTclCommand;
    PyObject* TclNamespace;
    PyObject* TempTclNamespace;
    PyObject* variables_view;  // TclNamespace.VariablesView
    PyObject* commands_view;   // TclNamespace.CommandsView

    PyObject* marker;          // TclVariable._TclVariable__marker
    PyObject* dashed_args;     // the native kwargs_to_dashed_args
    PyTypeObject* lazy_names;  // the iterator type of arrays and views

#define DECLARE_NAME(name) PyObject* name;
    NAMESPACE_NAMES(DECLARE_NAME)
#undef DECLARE_NAME
    // Names that are C++ keywords or not identifiers.
    PyObject* delete_;
    PyObject* import_;
    PyObject* export_;
    PyObject* dunder_init;
    PyObject* dunder_enter;
    PyObject* dunder_exit;
    PyObject* dunder_del;
    PyObject* dunder_wrapped;

    // Words sent to Tcl.
    PyObject* w_info;          // "::info"
    PyObject* w_array;         // "::array"
    PyObject* w_rename;        // "::rename"
    PyObject* w_namespace;     // "::namespace"
    PyObject* namespace_word;  // "namespace", unqualified
    PyObject* default_word;    // "default"
    PyObject* w_clear;         // "-clear"
    PyObject* w_force;         // "-force"
    PyObject* w_command;       // "-command"
    PyObject* w_variable;      // "-variable"
    PyObject* empty;
    PyObject* separator;  // "::"
    PyObject* dash;       // "-"
    PyObject* calling;    // "Calling: {}"

    // Keyword-name tuples for calls through the instance.
    PyObject* kw_tcl;
    PyObject* kw_tcl_cast;
    PyObject* kw_index_tcl_cast;
    PyObject* kw_array_index;
    PyObject* kw_nocomplain;
    PyObject* kw_cls_id;
    PyObject* kw_pattern;
    PyObject* kw_index_nocomplain;

    // The queries that list a view's names.
    PyObject* q_info_vars;
    PyObject* q_info_commands;
    PyObject* q_info_procs;

    // What every call into Tcl reads of the host and calls on its tk, with the lookups
    // remembered from call to call. Caches only, so they may change under a const State. (The
    // handles themselves are read the ordinary way: views make one per access, and reading the
    // instance dict directly would make each of them build one.)
    mutable CachedAttribute host_tk;
    mutable CachedMethod tk_getvar;
    mutable CachedMethod tk_setvar;

    void init(PyObject* module);
    Ref build_namespace_class(PyObject* module);
    int traverse(visitproc visit, void* arg) const {
        if (int status = ModuleState::traverse(visit, arg)) return status;
        return traverse_caches(visit, arg, host_tk, tk_getvar, tk_setvar);
    }
    void clear() {
        ModuleState::clear();
        clear_caches(host_tk, tk_getvar, tk_setvar);
    }
};

PyObject* as_object(PyTypeObject* type) {
    return reinterpret_cast<PyObject*>(type);
}

// ---------------------------------------------------------------------------------------------
// Conversions and the host

// scriptify(obj); a str is its own Tcl string, so the common case costs no call.
Ref scriptify(const State& st, PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
    return call(st.scriptify, obj);
}

// Whether tclobj(obj) is obj itself, decided for the exact built-in types that need no call:
// strings, floats, booleans, bytes and machine-size integers.
bool passes_through(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type ||
        type == &PyBytes_Type)
        return true;
    if (type != &PyLong_Type) return false;
    // Beyond sys.maxsize an integer travels as its decimal string: leave that to tclobj.
    if (PyLong_AsSsize_t(obj) == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// tclobj(obj), with the same shortcut.
Ref tclobj(const State& st, PyObject* obj) {
    if (passes_through(obj)) return Ref::borrow(obj);
    return call(st.tclobj, obj);
}

// The host to store in a handle: the given interpreter, or the package module when none (or a
// false value) is given, as a weak proxy so that the handle never keeps it alive.
Ref host_proxy(const State& st, PyObject* tcl) {
    Ref host = tcl && is_true(tcl) ? Ref::borrow(tcl) : import_cached(st.package_name);
    if (PyWeakref_CheckProxy(host.get())) return host;
    return own(PyWeakref_NewProxy(host, nullptr));
}

Ref host_of(const State& st, PyObject* self) {
    return getattr(self, st.tcl);
}

// self.tcl.tk, the host's Tk application object, read past the proxy as the proxy would read it.
Ref tk_of(const State& st, PyObject* self) {
    return st.host_tk.get(unproxy(host_of(st, self)));
}

// self.tcl.tk.call(words): the word tuple travels as the one argument, checked for what
// _tkinter would crash on.
Ref tk_call(const State& st, PyObject* self, PyObject* words) {
    Ref tk = tk_of(st, self);
    return call_method(tk, st.call, tcl::safe_for_tk(words, st.Tcl_Obj).get());
}

// self.tcl.<cast>(result), for cast_list, cast_boolean and cast_array.
Ref host_cast(const State& st, PyObject* self, PyObject* cast_name, PyObject* result) {
    return call_method(host_of(st, self), cast_name, result);
}

Ref class_name(PyObject* self) {
    return own(PyType_GetName(Py_TYPE(self)));
}

bool starts_with_separator(PyObject* text) {
    if (!PyUnicode_Check(text)) return false;
    return PyUnicode_GET_LENGTH(text) >= 2 && PyUnicode_READ_CHAR(text, 0) == ':' &&
           PyUnicode_READ_CHAR(text, 1) == ':';
}

// scriptify(words) of a word tuple. Words that are all strings are quoted here, with the shared
// list quoting, sparing the call into scriptify on the paths that build a script for every read.
Ref words_text(const State& st, PyObject* words) {
    if (!PyTuple_CheckExact(words)) return scriptify(st, words);
    Py_ssize_t n = PyTuple_GET_SIZE(words);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(words, i))) return scriptify(st, words);
    tcl::ListWriter out;
    for (Py_ssize_t i = 0; i < n; ++i)
        out.add(PyTuple_GET_ITEM(words, i));
    return out.finish();
}

// A script made of a word list. Tcl reads a script whose first word starts with "#" as a comment,
// and a list leaves such a word bare: a backslash keeps it a command name.
Ref command_script(const State& st, PyObject* words) {
    Ref script = words_text(st, words);
    if (!PyUnicode_Check(script) || PyUnicode_GET_LENGTH(script) == 0 ||
        PyUnicode_READ_CHAR(script, 0) != '#')
        return script;
    return own(PyUnicode_FromFormat("\\%U", script.get()));
}

// ---------------------------------------------------------------------------------------------
// Name algebra: qualified names are parts separated by "::".

[[noreturn]] void invalid_name(PyObject* text) {
    raise_format(PyExc_ValueError, "Invalid Tcl namespace '%U'", text);
}

// The string form of a name argument. A namespace handle's name is its str(), which is what
// scriptify would find after testing it against every container ABC.
Ref name_text(const State& st, PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
    Ref text = Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(st.TclNamespace)
                   ? getattr(obj, st.ns)
                   : call(st.scriptify, obj);
    if (!PyUnicode_Check(text))
        raise_format(PyExc_TypeError, "a Tcl name must be a string, not %.200s",
                     Py_TYPE(text.get())->tp_name);
    return text;
}

// Calls f(start, end) for each non-empty part of `s`, split at "::" from the left as str.split
// splits. False when a part holds a colon: an odd run of colons, or a lone one.
template <class Char, class F>
bool for_each_part(const Char* s, Py_ssize_t n, F&& f) {
    Py_ssize_t start = 0;
    bool colon = false;
    for (Py_ssize_t i = 0; i < n;) {
        if (s[i] == ':') {
            if (i + 1 < n && s[i + 1] == ':') {
                if (colon) return false;
                if (i > start) f(start, i);
                i += 2;
                start = i;
                continue;
            }
            colon = true;
        }
        ++i;
    }
    if (colon) return false;
    if (n > start) f(start, n);
    return true;
}

template <class Char>
bool is_absolute_name(const Char* s, Py_ssize_t n) {
    return n >= 2 && s[0] == ':' && s[1] == ':';
}

// The normal form: no empty parts, one leading "::" when absolute, no trailing "::"; the global
// namespace is "". A name already in normal form is returned as it is.
Ref normalize_name(PyObject* text) {
    StrView view(text);
    return with_chars(view, [&](auto* s) -> Ref {
        Py_ssize_t n = view.length, parts = 0, chars = 0;
        if (!for_each_part(s, n, [&](Py_ssize_t a, Py_ssize_t b) {
                ++parts;
                chars += b - a;
            }))
            invalid_name(text);
        bool absolute = is_absolute_name(s, n);
        Py_ssize_t length = parts ? chars + 2 * (parts - 1) + (absolute ? 2 : 0) : 0;
        // Only colons are ever dropped, so an unchanged length means an unchanged name.
        if (length == n) return Ref::borrow(text);
        StrBuilder out(length, max_char_bound(text));
        out.write([&](auto* o) {
            bool first = true;
            for_each_part(s, n, [&](Py_ssize_t a, Py_ssize_t b) {
                if (!first || absolute) {
                    *o++ = ':';
                    *o++ = ':';
                }
                first = false;
                for (Py_ssize_t i = a; i < b; ++i)
                    *o++ = s[i];
            });
            return o;
        });
        return out.finish();
    });
}

Ref split_name(PyObject* text) {
    StrView view(text);
    Ref parts = new_list();
    with_chars(view, [&](auto* s) {
        if (is_absolute_name(s, view.length)) append(parts, own(PyUnicode_New(0, 0)));
        bool valid = for_each_part(s, view.length, [&](Py_ssize_t a, Py_ssize_t b) {
            append(parts, own(PyUnicode_Substring(text, a, b)));
        });
        if (!valid) invalid_name(text);
    });
    return parts;
}

// The leading qualifiers, as Tcl's `namespace qualifiers` gives them: everything before the last
// "::", backing over the extra colons of a longer run.
Ref qualifiers_of(const State& st, PyObject* text) {
    Py_ssize_t p = check_size(PyUnicode_Find(text, st.separator, 0, PY_SSIZE_T_MAX, -1));
    if (p == -1) return Ref::borrow(st.empty);
    while (p > 0 && PyUnicode_READ_CHAR(text, p - 1) == ':')
        --p;
    return own(PyUnicode_Substring(text, 0, p));
}

Ref tail_of(const State& st, PyObject* text) {
    Py_ssize_t p = check_size(PyUnicode_Find(text, st.separator, 0, PY_SSIZE_T_MAX, -1));
    if (p == -1) return Ref::borrow(text);
    return own(PyUnicode_Substring(text, p + 2, PyUnicode_GET_LENGTH(text)));
}

// Joins names in order: an absolute name discards everything before it, an empty one is skipped.
// The joined text is then normalised (and validated as a whole, so the error names all of it).
Ref join_names(const State& st, PyObject* const* items, Py_ssize_t count) {
    std::vector<Ref> converted;  // keeps the texts that are not the arguments themselves
    PyObject* few[8];
    std::vector<PyObject*> many;
    PyObject** pieces = count <= 8 ? few : (many.resize(size_t(count)), many.data());
    Py_ssize_t used = 0, length = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref text = name_text(st, items[i]);
        PyObject* piece = text.get();
        if (piece != items[i]) converted.push_back(std::move(text));
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (i == 0 || length == 0 || starts_with_separator(piece)) {
            pieces[0] = piece;
            used = 1;
            length = n;
        } else if (n) {
            pieces[used++] = piece;
            length += 2 + n;
        }
    }
    if (used == 1) return normalize_name(pieces[0]);
    Py_UCS4 maxchar = 0x7F;
    for (Py_ssize_t i = 0; i < used; ++i)
        maxchar = std::max(maxchar, max_char_bound(pieces[i]));
    StrBuilder joined(length, maxchar);
    for (Py_ssize_t i = 0; i < used; ++i) {
        if (i) {
            joined.put(':');
            joined.put(':');
        }
        joined.append(pieces[i]);
    }
    return normalize_name(joined.finish());
}

Ref join_two(const State& st, PyObject* first, PyObject* second) {
    PyObject* items[] = {first, second};
    return join_names(st, items, 2);
}

// The absolute form of a variable or command name: as it is when it starts with "::", otherwise
// joined to the interpreter's current namespace.
Ref absolute_name(const State& st, PyObject* self, PyObject* attribute) {
    Ref name = getattr(self, attribute);
    if (starts_with_separator(name)) return name;
    Ref current = call_method(tk_of(st, self), st.call, st.namespace_word, st.current);
    return join_two(st, current, name);
}

// absolute() and make_absolute() of the handle whose name is the attribute `Name` (var_name or
// cmd_name).
template <PyObject* State::* Name>
Ref absolute_entry(const Call& c) {
    const State& st = c.state<State>();
    return absolute_name(st, c.parse<1>().named[0], st.*Name);
}

template <PyObject* State::* Name>
Ref make_absolute_entry(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    setattr(self, st.*Name, call_method(self, st.absolute));
    return none();
}

// ---------------------------------------------------------------------------------------------
// Lazy name iteration: nothing is sent to Tcl until the first name is asked for, and each
// iteration asks again.

enum class NameSource : int { ARRAY_ELEMENTS, VIEW_QUERY };

struct LazyNames {
    PyObject_HEAD NameSource source;
    PyObject* owner;  // the array handle or the view; released once the names are fetched
    PyObject* query;  // the view's query words, or NULL
    PyObject* names;  // an iterator over the fetched names, or NULL before the first step
};

State& lazy_state(PyObject* self) {
    return *static_cast<State*>(PyType_GetModuleState(Py_TYPE(self)));
}

Ref fetch_names(const State& st, const LazyNames* it) {
    if (it->source == NameSource::ARRAY_ELEMENTS) return call_method(it->owner, st.array_names);
    Ref ns = getattr(it->owner, st.ns);
    Ref result = call_method(ns, st.call, it->query);
    return host_cast(st, ns, st.cast_list, result);
}

// Tcl hands some names back as Tcl objects (variable names carry a parsed form); a name is a str.
Ref plain_name(const State& st, Ref name) {
    if (Py_TYPE(name.get()) == reinterpret_cast<PyTypeObject*>(st.Tcl_Obj)) return str(name);
    return name;
}

namespace lazy_names {

int traverse(PyObject* self, visitproc visit, void* arg) {
    auto* it = reinterpret_cast<LazyNames*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->owner);
    Py_VISIT(it->query);
    Py_VISIT(it->names);
    return 0;
}

int clear(PyObject* self) {
    auto* it = reinterpret_cast<LazyNames*>(self);
    Py_CLEAR(it->owner);
    Py_CLEAR(it->query);
    Py_CLEAR(it->names);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

void start(const State& st, LazyNames* it) {
    if (it->names) return;
    Ref names = fetch_names(st, it);
    it->names = own(PyObject_GetIter(names)).release();
    Py_CLEAR(it->owner);
}

// The next name, or NULL with no error set once the names are exhausted.
PyObject* next(PyObject* self) {
    auto* it = reinterpret_cast<LazyNames*>(self);
    const State& st = lazy_state(self);
    return guarded_next([&] {
        start(st, it);
        Ref name = Ref::steal_maybe(PyIter_Next(it->names));
        if (!name) {
            if (PyErr_Occurred()) raise_current();
            return name;
        }
        return plain_name(st, std::move(name));
    });
}

PyTypeObject* create(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(next)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "tarvik.tcl.namespace.name_iterator",
        sizeof(LazyNames),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace lazy_names

Ref iterate_names(const State& st, NameSource source, PyObject* owner, PyObject* query) {
    auto* it = PyObject_GC_New(LazyNames, st.lazy_names);
    if (it == nullptr) raise_current();
    it->source = source;
    it->owner = Py_NewRef(owner);
    it->query = Py_XNewRef(query);
    it->names = nullptr;
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject*>(it));
}

// ---------------------------------------------------------------------------------------------
// Shared method plumbing

// The instance a method was called on: the first positional argument.
PyObject* receiver(const Call& c) {
    if (c.nargs == 0)
        raise_format(PyExc_TypeError, "%U() missing 1 required positional argument: 'self'",
                     c.function->qualname);
    return c.args[0];
}

// `result`, cast by the handle's cast when that is true.
Ref apply_cast(const State& st, PyObject* self, Ref result) {
    Ref cast = getattr(self, st.cast);
    return is_true(cast) ? call(cast, result.get()) : result;
}

Ref tuple_from(std::vector<Ref>& items) {
    Ref result = own(PyTuple_New(Py_ssize_t(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(result.get(), Py_ssize_t(i), items[i].release());
    return result;
}

// `with manager as value: return body(value)`, with the exception of the block handed to
// __exit__ and raised again unless __exit__ suppresses it.
template <class F>
Ref within(const State& st, PyObject* manager, F&& body) {
    Ref value = call_method(manager, st.dunder_enter);
    Ref result;
    try {
        result = body(value.get());
    } catch (const PythonError&) {
        Ref error = fetch_error();
        Ref traceback = Ref::steal_maybe(PyException_GetTraceback(error));
        Ref suppress = while_handling(error, [&] {
            return call_method(manager, st.dunder_exit, as_object(Py_TYPE(error.get())),
                               error.get(), traceback ? traceback.get() : Py_None);
        });
        if (is_true(suppress)) return none();
        raise_exception(std::move(error));
    }
    call_method(manager, st.dunder_exit, Py_None, Py_None, Py_None);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Temporaries: a name made from a template, and the context-manager scheme they share.

// The template filled in: {cls} is the class name of the handle, {id} its id().
Ref temporary_name(const State& st, PyObject* self, PyObject* name) {
    Ref id = own(PyLong_FromVoidPtr(self));
    return call_method_kw(name, st.format, st.kw_cls_id, class_name(self).get(), id.get());
}

// The initialiser of a temporary: the base initialiser of `cls`, given the formatted name and the
// other keyword arguments unchanged.
void init_temporary(const State& st, PyObject* cls, PyObject* self, PyObject* name,
                    PyObject* kwargs) {
    Ref formatted = temporary_name(st, self, name);
    Ref init = super_attr(cls, self, st.dunder_init);
    PyObject* args[] = {formatted.get()};
    own(PyObject_VectorcallDict(init, args, 1, kwargs));
}

// The value of a `with` block on a temporary: what a later class's __enter__ returns, or the
// handle itself.
Ref enter_temporary(const State& st, PyObject* cls, PyObject* self) {
    Ref later = super_attr_optional(cls, self, st.dunder_enter);
    return later && is_true(later) ? call(later) : Ref::borrow(self);
}

// The end of __exit__, after the clean-up: a later class's __exit__ decides, or False, which
// never suppresses an exception of the block.
Ref exit_temporary(const State& st, PyObject* cls, const Call& c) {
    auto a = c.parse<1>();
    PyObject* self = a.named[0];
    Ref later = super_attr_optional(cls, self, st.dunder_exit);
    if (!later || !is_true(later)) return boolean(false);
    return own(PyObject_Vectorcall(later, a.rest, size_t(a.rest_count), nullptr));
}

// ---------------------------------------------------------------------------------------------
// TclVariable: a scalar, an array or one element of an array

Ref element_name(const State& st, PyObject* name, PyObject* index) {
    return own(PyUnicode_FromFormat("%S(%S)", name, scriptify(st, index).get()));
}

// The handle's name, or that of its element `index` when it is not None.
Ref addressed_name(const State& st, PyObject* self, PyObject* index) {
    Ref name = getattr(self, st.var_name);
    return index == Py_None ? name : element_name(st, name, index);
}

// An index for reading: a string travels as it is; anything else is converted as for writing, so
// every element that can be written can be read back.
Ref index_for_reading(const State& st, PyObject* index) {
    return PyUnicode_Check(index) ? Ref::borrow(index) : scriptify(st, index);
}

Ref variable_init(const Call& c) {
    const State& st = c.state<State>();
    auto [self, var_name, array_index, tcl, cast] = c.parse<5>().named;
    setattr(self, st.tcl, host_proxy(st, tcl));
    setattr(self, st.cast, cast);
    Ref name = scriptify(st, var_name);
    setattr(self, st.var_name, array_index == Py_None ? name : element_name(st, name, array_index));
    return none();
}

Ref variable_get_obj(const Call& c) {
    const State& st = c.state<State>();
    PyObject *self, *index = Py_None, *cast = nullptr;
    if (c.exactly(1)) {
        self = c.args[0];
    } else {
        auto a = c.parse<3>();
        self = a.named[0], index = a.named[1], cast = a.named[2];
    }
    Ref tk = tk_of(st, self);
    Ref name = getattr(self, st.var_name);
    Ref result = index == Py_None
                     ? st.tk_getvar(tk, name.get())
                     : st.tk_getvar(tk, name.get(), index_for_reading(st, index).get());
    Ref caster = !cast || cast == st.marker ? getattr(self, st.cast) : Ref::borrow(cast);
    return is_true(caster) ? call(caster, result.get()) : result;
}

Ref variable_get_str(const Call& c) {
    const State& st = c.state<State>();
    auto [self, index] = c.parse<2>().named;
    Ref words = tuple(st.set, addressed_name(st, self, index));
    return call_method(tk_of(st, self), st.eval, words_text(st, words).get());
}

Ref variable_set(const Call& c) {
    const State& st = c.state<State>();
    PyObject *self, *value, *index = Py_None;
    if (c.exactly(2)) {
        self = c.args[0], value = c.args[1];
    } else {
        auto a = c.parse<3>();
        self = a.named[0], value = a.named[1], index = a.named[2];
    }
    Ref tk = tk_of(st, self);
    Ref name = getattr(self, st.var_name);
    Ref converted = tcl::safe_for_tk(tclobj(st, value), st.Tcl_Obj);
    if (index == Py_None) return st.tk_setvar(tk, name.get(), converted.get());
    return st.tk_setvar(tk, name.get(), scriptify(st, index).get(), converted.get());
}

Ref variable_unset(const Call& c) {
    const State& st = c.state<State>();
    auto [self, index, nocomplain] = c.parse<3>().named;
    auto unset = [&] {
        Ref tk = tk_of(st, self);
        Ref name = getattr(self, st.var_name);
        if (index == Py_None)
            call_method(tk, st.unsetvar, name.get());
        else
            call_method(tk, st.unsetvar, name.get(), scriptify(st, index).get());
    };
    if (is_true(nocomplain))
        ignoring(st.TclError, unset);
    else
        unset();
    return none();
}

Ref variable_exists(const Call& c) {
    const State& st = c.state<State>();
    auto [self, index] = c.parse<2>().named;
    Ref words = tuple(st.w_info, st.exists, addressed_name(st, self, index));
    return host_cast(st, self, st.cast_boolean, tk_call(st, self, words));
}

Ref variable_array_item_byref(const Call& c) {
    const State& st = c.state<State>();
    auto [self, index, cast] = c.parse<3>().named;
    return call_kw(st.TclVariable, st.kw_index_tcl_cast, self, index, host_of(st, self).get(),
                   cast);
}

// ("::array", subcommand, name), with the pattern as a fourth word unless it is None.
Ref array_words(const State& st, PyObject* self, PyObject* subcommand, PyObject* pattern) {
    Ref name = getattr(self, st.var_name);
    if (pattern == nullptr || pattern == Py_None) return tuple(st.w_array, subcommand, name.get());
    return tuple(st.w_array, subcommand, name.get(), scriptify(st, pattern).get());
}

Ref variable_array_get_obj(const Call& c) {
    const State& st = c.state<State>();
    auto [self, pattern] = c.parse<2>().named;
    Ref result = tk_call(st, self, array_words(st, self, st.get, pattern));
    return host_cast(st, self, st.cast_array, result);
}

Ref variable_array_get_str(const Call& c) {
    const State& st = c.state<State>();
    auto [self, pattern] = c.parse<2>().named;
    Ref script = words_text(st, array_words(st, self, st.get, pattern));
    Ref result = call_method(tk_of(st, self), st.eval, script.get());
    return host_cast(st, self, st.cast_array, result);
}

Ref variable_array_set(const Call& c) {
    const State& st = c.state<State>();
    auto [self, value] = c.parse<2>().named;
    Ref name = getattr(self, st.var_name);
    tk_call(st, self, tuple(st.w_array, st.set, name.get(), tclobj(st, value).get()));
    return none();
}

Ref variable_array_unset(const Call& c) {
    const State& st = c.state<State>();
    auto [self, pattern] = c.parse<2>().named;
    tk_call(st, self, array_words(st, self, st.unset, pattern));
    return none();
}

Ref variable_array_size(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    return tk_call(st, self, array_words(st, self, st.size, nullptr));
}

Ref variable_array_names(const Call& c) {
    const State& st = c.state<State>();
    auto [self, pattern] = c.parse<2>().named;
    Ref result = tk_call(st, self, array_words(st, self, st.names, pattern));
    return host_cast(st, self, st.cast_list, result);
}

Ref variable_is_array(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    Ref result = tk_call(st, self, array_words(st, self, st.exists, nullptr));
    return host_cast(st, self, st.cast_boolean, result);
}

Ref variable_str(const Call& c) {
    const State& st = c.state<State>();
    return getattr(c.parse<1>().named[0], st.var_name);
}

Ref variable_tclobj(const Call& c) {
    const State& st = c.state<State>();
    return scriptify(st, getattr(c.parse<1>().named[0], st.var_name));
}

Ref variable_repr(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    Ref name = getattr(self, st.var_name);
    return own(PyUnicode_FromFormat("%U(%R)", class_name(self).get(), name.get()));
}

// ---------------------------------------------------------------------------------------------
// TempTclVariable

Ref temp_variable_init(const Call& c) {
    const State& st = c.state<State>();
    auto a = c.parse<2>();
    init_temporary(st, st.TempTclVariable, a.named[0], a.named[1], a.kwargs);
    return none();
}

Ref temp_variable_enter(const Call& c) {
    const State& st = c.state<State>();
    return enter_temporary(st, st.TempTclVariable, c.parse<1>().named[0]);
}

Ref temp_variable_exit(const Call& c) {
    const State& st = c.state<State>();
    call_method_kw(receiver(c), st.unset, st.kw_nocomplain, Py_True);
    return exit_temporary(st, st.TempTclVariable, c);
}

// ---------------------------------------------------------------------------------------------
// TclArrayVariable: the mapping operations, each one call of a TclVariable method

Ref array_init(const Call& c) {
    const State& st = c.state<State>();
    auto [self, var_name, tcl, cast] = c.parse<4>().named;
    Ref init = super_attr(st.TclArrayVariable, self, st.dunder_init);
    call_kw(init, st.kw_tcl_cast, var_name, tcl, cast);
    return none();
}

Ref array_len(const Call& c) {
    const State& st = c.state<State>();
    return call_method(c.parse<1>().named[0], st.array_size);
}

Ref array_iter(const Call& c) {
    const State& st = c.state<State>();
    return iterate_names(st, NameSource::ARRAY_ELEMENTS, c.parse<1>().named[0], nullptr);
}

Ref array_contains(const Call& c) {
    const State& st = c.state<State>();
    auto [self, key] = c.parse<2>().named;
    return call_method_kw(self, st.exists, st.kw_array_index, key);
}

Ref array_getitem(const Call& c) {
    const State& st = c.state<State>();
    auto [self, key] = c.parse<2>().named;
    return call_method_kw(self, st.get, st.kw_array_index, key);
}

Ref array_setitem(const Call& c) {
    const State& st = c.state<State>();
    auto [self, key, value] = c.parse<3>().named;
    call_method_kw(self, st.set, st.kw_array_index, value, key);
    return none();
}

Ref array_delitem(const Call& c) {
    const State& st = c.state<State>();
    auto [self, key] = c.parse<2>().named;
    call_method_kw(self, st.unset, st.kw_array_index, key);
    return none();
}

Ref array_clear(const Call& c) {
    const State& st = c.state<State>();
    call_method(c.parse<1>().named[0], st.array_unset);
    return none();
}

// One "::array set" for all the pairs, gathered as dict(*args, **kwargs) gathers them.
Ref array_update(const Call& c) {
    const State& st = c.state<State>();
    auto a = c.parse<1>();
    Ref pairs = own(PyObject_VectorcallDict(reinterpret_cast<PyObject*>(&PyDict_Type), a.rest,
                                            size_t(a.rest_count), a.kwargs.get()));
    call_method(a.named[0], st.array_set, pairs.get());
    return none();
}

// ---------------------------------------------------------------------------------------------
// TclCommand: a name, leading arguments and preset options

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
    Ref items = own(PyObject_GetIter(call_method(keywords, st.items)));
    while (Ref item = Ref::steal_maybe(PyIter_Next(items))) {
        Ref key = first_word(item);
        Ref value = own(PySequence_GetItem(item, 1));
        set_item(options, key, tclobj(st, value));
    }
    if (PyErr_Occurred()) raise_current();
    return options;
}

Ref command_init(const Call& c) {
    const State& st = c.state<State>();
    auto [self, cmd, args, keywords, tcl, cast, logger] = c.parse<7>().named;
    call_super_init(st.TclCommand, self, st.dunder_init);
    Ref package = import_cached(st.package_name);
    setattr(self, st.tcl, host_proxy(st, tcl));
    bool is_handle = check(PyObject_IsInstance(cmd, st.TclCommand)) != 0;
    Ref name, leading;
    if (args == Py_None) {
        Ref words = is_handle                 ? call_method(cmd, st.build_tclcmd)
                    : PyTuple_CheckExact(cmd) ? Ref::borrow(cmd)
                                              : call(getattr(package, st.cast_list), cmd);
        name = first_word(words);
        leading = later_words(words);
    } else {
        Ref split = call(getattr(package, st.cast_list), args);
        if (is_handle) {
            Ref build = getattr(cmd, st.build_tclcmd);
            Ref words = own(PyObject_Call(build, own(PySequence_Tuple(split)), nullptr));
            name = first_word(words);
            leading = later_words(words);
        } else {
            name = Ref::borrow(cmd);
            leading = split;
        }
    }
    setattr(self, st.cmd_name, scriptify(st, name));
    setattr(self, st.args, call(st.tclobj, leading.get()));
    setattr(self, st.keywords, preset_options(st, keywords));
    setattr(self, st.cast, cast);
    setattr(self, st.logger, logger);
    return none();
}

void append_dashed(const State& st, std::vector<Ref>& words, PyObject* options) {
    PyObject *key, *value;
    for (Py_ssize_t pos = 0; PyDict_Next(options, &pos, &key, &value);) {
        words.push_back(own(PyUnicode_Concat(st.dash, key)));
        words.push_back(Ref::borrow(value));
    }
}

// The options of one invocation: the presets, with this call's options replacing or following
// them.
Ref invocation_options(const State& st, PyObject* self, PyObject* kwargs) {
    Ref presets = getattr(self, st.keywords);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return presets;
    Ref options = PyDict_Check(presets) ? own(PyDict_Copy(presets))
                                        : call(reinterpret_cast<PyObject*>(&PyDict_Type), presets);
    PyObject *key, *value;
    for (Py_ssize_t pos = 0; PyDict_Next(kwargs, &pos, &key, &value);)
        set_item(options, key, tclobj(st, value));
    return options;
}

// kwargs_to_dashed_args is looked up through the instance so that a subclass may replace it.
void append_options(const State& st, std::vector<Ref>& words, PyObject* self, PyObject* options) {
    Ref dashed = getattr(self, st.kwargs_to_dashed_args);
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

Ref command_build_tclcmd(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self;
    PyObject* const* positional;
    Py_ssize_t count;
    Ref kwargs;
    if (c.keyword_count() == 0 && c.nargs > 0) {
        self = c.args[0], positional = c.args + 1, count = c.nargs - 1;
    } else {
        auto a = c.parse<1>();
        self = a.named[0], positional = a.rest, count = a.rest_count, kwargs = a.kwargs;
    }
    Ref name = getattr(self, st.cmd_name);
    Ref leading = getattr(self, st.args);
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
    return tuple_from(words);
}

Ref command_kwargs_to_dashed_args(const Call& c) {
    const State& st = c.state<State>();
    auto a = c.parse<0>();
    std::vector<Ref> words;
    if (a.kwargs) append_dashed(st, words, a.kwargs);
    return tuple_from(words);
}

Ref command_call(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = receiver(c);
    Ref words = forward_to_method(c, st.build_tclcmd);
    Ref logger = getattr(self, st.logger);
    if (is_true(logger)) {
        Ref line = call_method(st.calling, st.format, scriptify(st, words).get());
        call_method(logger, st.info, line.get());
    }
    return apply_cast(st, self, tk_call(st, self, words));
}

Ref command_dunder_call(const Call& c) {
    const State& st = c.state<State>();
    receiver(c);
    return forward_to_method(c, st.call);
}

Ref command_eval(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = receiver(c);
    Ref words = forward_to_method(c, st.build_tclcmd);
    Ref result = call_method(tk_of(st, self), st.eval, command_script(st, words).get());
    return apply_cast(st, self, std::move(result));
}

// self.tcl.tk.call((word, word, cmd_name)).
Ref command_query(const State& st, PyObject* self, PyObject* first, PyObject* second) {
    Ref name = getattr(self, st.cmd_name);
    return tk_call(st, self, tuple(first, second, name.get()));
}

Ref command_createcommand(const Call& c) {
    const State& st = c.state<State>();
    auto [self, func] = c.parse<2>().named;
    Ref name = getattr(self, st.cmd_name);
    call_method(tk_of(st, self), st.createcommand, name.get(), func);
    return none();
}

Ref command_exists(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    return boolean(is_true(command_query(st, self, st.w_info, st.commands)));
}

Ref command_is_command(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    Ref exists = call_method(self, st.exists);
    if (!is_true(exists)) return exists;
    return boolean(!is_true(call_method(self, st.is_proc)));
}

Ref command_is_proc(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    return boolean(is_true(command_query(st, self, st.w_info, st.procs)));
}

Ref command_rename(const Call& c) {
    const State& st = c.state<State>();
    auto [self, new_name] = c.parse<2>().named;
    Ref name = getattr(self, st.cmd_name);
    Ref target = scriptify(st, new_name);
    tk_call(st, self, tuple(st.w_rename, name.get(), target.get()));
    setattr(self, st.cmd_name, target);
    return none();
}

Ref command_delete(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    Ref name = getattr(self, st.cmd_name);
    tk_call(st, self, tuple(st.w_rename, name.get(), st.empty));
    return none();
}

Ref command_origin(const Call& c) {
    const State& st = c.state<State>();
    return command_query(st, c.parse<1>().named[0], st.w_namespace, st.origin);
}

Ref command_proc_body(const Call& c) {
    const State& st = c.state<State>();
    return command_query(st, c.parse<1>().named[0], st.w_info, st.body);
}

Ref command_proc_args(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    return host_cast(st, self, st.cast_list, command_query(st, self, st.w_info, st.args));
}

// Tcl writes the default into a variable, so a temporary one receives it and is unset afterwards
// whatever happens.
Ref command_proc_arg_default(const Call& c) {
    const State& st = c.state<State>();
    auto [self, arg_name] = c.parse<2>().named;
    Ref temporary = call_kw(st.TempTclVariable, st.kw_tcl, host_of(st, self).get());
    return within(st, temporary, [&](PyObject* variable) -> Ref {
        Ref name = getattr(self, st.cmd_name);
        Ref words =
            tuple(st.w_info, st.default_word, name.get(), scriptify(st, arg_name).get(), variable);
        Ref found = host_cast(st, self, st.cast_boolean, tk_call(st, self, words));
        return is_true(found) ? call_method(variable, st.get) : none();
    });
}

Ref command_repr(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    Ref name = getattr(self, st.cmd_name);
    Ref text = own(PyUnicode_FromFormat("%U(%R", class_name(self).get(), name.get()));
    auto add_if_true = [&](const char* format, PyObject* attribute) {
        Ref value = getattr(self, attribute);
        if (is_true(value))
            text = own(PyUnicode_Concat(text, own(PyUnicode_FromFormat(format, value.get()))));
    };
    add_if_true(", args=%R", st.args);
    add_if_true(", keywords=%R", st.keywords);
    add_if_true(", cast=%R", st.cast);
    return own(PyUnicode_Concat(text, from_utf8(")")));
}

Ref command_str(const Call& c) {
    const State& st = c.state<State>();
    return scriptify(st, call_method(c.parse<1>().named[0], st.build_tclcmd));
}

Ref command_tclobj(const Call& c) {
    const State& st = c.state<State>();
    return call_method(c.parse<1>().named[0], st.build_tclcmd);
}

// Binds like a method through an instance; through the class (no instance) the handle itself
// comes back, as for a Python function, so that help(), inspect and dir()-based tools work.
Ref command_get(const Call& c) {
    auto [self, instance, owner] = c.parse<3>().named;
    (void)owner;
    if (instance == Py_None) return Ref::borrow(self);
    return own(PyMethod_New(self, instance));
}

// ---------------------------------------------------------------------------------------------
// TclNamespace: the name algebra

Ref namespace_qualifiers(const Call& c) {
    const State& st = c.state<State>();
    return qualifiers_of(st, name_text(st, c.parse<1>().named[0]));
}

Ref namespace_tail(const Call& c) {
    const State& st = c.state<State>();
    return tail_of(st, name_text(st, c.parse<1>().named[0]));
}

Ref namespace_join(const Call& c) {
    const State& st = c.state<State>();
    if (c.keyword_count() == 0 && c.nargs > 0) return join_names(st, c.args, c.nargs);
    auto a = c.parse<1>();
    std::vector<PyObject*> items{a.named[0]};
    items.insert(items.end(), a.rest, a.rest + a.rest_count);
    return join_names(st, items.data(), Py_ssize_t(items.size()));
}

Ref namespace_split(const Call& c) {
    const State& st = c.state<State>();
    return split_name(name_text(st, c.parse<1>().named[0]));
}

Ref namespace_normalize(const Call& c) {
    const State& st = c.state<State>();
    return normalize_name(name_text(st, c.parse<1>().named[0]));
}

// ---------------------------------------------------------------------------------------------
// TclNamespace: a handle on a namespace

Ref namespace_init(const Call& c) {
    const State& st = c.state<State>();
    auto [self, ns, tcl] = c.parse<3>().named;
    call_super_init(st.TclNamespace, self, st.dunder_init);
    setattr(self, st.ns, scriptify(st, ns));
    setattr(self, st.tcl, host_proxy(st, tcl));
    // The view classes are looked up on TclNamespace, so that replacing one there takes effect.
    const std::pair<PyObject*, PyObject*> views[] = {
        {st.vars, st.VariablesView},
        {st.objs, st.ObjectsView},
        {st.procs, st.ProcsView},
        {st.cmds, st.CommandsView},
    };
    for (auto [attribute, view_class] : views)
        setattr(self, attribute, call(getattr(st.TclNamespace, view_class), self));
    return none();
}

// self.call(words): the words run inside the namespace.
Ref scoped_call(const State& st, PyObject* self, PyObject* words) {
    return call_method(self, st.call, words);
}

// The words of a namespace query with a variable tail: ("namespace", subcommand, flags...,
// args...), the flags being those whose condition holds.
Ref namespace_words(const State& st, PyObject* subcommand,
                    std::initializer_list<std::pair<bool, PyObject*>> flags, PyObject* const* args,
                    Py_ssize_t count) {
    std::vector<Ref> words{Ref::borrow(st.namespace_word), Ref::borrow(subcommand)};
    for (auto [present, flag] : flags)
        if (present) words.push_back(Ref::borrow(flag));
    for (Py_ssize_t i = 0; i < count; ++i)
        words.push_back(Ref::borrow(args[i]));
    return tuple_from(words);
}

// The namespace a query without a name is about: the handle's own, or the current one when the
// handle has no name.
Ref named_or_current(const State& st, PyObject* self) {
    Ref ns = getattr(self, st.ns);
    return is_true(ns) ? ns : call_method(self, st.current);
}

Ref namespace_children(const Call& c) {
    const State& st = c.state<State>();
    auto [self, pattern] = c.parse<2>().named;
    Ref words = pattern == Py_None
                    ? tuple(st.namespace_word, st.children)
                    : tuple(st.namespace_word, st.children, scriptify(st, pattern).get());
    return host_cast(st, self, st.cast_list, scoped_call(st, self, words));
}

Ref namespace_code(const Call& c) {
    const State& st = c.state<State>();
    auto [self, script] = c.parse<2>().named;
    return scoped_call(st, self, tuple(st.namespace_word, st.code, script));
}

Ref namespace_current(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    return tk_call(st, self, tuple(st.namespace_word, st.current));
}

Ref namespace_create(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    if (!is_true(getattr(self, st.ns))) raise(PyExc_ValueError, "Cannot create current namespace");
    call_method(self, st.eval, st.empty);
    return none();
}

Ref namespace_delete(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    Ref target = named_or_current(st, self);
    tk_call(st, self, tuple(st.namespace_word, st.delete_, target.get()));
    return none();
}

Ref namespace_exists(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    Ref target = named_or_current(st, self);
    Ref result = tk_call(st, self, tuple(st.namespace_word, st.exists, target.get()));
    return host_cast(st, self, st.cast_boolean, result);
}

// The command that call() and eval() run: the given words (one command, or a script), inside a
// `namespace eval` of the handle's namespace when it has a name. For eval, a word list becomes its
// script here, so that a first word starting with "#" is not read as a comment.
Ref scoped_command(const State& st, const Call& c, bool as_script) {
    auto a = c.parse<2>();
    auto [self, tclcmd] = a.named;
    Ref command = Ref::borrow(tclcmd);
    if (a.rest_count) {
        std::vector<Ref> words{command};
        for (Py_ssize_t i = 0; i < a.rest_count; ++i)
            words.push_back(Ref::borrow(a.rest[i]));
        command = tuple_from(words);
    }
    if (as_script && !PyUnicode_Check(command)) command = command_script(st, command);
    Ref ns = getattr(self, st.ns);
    if (is_true(ns)) command = tuple(st.namespace_word, st.eval, ns.get(), command.get());
    return command;
}

Ref namespace_eval(const Call& c) {
    const State& st = c.state<State>();
    Ref command = scoped_command(st, c, true);
    Ref script = words_text(st, command);
    return call_method(tk_of(st, c.args[0]), st.eval, script.get());
}

Ref namespace_call(const Call& c) {
    const State& st = c.state<State>();
    Ref command = scoped_command(st, c, false);
    Ref words = call(st.tclobj, command.get());
    return tk_call(st, c.args[0], words);
}

Ref namespace_export(const Call& c) {
    const State& st = c.state<State>();
    auto a = c.parse<2>();
    auto [self, clear] = a.named;
    bool clearing = is_true(clear);
    Ref words = namespace_words(st, st.export_, {{clearing, st.w_clear}}, a.rest, a.rest_count);
    Ref result = scoped_call(st, self, words);
    if (clearing || a.rest_count) return none();
    return host_cast(st, self, st.cast_list, result);
}

Ref namespace_forget(const Call& c) {
    const State& st = c.state<State>();
    auto a = c.parse<1>();
    scoped_call(st, a.named[0], namespace_words(st, st.forget, {}, a.rest, a.rest_count));
    return none();
}

Ref namespace_import(const Call& c) {
    const State& st = c.state<State>();
    auto a = c.parse<2>();
    auto [self, force] = a.named;
    Ref words =
        namespace_words(st, st.import_, {{is_true(force), st.w_force}}, a.rest, a.rest_count);
    scoped_call(st, self, words);
    return none();
}

Ref namespace_origin(const Call& c) {
    const State& st = c.state<State>();
    auto [self, command] = c.parse<2>().named;
    return scoped_call(st, self, tuple(st.namespace_word, st.origin, command));
}

// The parent of an absolute name, worked out as Tcl's `namespace parent` answers: the name's
// qualifiers, "::" for a child of the global namespace, and "" for the global namespace itself.
Ref parent_name(const State& st, PyObject* ns) {
    Ref name = normalize_name(name_text(st, ns));
    Py_ssize_t p = check_size(PyUnicode_Find(name, st.separator, 0, PY_SSIZE_T_MAX, -1));
    if (p == -1) return Ref::borrow(st.empty);
    if (p == 0) return Ref::borrow(st.separator);
    return own(PyUnicode_Substring(name, 0, p));
}

Ref namespace_parent(const Call& c) {
    const State& st = c.state<State>();
    auto [self, force_eval] = c.parse<2>().named;
    if (is_true(force_eval) && is_true(call_method(self, st.is_absolute)))
        return parent_name(st, getattr(self, st.ns));
    Ref ns = getattr(self, st.ns);
    Ref words = is_true(ns) ? tuple(st.namespace_word, st.parent, ns.get())
                            : tuple(st.namespace_word, st.parent);
    return tk_call(st, self, call(st.tclobj, words.get()));
}

Ref namespace_which(const Call& c) {
    const State& st = c.state<State>();
    auto [self, name, command, variable] = c.parse<4>().named;
    PyObject* tail[] = {name};
    Ref words = namespace_words(
        st, st.which, {{is_true(command), st.w_command}, {is_true(variable), st.w_variable}}, tail,
        1);
    return scoped_call(st, self, words);
}

// `self.ns and self.ns.startswith("::")` (negated for is_relative): the empty name itself when
// the handle has none.
Ref absolute_test(const State& st, PyObject* self, bool wanted) {
    Ref ns = getattr(self, st.ns);
    if (!is_true(ns)) return ns;
    bool absolute = PyUnicode_Check(ns) ? starts_with_separator(ns)
                                        : is_true(call_method(ns, st.startswith, st.separator));
    return boolean(absolute == wanted);
}

Ref namespace_is_absolute(const Call& c) {
    const State& st = c.state<State>();
    return absolute_test(st, c.parse<1>().named[0], true);
}

Ref namespace_is_relative(const Call& c) {
    const State& st = c.state<State>();
    return absolute_test(st, c.parse<1>().named[0], false);
}

Ref namespace_absolute(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    if (is_true(call_method(self, st.is_absolute))) return getattr(self, st.ns);
    Ref current = call_method(self, st.current);
    return join_two(st, current, getattr(self, st.ns));
}

Ref namespace_make_absolute(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    setattr(self, st.ns, call_method(self, st.absolute));
    return none();
}

Ref namespace_str(const Call& c) {
    const State& st = c.state<State>();
    return getattr(c.parse<1>().named[0], st.ns);
}

// ---------------------------------------------------------------------------------------------
// Views: mappings of a namespace's variables, commands and procs. Each operation makes a handle
// with the view's byref() and calls one of its methods; nothing is cached.

template <PyObject* State::* View>
Ref view_init(const Call& c) {
    const State& st = c.state<State>();
    auto [self, ns] = c.parse<2>().named;
    if (st.assertions && !check(PyObject_IsInstance(ns, st.TclNamespace))) {
        PyErr_SetNone(PyExc_AssertionError);
        raise_current();
    }
    call_super_init(st.*View, self, st.dunder_init);
    setattr(self, st.ns, ns);
    return none();
}

// The qualified name of `name` in the view's namespace.
Ref qualified(const State& st, PyObject* view, PyObject* name) {
    return join_two(st, getattr(view, st.ns), name);
}

[[noreturn]] void given_twice(const Call& c, const char* keyword) {
    raise_format(PyExc_TypeError, "%U() got multiple values for keyword argument '%s'",
                 c.function->qualname, keyword);
}

// handle_class(first, *rest, tcl=host, **kwargs).
Ref make_handle(const State& st, PyObject* handle_class, PyObject* first, PyObject* host,
                PyObject* const* rest, Py_ssize_t count, PyObject* kwargs) {
    if (count == 0 && (!kwargs || PyDict_GET_SIZE(kwargs) == 0)) {
        PyObject* args[] = {first, host};
        return construct(st, handle_class, args, 1, st.kw_tcl, st.dunder_init);
    }
    std::vector<PyObject*> args{first};
    args.insert(args.end(), rest, rest + count);
    Ref keywords = new_dict();
    set_item(keywords, st.tcl, host);
    if (kwargs) check(PyDict_Update(keywords, kwargs));
    return own(PyObject_VectorcallDict(handle_class, args.data(), args.size(), keywords));
}

Ref variables_byref(const Call& c) {
    const State& st = c.state<State>();
    auto a = c.parse<2>();
    auto [self, var_name] = a.named;
    Ref var_type = Ref::borrow(st.TclVariable);
    if (a.kwargs) {
        if (PyObject* given = PyDict_GetItemWithError(a.kwargs, st.var_type)) {
            var_type = Ref::borrow(given);
            check(PyDict_DelItem(a.kwargs, st.var_type));
        } else if (PyErr_Occurred()) {
            raise_current();
        }
        if (check(PyDict_Contains(a.kwargs, st.tcl))) given_twice(c, "tcl");
    }
    Ref ns = getattr(self, st.ns);
    Ref name = join_two(st, ns, var_name);
    return make_handle(st, var_type, name, host_of(st, ns), a.rest, a.rest_count, a.kwargs);
}

Ref variables_array_byref(const Call& c) {
    const State& st = c.state<State>();
    auto a = c.parse<2>();
    auto [self, var_name] = a.named;
    Ref keywords = new_dict();
    set_item(keywords, st.var_type, st.TclArrayVariable);
    if (a.kwargs) {
        if (check(PyDict_Contains(a.kwargs, st.var_type))) given_twice(c, "var_type");
        check(PyDict_Update(keywords, a.kwargs));
    }
    std::vector<PyObject*> args{var_name};
    args.insert(args.end(), a.rest, a.rest + a.rest_count);
    Ref byref = getattr(self, st.byref);
    return own(PyObject_VectorcallDict(byref, args.data(), args.size(), keywords));
}

// A view method (self, name, *more): the handle that byref() makes for `name`, then its method
// `Method` with the remaining arguments, the last of them passed by the keywords of the tuple
// `Keywords` when there is one.
template <PyObject* State::* Method, size_t N, PyObject* State::* Keywords = nullptr>
Ref delegate(const Call& c) {
    const State& st = c.state<State>();
    auto named = c.parse<N>().named;
    Ref handle = call_method(named[0], st.byref, named[1]);
    PyObject* argv[N - 1] = {handle.get()};
    std::copy(named.begin() + 2, named.end(), argv + 1);
    PyObject* kwnames = nullptr;
    if constexpr (Keywords != nullptr) kwnames = st.*Keywords;
    size_t keywords = kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0;
    return own(PyObject_VectorcallMethod(st.*Method, argv, N - 1 - keywords, kwnames));
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

Ref variables_getitem(const Call& c) {
    const State& st = c.state<State>();
    auto [self, name] = c.parse<2>().named;
    return as_key_error({st.TclError, PyExc_ValueError},
                        [&] { return call_method(self, st.get, name); });
}

// An item method that is one call of another method of the view, self.<Method>(*args), returning
// its result, or None for an assignment.
template <PyObject* State::* Method, size_t N, bool Assignment = false>
Ref on_self(const Call& c) {
    const State& st = c.state<State>();
    auto named = c.parse<N>().named;
    Ref result = own(PyObject_VectorcallMethod(st.*Method, named.data(), N, nullptr));
    return Assignment ? none() : result;
}

// del view[name]: `method` (unset or delete) of the name, a TclError reported as KeyError.
Ref view_delete_item(const Call& c, PyObject* method) {
    const State& st = c.state<State>();
    auto [self, name] = c.parse<2>().named;
    as_key_error({st.TclError}, [&] { return call_method(self, method, name); });
    return none();
}

Ref variables_delitem(const Call& c) {
    return view_delete_item(c, c.state<State>().unset);
}

// The number of names that iterating the view yields. For the view's own query the names are
// counted in Tcl, so that len() (which list() and friends ask first) costs no Python objects.
Ref view_len(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    Ref iterator = own(PyObject_GetIter(self));
    if (Py_TYPE(iterator.get()) == st.lazy_names) {
        auto* names = reinterpret_cast<LazyNames*>(iterator.get());
        if (names->source == NameSource::VIEW_QUERY) {
            Ref script =
                own(PyUnicode_FromFormat("::llength [%U]", scriptify(st, names->query).get()));
            Ref count = call_method(getattr(self, st.ns), st.eval, script.get());
            return own(PyNumber_Long(count));
        }
    }
    Py_ssize_t count = 0;
    while (Ref item = Ref::steal_maybe(PyIter_Next(iterator)))
        ++count;
    if (PyErr_Occurred()) raise_current();
    return own(PyLong_FromSsize_t(count));
}

template <PyObject* State::* Query>
Ref view_iter(const Call& c) {
    const State& st = c.state<State>();
    return iterate_names(st, NameSource::VIEW_QUERY, c.parse<1>().named[0], st.*Query);
}

Ref commands_byref(const Call& c) {
    const State& st = c.state<State>();
    auto a = c.parse<2>();
    auto [self, cmd_name] = a.named;
    if (a.kwargs && check(PyDict_Contains(a.kwargs, st.tcl))) given_twice(c, "tcl");
    // A one-word tuple, so that the name is never split as a Tcl list.
    Ref ns = getattr(self, st.ns);
    Ref words = tuple(join_two(st, ns, cmd_name).get());
    return make_handle(st, st.TclCommand, words, host_of(st, ns), a.rest, a.rest_count, a.kwargs);
}

Ref commands_rename(const Call& c) {
    const State& st = c.state<State>();
    auto [self, cmd_name, new_name] = c.parse<3>().named;
    Ref target = qualified(st, self, new_name);
    return call_method(call_method(self, st.byref, cmd_name), st.rename, target.get());
}

Ref commands_delitem(const Call& c) {
    return view_delete_item(c, c.state<State>().delete_);
}

// ---------------------------------------------------------------------------------------------
// TempTclCommand and TempTclNamespace

// self.delete(), with a TclError (an object already gone) ignored.
void delete_quietly(const State& st, PyObject* self) {
    ignoring(st.TclError, [&] { call_method(self, st.delete_); });
}

// Removes the command just registered by a constructor that then failed: no handle will ever
// delete it. The constructor's error is what the caller sees, so one from the removal is dropped.
void withdraw_command(const State& st, PyObject* self) {
    PendingError failure;
    try {
        call_method(self, st.delete_);
    } catch (const PythonError&) {
        PyErr_Clear();
    }
}

// A command goes with its interpreter: once the host behind the handle's weak proxy is gone,
// there is nothing left to delete.
bool host_gone(const State& st, PyObject* self) {
    Ref tcl = getattr_optional(self, st.tcl);
    return tcl && PyWeakref_CheckProxy(tcl) && !weakref_target(tcl);
}

Ref temp_command_init(const Call& c) {
    const State& st = c.state<State>();
    auto a = c.parse<3>();
    auto [self, func, cmd_name] = a.named;
    init_temporary(st, st.TempTclCommand, self, cmd_name, a.kwargs);
    if (func != Py_None && is_true(func)) {
        call_method(self, st.createcommand, func);
        try {
            call(getattr(st.functools, st.update_wrapper), self, func);
        } catch (const PythonError&) {
            withdraw_command(st, self);
            throw;
        }
    }
    return none();
}

template <PyObject* State::* Class>
Ref temp_enter(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    Ref result = enter_temporary(st, st.*Class, self);
    if constexpr (Class == &State::TempTclNamespace) call_method(self, st.create);
    return result;
}

template <PyObject* State::* Class>
Ref temp_exit(const Call& c) {
    const State& st = c.state<State>();
    delete_quietly(st, receiver(c));
    return exit_temporary(st, st.*Class, c);
}

// A command made with a function is deleted when its handle goes, unless its interpreter went
// first; one made without a function was never registered by the handle and is left alone.
Ref temp_command_del(const Call& c) {
    const State& st = c.state<State>();
    PyObject* self = c.parse<1>().named[0];
    if (getattr_optional(self, st.dunder_wrapped) && !host_gone(st, self)) delete_quietly(st, self);
    Ref later = super_attr_optional(st.TempTclCommand, self, st.dunder_del);
    if (later && is_true(later)) call(later);
    return none();
}

Ref temp_namespace_init(const Call& c) {
    const State& st = c.state<State>();
    auto a = c.parse<2>();
    init_temporary(st, st.TempTclNamespace, a.named[0], a.named[1], a.kwargs);
    return none();
}

// ---------------------------------------------------------------------------------------------
// Definitions

constexpr const char* variable_doc =
    "A handle on a Tcl variable: a scalar, an array, or one element of an array.\n\n"
    "TclVariable(var_name, array_index=None, tcl=None, cast=None) names the variable\n"
    "var_name, or its element array_index, in the interpreter tcl (the package's default\n"
    "interpreter when none is given), held only through a weak proxy. cast, when true, is\n"
    "applied to what get_obj() reads. Making a handle sends nothing to Tcl.";

const FunctionDef variable_methods[] = {
    {"__init__", variable_init, "(self, var_name, array_index=None, tcl=None, cast=None)",
     "Name the variable (or its element array_index) of the interpreter tcl."},
    {"get_obj", variable_get_obj, "(self, array_index=None, cast=...)",
     "Return the value as the interpreter's object, or that of element array_index.\n\n"
     "The handle's cast is applied unless cast is given: cast=None reads the raw value,\n"
     "another callable is applied instead. TclError when the variable does not exist."},
    {"get_str", variable_get_str, "(self, array_index=None)",
     "Return the value (or that of element array_index) as the interpreter's string."},
};

const FunctionDef variable_more_methods[] = {
    {"set", variable_set, "(self, value, array_index=None)",
     "Set the variable (or its element array_index) to value, converted by tclobj()."},
    {"unset", variable_unset, "(self, array_index=None, nocomplain=False)",
     "Unset the variable (or its element array_index).\n\n"
     "A missing variable raises TclError unless nocomplain is true."},
    {"exists", variable_exists, "(self, array_index=None)",
     "Return True when the variable (or its element array_index) exists."},
    {"array_item_byref", variable_array_item_byref, "(self, array_index, cast=None)",
     "Return a new TclVariable on element array_index of this array, with the given cast."},
    {"array_get_obj", variable_array_get_obj, "(self, pattern=None)",
     "Return the array's elements (those matching pattern) as a dict, read by a call."},
    {"array_get_str", variable_array_get_str, "(self, pattern=None)",
     "Return the array's elements (those matching pattern) as a dict, read by a script."},
};

const FunctionDef variable_array_methods[] = {
    {"array_set", variable_array_set, "(self, value)",
     "Set elements of the array from a mapping or a flat sequence of names and values."},
    {"array_unset", variable_array_unset, "(self, pattern=None)",
     "Unset the elements matching pattern, or the whole array when pattern is None."},
    {"array_size", variable_array_size, "(self)",
     "Return the number of elements of the array (0 when it does not exist)."},
    {"array_names", variable_array_names, "(self, pattern=None)",
     "Return the names of the array's elements (those matching pattern)."},
    {"is_array", variable_is_array, "(self)", "Return True when the variable is an array."},
    {"absolute", absolute_entry<&State::var_name>, "(self)",
     "Return the variable's name, qualified by the current namespace when relative."},
    {"make_absolute", make_absolute_entry<&State::var_name>, "(self)",
     "Replace the handle's name by its absolute form."},
    {"__str__", variable_str, "(self)", "Return the variable's name."},
    {"__tclobj__", variable_tclobj, "(self)",
     "Return the variable's name: passed to a command, a handle stands for its variable."},
    {"__repr__", variable_repr, "(self)", "Return ClassName('name')."},
};

constexpr const char* temporary_template = "'::__tarvik__{cls}_{id}_tmp'";

constexpr const char* temp_variable_doc =
    "A TclVariable that is unset when its with block ends.\n\n"
    "The name, by default '::__tarvik__{cls}_{id}_tmp', is formatted with the class name\n"
    "and the handle's id(), so temporaries alive at the same time never share a name.\n"
    "Nothing is created on entry: the variable exists once something sets it.";

constexpr const char* array_doc =
    "A TclVariable on a whole array that is also a mutable mapping of element names to\n"
    "values: a[key] reads an element with the handle's cast, a[key] = value sets it, del\n"
    "a[key] unsets it (a missing element raises TclError), len() and iteration ask Tcl\n"
    "each time. get() is TclVariable.get: its arguments are the index and the cast.";

const FunctionDef array_methods[] = {
    {"__init__", array_init, "(self, var_name, tcl=None, cast=None)",
     "Name the array var_name of the interpreter tcl."},
};

const FunctionDef array_mapping_methods[] = {
    {"__len__", array_len, "(self)", "Return array_size()."},
    {"__iter__", array_iter, "(self)",
     "Iterate over the element names, fetched when iteration starts."},
    {"__contains__", array_contains, "(self, key)", "Return True when element key exists."},
    {"__getitem__", array_getitem, "(self, key)", "Return element key, cast by the handle."},
    {"__setitem__", array_setitem, "(self, key, value)", "Set element key to value."},
    {"__delitem__", array_delitem, "(self, key)", "Unset element key (TclError if missing)."},
    {"clear", array_clear, "(self)", "Unset the whole array."},
    {"update", array_update, "(self, *args, **kwargs)",
     "Set the elements of dict(*args, **kwargs) with one 'array set'."},
};

constexpr const char* temp_array_doc =
    "A TclArrayVariable that is unset when its with block ends (see TempTclVariable).";

constexpr const char* command_doc =
    "A handle on a Tcl command: its name, leading arguments and preset options.\n\n"
    "TclCommand(cmd, args=None, keywords=None, tcl=None, cast=None, logger=None): cmd is a\n"
    "command string (split as a Tcl list into the name and leading arguments), an exact\n"
    "tuple of words, or another TclCommand (whose whole command line is taken over); args\n"
    "adds leading arguments; keywords are preset options, sent as -name value pairs.\n"
    "Calling the handle runs the command with further arguments and options; stored as a\n"
    "class attribute it binds like a method, its instance becoming the first argument.";

const FunctionDef command_methods[] = {
    {"__init__", command_init,
     "(self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)",
     "Hold the command cmd of the interpreter tcl."},
    {"createcommand", command_createcommand, "(self, func)",
     "Register the Python callable func as the Tcl command of this name."},
    {"exists", command_exists, "(self)",
     "Return True when a command matches the name (read as an 'info commands' pattern)."},
    {"is_command", command_is_command, "(self)",
     "Return True when the command exists and is not a proc."},
    {"is_proc", command_is_proc, "(self)",
     "Return True when a proc matches the name (read as an 'info procs' pattern)."},
    {"rename", command_rename, "(self, new_name)",
     "Rename the command; the handle takes the new name once Tcl has renamed it."},
    {"delete", command_delete, "(self)", "Delete the command (the handle keeps its name)."},
    {"origin", command_origin, "(self)", "Return the fully qualified name of the original."},
    {"proc_body", command_proc_body, "(self)", "Return the body of the proc."},
    {"proc_args", command_proc_args, "(self)", "Return the argument names of the proc."},
    {"proc_arg_default", command_proc_arg_default, "(self, arg_name)",
     "Return the default value of the proc's argument arg_name, or None when it has none."},
    {"build_tclcmd", command_build_tclcmd, "(self, *args, **kwargs)",
     "Return the word tuple: name, leading arguments, args, then the preset options\n"
     "updated by kwargs as -name value pairs."},
};

const FunctionDef command_static_methods[] = {
    {"kwargs_to_dashed_args", command_kwargs_to_dashed_args, "(**kwargs)",
     "Return ('-name', value, ...) for the keyword arguments, in order, unconverted."},
};

const FunctionDef command_call_methods[] = {
    {"call", command_call, "(self, *args, **kwargs)",
     "Run the command with further arguments and options; return the result, cast by\n"
     "the handle's cast when that is true. A logger, when set, gets one 'Calling:' line."},
    {"__call__", command_dunder_call, "(self, *args, **kwargs)", "Return self.call(...)."},
    {"eval", command_eval, "(self, *args, **kwargs)",
     "Run the command as a script of its quoted words; return the (cast) result."},
    {"absolute", absolute_entry<&State::cmd_name>, "(self)",
     "Return the command's name, qualified by the current namespace when relative."},
    {"make_absolute", make_absolute_entry<&State::cmd_name>, "(self)",
     "Replace the handle's name by its absolute form."},
    {"__repr__", command_repr, "(self)",
     "Return ClassName('name', args=..., keywords=..., cast=...) with the set parts."},
    {"__str__", command_str, "(self)", "Return the whole command as a Tcl list string."},
    {"__tclobj__", command_tclobj, "(self)",
     "Return the word tuple: passed to a command, a handle becomes one list word."},
    {"__get__", command_get, "(self, instance, owner=None)",
     "Bind to instance like a method; through the class, return the handle itself."},
};

constexpr const char* namespace_doc =
    "A handle on a Tcl namespace, and the algebra of qualified Tcl names.\n\n"
    "TclNamespace(ns, tcl=None) names the namespace ns (relative, absolute, or empty for\n"
    "whatever namespace is current) of the interpreter tcl, held only through a weak proxy.\n"
    "Making a handle sends nothing; call() and eval() run commands inside the namespace,\n"
    "which creates it. The views vars, objs, cmds and procs present its variables (as\n"
    "strings or objects), commands and procs as mappings.\n\n"
    "The static methods qualifiers, tail, join, split and normalize work on names alone,\n"
    "without an interpreter; a part of a name must not contain a colon.";

const FunctionDef namespace_methods[] = {
    {"__init__", namespace_init, "(self, ns, tcl=None)",
     "Name the namespace ns of the interpreter tcl and make its four views."},
    {"children", namespace_children, "(self, pattern=None)",
     "Return the child namespaces (those matching pattern)."},
    {"code", namespace_code, "(self, script)",
     "Return script captured to run in this namespace later."},
    {"current", namespace_current, "(self)", "Return the interpreter's current namespace."},
    {"create", namespace_create, "(self)",
     "Create the namespace; ValueError for a handle without a name."},
    {"delete", namespace_delete, "(self)",
     "Delete the namespace (the current one for a handle without a name)."},
    {"eval", namespace_eval, "(self, tclcmd, *args)",
     "Evaluate a script, or the command of the words tclcmd, *args, in the namespace."},
    {"call", namespace_call, "(self, tclcmd, *args)",
     "Run the command of the words tclcmd, *args (or the words tuple tclcmd) in the\n"
     "namespace, without substitution."},
    {"exists", namespace_exists, "(self)", "Return True when the namespace exists."},
    {"export", namespace_export, "(self, clear=False, *patterns)",
     "Add export patterns (after clearing the list when clear is true); with neither,\n"
     "return the export list."},
    {"forget", namespace_forget, "(self, *patterns)",
     "Remove commands imported into the namespace that match the patterns."},
    {"import_", namespace_import, "(self, force=False, *patterns)",
     "Import the commands matching the patterns, replacing existing ones when force is\n"
     "true."},
    {"origin", namespace_origin, "(self, command)",
     "Return the fully qualified name of the command that command was imported from."},
    {"parent", namespace_parent, "(self, force_eval=False)",
     "Return the parent namespace. With force_eval true, the parent of an absolute name is\n"
     "worked out from the name alone, without asking Tcl."},
    {"which", namespace_which, "(self, name, command=False, variable=False)",
     "Return the fully qualified name that name resolves to in the namespace."},
    {"is_absolute", namespace_is_absolute, "(self)",
     "Return whether the name starts with '::' (the empty name for a handle without one)."},
    {"is_relative", namespace_is_relative, "(self)",
     "Return whether the name is relative (the empty name for a handle without one)."},
    {"absolute", namespace_absolute, "(self)",
     "Return the absolute name, joining a relative one to the current namespace."},
    {"make_absolute", namespace_make_absolute, "(self)",
     "Replace the handle's name by its absolute form."},
    {"__str__", namespace_str, "(self)", "Return the namespace's name."},
};

const FunctionDef namespace_static_methods[] = {
    {"qualifiers", namespace_qualifiers, "(string)",
     "Return the leading qualifiers of a name, as 'namespace qualifiers' does."},
    {"tail", namespace_tail, "(string)", "Return the last part of a name."},
    {"join", namespace_join, "(string, *args)",
     "Join names in normal form; an absolute name discards what came before it."},
    {"split", namespace_split, "(string)",
     "Return the parts of a name; an absolute name starts with the part ''."},
    {"normalize", namespace_normalize, "(string)",
     "Return the normal form of a name ('::' for the global namespace becomes '')."},
};

constexpr const char* variables_view_doc =
    "The variables of a namespace as a mapping of names to values as strings.\n\n"
    "view[name] reads a variable (KeyError, caused by the TclError or ValueError, when it\n"
    "cannot), view[name] = value sets it, del view[name] unsets it; iteration and len()\n"
    "ask 'info vars' in the namespace each time. A name starting with '::' is used as it\n"
    "is. get() takes exactly one name and raises TclError for a missing variable.";

const FunctionDef variables_view_methods[] = {
    {"__init__", view_init<&State::variables_view>, "(self, ns)",
     "View the variables of the namespace handle ns."},
    {"byref", variables_byref, "(self, var_name, *args, **kwargs)",
     "Return a new handle (var_type, by default TclVariable) on the variable var_name of\n"
     "the namespace; other arguments go to its constructor."},
    {"array_byref", variables_array_byref, "(self, var_name, *args, **kwargs)",
     "Return a new TclArrayVariable on the array var_name of the namespace."},
    {"get", delegate<&State::get_str, 2>, "(self, var_name)",
     "Return the variable's value as a string."},
    {"set", delegate<&State::set, 4, &State::kw_array_index>,
     "(self, var_name, value, array_index=None)",
     "Set the variable (or its element array_index) to value."},
    {"unset", delegate<&State::unset, 4, &State::kw_index_nocomplain>,
     "(self, var_name, array_index=None, nocomplain=False)",
     "Unset the variable (or its element array_index)."},
    {"array_get", delegate<&State::array_get_str, 3, &State::kw_pattern>,
     "(self, var_name, pattern=None)",
     "Return the array's elements (those matching pattern) as a dict of strings."},
    {"array_set", delegate<&State::array_set, 3>, "(self, var_name, value)",
     "Set elements of the array var_name from a mapping."},
    {"array_unset", delegate<&State::array_unset, 3, &State::kw_pattern>,
     "(self, var_name, pattern=None)", "Unset the elements matching pattern, or the whole array."},
    {"array_names", delegate<&State::array_names, 3, &State::kw_pattern>,
     "(self, var_name, pattern=None)",
     "Return the names of the array's elements (those matching pattern)."},
    {"is_array", delegate<&State::is_array, 2>, "(self, var_name)",
     "Return True when the variable is an array."},
    {"exists", delegate<&State::exists, 3, &State::kw_array_index>,
     "(self, var_name, array_index=None)",
     "Return True when the variable (or its element array_index) exists."},
    {"__getitem__", variables_getitem, "(self, name)",
     "Return the variable's value; KeyError when it cannot be read."},
    {"__contains__", on_self<&State::exists, 2>, "(self, name)",
     "Return True when the variable exists."},
    {"__setitem__", on_self<&State::set, 3, true>, "(self, name, value)", "Set the variable."},
    {"__delitem__", variables_delitem, "(self, name)",
     "Unset the variable; KeyError when it does not exist."},
    {"__len__", view_len, "(self)", "Return the number of names 'info vars' lists."},
    {"__iter__", view_iter<&State::q_info_vars>, "(self)",
     "Iterate over the names 'info vars' lists in the namespace, asked on the first step."},
};

constexpr const char* objects_view_doc =
    "The variables of a namespace as a mapping of names to the interpreter's objects.";

const FunctionDef objects_view_methods[] = {
    {"get", delegate<&State::get_obj, 3, &State::kw_array_index>,
     "(self, var_name, array_index=None)",
     "Return the variable's (or element's) value as the interpreter's object."},
    {"array_get", delegate<&State::array_get_obj, 3, &State::kw_pattern>,
     "(self, var_name, pattern=None)",
     "Return the array's elements (those matching pattern) as a dict, read by a call."},
};

constexpr const char* commands_view_doc =
    "The commands of a namespace as a mapping of names to TclCommand handles.\n\n"
    "view[name] is a new handle for any name, existing or not; view[name] = func registers\n"
    "a Python callable; del view[name] deletes the command (KeyError, caused by the\n"
    "TclError, when it does not exist); iteration and len() ask 'info commands'.";

const FunctionDef commands_view_methods[] = {
    {"__init__", view_init<&State::commands_view>, "(self, ns)",
     "View the commands of the namespace handle ns."},
    {"byref", commands_byref, "(self, cmd_name, *args, **kwargs)",
     "Return a new TclCommand on cmd_name in the namespace; other arguments go to its\n"
     "constructor."},
    {"exists", delegate<&State::exists, 2>, "(self, cmd_name)",
     "Return True when the command exists."},
    {"createcommand", delegate<&State::createcommand, 3>, "(self, cmd_name, func)",
     "Register the Python callable func as the command cmd_name."},
    {"delete", delegate<&State::delete_, 2>, "(self, cmd_name)", "Delete the command."},
    {"rename", commands_rename, "(self, cmd_name, new_name)",
     "Rename the command; a relative new name is placed in the namespace too."},
    {"origin", delegate<&State::origin, 2>, "(self, cmd_name)",
     "Return the fully qualified name of the original command."},
    {"proc_body", delegate<&State::proc_body, 2>, "(self, cmd_name)",
     "Return the body of the proc."},
    {"proc_args", delegate<&State::proc_args, 2>, "(self, cmd_name)",
     "Return the argument names of the proc."},
    {"proc_arg_default", delegate<&State::proc_arg_default, 3>, "(self, cmd_name, arg_name)",
     "Return the default of the proc's argument arg_name, or None when it has none."},
    {"__getitem__", on_self<&State::byref, 2>, "(self, name)", "Return a handle on the command."},
    {"__contains__", on_self<&State::exists, 2>, "(self, name)",
     "Return True when the command exists."},
    {"__setitem__", on_self<&State::createcommand, 3, true>, "(self, name, value)",
     "Register the callable value as the command."},
    {"__delitem__", commands_delitem, "(self, name)",
     "Delete the command; KeyError when it does not exist."},
    {"__len__", view_len, "(self)", "Return the number of names 'info commands' lists."},
    {"__iter__", view_iter<&State::q_info_commands>, "(self)",
     "Iterate over the names 'info commands' lists in the namespace."},
};

constexpr const char* procs_view_doc =
    "The procs of a namespace: a CommandsView whose membership, iteration and len() count\n"
    "procs only.";

const FunctionDef procs_view_methods[] = {
    {"exists", delegate<&State::is_proc, 2>, "(self, cmd_name)",
     "Return True when cmd_name is a proc."},
    {"__iter__", view_iter<&State::q_info_procs>, "(self)",
     "Iterate over the names 'info procs' lists in the namespace."},
};

constexpr const char* temp_command_doc =
    "A TclCommand for a Python callable exposed to Tcl for a with block or the handle's life.\n\n"
    "TempTclCommand(func=None, cmd_name='::__tarvik__{cls}_{id}_tmp', **kwargs) formats the\n"
    "name as the temporary variables do; with a function it registers it under that name and\n"
    "takes on its name and documentation (functools.update_wrapper). The command is deleted\n"
    "when the block ends and, for one made with a function, when the handle is finalised.";

constexpr const char* temp_namespace_doc =
    "A TclNamespace created when its with block starts and deleted when it ends.\n\n"
    "The name, by default '::__tarvik__{cls}_{id}_tmp', is formatted as for the temporary\n"
    "variables.";

Ref names_tuple(std::initializer_list<const char*> names) {
    Ref result = own(PyTuple_New(Py_ssize_t(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names)
        PyTuple_SET_ITEM(result.get(), i++, intern(name).release());
    return result;
}

void State::init(PyObject* module) {
    MutableMapping =
        add_object(module, "MutableMapping", import_attr("collections.abc", "MutableMapping"));
    scriptify =
        add_object(module, "scriptify", import_sibling_attr(module, "scriptify", "scriptify"));
    tclobj = add_object(module, "tclobj", import_sibling_attr(module, "scriptify", "tclobj"));
    Ref tkinter = import("tkinter");
    TclError = add_object(module, "TclError", getattr(tkinter, "TclError"));
    add_object(module, "Tk", getattr(tkinter, "Tk"));
    add_object(module, "MethodType", import_attr("types", "MethodType"));
    add_object(module, "weakref", import("weakref"));
    PyObject* sys = add_object(module, "sys", import("sys"));
    functools = add_object(module, "functools", import("functools"));
    add_object(
        module, "__all__",
        names_tuple({"TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
                     "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace"}));

    Tcl_Obj = keep(import_attr("_tkinter", "Tcl_Obj"));
    Ref optimize = getattr(getattr(sys, "flags"), "optimize");
    assertions = PyLong_AsLong(optimize) == 0;
    package_name = keep(intern("tarvik.tcl"));
#define INTERN_NAME(name) name = keep(intern(#name));
    NAMESPACE_NAMES(INTERN_NAME)
#undef INTERN_NAME
    host_tk = CachedAttribute(tk);
    tk_getvar = CachedMethod(getvar);
    tk_setvar = CachedMethod(setvar);
    delete_ = keep(intern("delete"));
    import_ = keep(intern("import"));
    export_ = keep(intern("export"));
    dunder_wrapped = keep(intern("__wrapped__"));
    dunder_del = keep(intern("__del__"));
    w_clear = keep(intern("-clear"));
    w_force = keep(intern("-force"));
    w_command = keep(intern("-command"));
    w_variable = keep(intern("-variable"));
    dunder_init = keep(intern("__init__"));
    dunder_enter = keep(intern("__enter__"));
    dunder_exit = keep(intern("__exit__"));
    w_info = keep(intern("::info"));
    w_array = keep(intern("::array"));
    w_rename = keep(intern("::rename"));
    w_namespace = keep(intern("::namespace"));
    namespace_word = keep(intern("namespace"));
    default_word = keep(intern("default"));
    empty = keep(own(PyUnicode_New(0, 0)));
    separator = keep(intern("::"));
    dash = keep(intern("-"));
    calling = keep(intern("Calling: {}"));
    kw_tcl = keep(names_tuple({"tcl"}));
    kw_tcl_cast = keep(names_tuple({"tcl", "cast"}));
    kw_index_tcl_cast = keep(names_tuple({"array_index", "tcl", "cast"}));
    kw_array_index = keep(names_tuple({"array_index"}));
    kw_nocomplain = keep(names_tuple({"nocomplain"}));
    kw_cls_id = keep(names_tuple({"cls", "id"}));
    kw_pattern = keep(names_tuple({"pattern"}));
    kw_index_nocomplain = keep(names_tuple({"array_index", "nocomplain"}));
    q_info_vars = keep(tuple(w_info, vars));
    q_info_commands = keep(tuple(w_info, commands));
    q_info_procs = keep(tuple(w_info, procs));
    lazy_names =
        reinterpret_cast<PyTypeObject*>(keep(Ref::steal(as_object(lazy_names::create(module)))));
    marker = keep(tarvik::call(as_object(&PyBaseObject_Type)));

    TclVariable = add_object(module, "TclVariable",
                             ClassBuilder(*this, module, "TclVariable")
                                 .doc(variable_doc)
                                 .set("_TclVariable__marker", marker)
                                 .methods(variable_methods)
                                 .alias("get", "get_obj")
                                 .methods(variable_more_methods)
                                 .alias("array_get", "array_get_obj")
                                 .methods(variable_array_methods)
                                 .build({}));

    std::string temporary_init =
        std::string("(self, var_name=") + temporary_template + ", **kwargs)";
    TempTclVariable = add_object(
        module, "TempTclVariable",
        ClassBuilder(*this, module, "TempTclVariable")
            .doc(temp_variable_doc)
            .methods({{"__init__", temp_variable_init, temporary_init.c_str(),
                       "Name a temporary variable; other keyword arguments go to TclVariable."},
                      {"__enter__", temp_variable_enter, "(self)", "Return the handle."},
                      {"__exit__", temp_variable_exit, "(self, *exc_info)",
                       "Unset the variable, silently if it does not exist; return False."}})
            .build({TclVariable}));

    TclArrayVariable = add_object(module, "TclArrayVariable",
                                  ClassBuilder(*this, module, "TclArrayVariable")
                                      .doc(array_doc)
                                      .methods(array_methods)
                                      .set("get", getattr(TclVariable, get))
                                      .methods(array_mapping_methods)
                                      .build({MutableMapping, TclVariable}));

    TempTclArrayVariable = add_object(module, "TempTclArrayVariable",
                                      ClassBuilder(*this, module, "TempTclArrayVariable")
                                          .doc(temp_array_doc)
                                          .build({TempTclVariable, TclArrayVariable}));

    TclCommand = add_object(module, "TclCommand",
                            ClassBuilder(*this, module, "TclCommand")
                                .doc(command_doc)
                                .methods(command_methods)
                                .static_methods(command_static_methods)
                                .methods(command_call_methods)
                                .build({}));
    dashed_args = keep(getattr(TclCommand, kwargs_to_dashed_args));

    std::string temporary_command_init =
        std::string("(self, func=None, cmd_name=") + temporary_template + ", **kwargs)";
    TempTclCommand = add_object(
        module, "TempTclCommand",
        ClassBuilder(*this, module, "TempTclCommand")
            .doc(temp_command_doc)
            .methods(
                {{"__init__", temp_command_init, temporary_command_init.c_str(),
                  "Name a temporary command and register func under it when given."},
                 {"__enter__", temp_enter<&State::TempTclCommand>, "(self)", "Return the handle."},
                 {"__exit__", temp_exit<&State::TempTclCommand>, "(self, *exc_info)",
                  "Delete the command, silently if it does not exist; return False."},
                 {"__del__", temp_command_del, "(self)",
                  "Delete the command if the handle registered a function."}})
            .build({TclCommand}));

    TclNamespace = add_object(module, "TclNamespace", build_namespace_class(module));

    std::string temporary_namespace_init =
        std::string("(self, ns=") + temporary_template + ", **kwargs)";
    TempTclNamespace = add_object(
        module, "TempTclNamespace",
        ClassBuilder(*this, module, "TempTclNamespace")
            .doc(temp_namespace_doc)
            .methods({{"__init__", temp_namespace_init, temporary_namespace_init.c_str(),
                       "Name a temporary namespace; other keyword arguments go to TclNamespace."},
                      {"__enter__", temp_enter<&State::TempTclNamespace>, "(self)",
                       "Create the namespace and return the handle."},
                      {"__exit__", temp_exit<&State::TempTclNamespace>, "(self, *exc_info)",
                       "Delete the namespace, silently if it does not exist; return False."}})
            .build({TclNamespace}));
}

// TclNamespace and its nested view classes, which are set on it once it exists (their qualified
// names are TclNamespace.VariablesView and so on).
Ref State::build_namespace_class(PyObject* module) {
    Ref cls = ClassBuilder(*this, module, "TclNamespace")
                  .doc(namespace_doc)
                  .methods(namespace_methods)
                  .static_methods(namespace_static_methods)
                  .build({});
    Ref variables = ClassBuilder(*this, module, "VariablesView", cls)
                        .doc(variables_view_doc)
                        .methods(variables_view_methods)
                        .build({MutableMapping});
    Ref objects = ClassBuilder(*this, module, "ObjectsView", cls)
                      .doc(objects_view_doc)
                      .methods(objects_view_methods)
                      .build({variables});
    Ref commands = ClassBuilder(*this, module, "CommandsView", cls)
                       .doc(commands_view_doc)
                       .methods(commands_view_methods)
                       .build({MutableMapping});
    Ref procs = ClassBuilder(*this, module, "ProcsView", cls)
                    .doc(procs_view_doc)
                    .methods(procs_view_methods)
                    .build({commands});
    setattr(cls, VariablesView, variables);
    setattr(cls, ObjectsView, objects);
    setattr(cls, CommandsView, commands);
    setattr(cls, ProcsView, procs);
    variables_view = keep(variables);
    commands_view = keep(commands);
    return cls;
}

}  // namespace
}  // namespace tarvik

PyMODINIT_FUNC PyInit_namespace() {
    return tarvik::ModuleDefinition<tarvik::State>::init(
        "tarvik.tcl.namespace",
        "Handles on the variables, arrays, commands and namespaces of a Tcl interpreter,\n"
        "mapping views of a namespace, and temporaries that remove themselves.");
}
