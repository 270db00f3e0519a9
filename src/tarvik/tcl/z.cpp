// tarvik.tcl.z: Tcl commands called as attribute chains of the interpreter,
// `tcl.z.ns_a.procname(1, [2, 3], flag=True)`.
//
// A quick call is the commonest way into Tcl and must cost little more than the raw `tk.call` it
// makes. So `Z` and `Z_Code` are native classes rather than classes built by their metaclass like
// the rest of the package: `tcl` and `cmd` are C fields, the attribute hook is a C slot that finds
// a missing name without raising and catching an AttributeError, and a `Z_Code` is called by
// vectorcall. To Python they are still ordinary classes: instances take any attribute and weak
// references, subclasses may override anything, and `Z.__getattr__` and `Z_Code.__call__` are
// there as methods.
//
#include "support/native_classes.hpp"
#include "support/recursion.hpp"
#include "support/weak.hpp"
#include "support/conversion.hpp"
#include "support/deferred.hpp"
#include "support/tcl_elements.hpp"
#include "support/unicode.hpp"

#include <memory>

namespace tarvik {
namespace {

// Interned attribute, method and keyword names, and the words the quick calls write.
struct Names : InternedNames {
    const Ref history = name("history");
    const Ref append = name("append");
    const Ref tk = name("tk");
    const Ref call = name("call");
    const Ref vars = name("vars");
    const Ref cast_any = name("cast_any");
    const Ref cast = name("cast_");  // the keyword that never reaches Tcl
    const Ref self = name("self");
    const Ref separator = name("::");
    const Ref dash = name("-");
    const Ref error_info = name("::errorInfo");
    const Ref tcl_result = name("_tcl_result");
    const Ref quick_call = name("_quick_call");
};

struct State : ModuleState {
    Converter convert;
    Ref TclError;
    Ref Z;
    Ref Z_Code;

    Names name;

    auto owned() { return std::array{&TclError, &Z, &Z_Code}; }

    void init(PyObject* module);
    void import_names(PyObject* module);
};

using Definition = ModuleDefinition<State>;

State& state_of(const Call& c) {
    return c.state<State>();
}

constexpr const char* getstate_doc =
    "Return (instance __dict__ or None, {field: value}), the state that copy and pickle\n"
    "restore.";

// ---------------------------------------------------------------------------------------------
// Instances

struct ZObject {
    PyObject_HEAD PyObject* tcl;
    PyObject* dict;
    PyObject* weakrefs;

    auto owned() { return std::array{&tcl, &dict}; }
};

struct ZCodeObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* tcl;
    PyObject* cmd;  // the list of name parts
    PyObject* dict;
    PyObject* weakrefs;

    auto owned() { return std::array{&tcl, &cmd, &dict}; }
};

using ZInstance = NativeInstance<ZObject>;
using ZCodeInstance = NativeInstance<ZCodeObject>;

ZObject* as_z(State& st, PyObject* self) {
    return ZInstance::from(as_type(st.Z), self);
}

ZCodeObject* as_z_code(State& st, PyObject* self) {
    return ZCodeInstance::from(as_type(st.Z_Code), self);
}

// ---------------------------------------------------------------------------------------------
// Z

// Keeps only a weak proxy of the host, so the host's own `z` does not keep it alive. A proxy
// handed in is kept as it is (a proxy of a proxy cannot be made).
Ref Z_init(const Call& c, Named<2> named) {
    State& st = state_of(c);
    auto [self, tcl] = named;
    ZObject* z = as_z(st, self);
    Ref proxy =
        PyWeakref_CheckProxy(tcl) ? Ref::borrow(tcl) : own(PyWeakref_NewProxy(tcl, nullptr));
    Py_XSETREF(z->tcl, proxy.release());
    return none();
}

constexpr FunctionDef Z_init_def = {"__init__", invoke<Z_init>, "(self, tcl)",
                                    "Quick calls into the interpreter tcl (kept weakly)."};

PyObject* z_code_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames);

// tp_alloc of Z_Code, so that object.__new__ makes instances that are called by vectorcall.
// Subclasses allocate with the generic tp_alloc and leave the field empty: their calls go through
// tp_call, which finds their own __call__ if they define one.
PyObject* z_code_alloc(PyTypeObject* type, Py_ssize_t items) {
    PyObject* object = PyType_GenericAlloc(type, items);
    if (object) reinterpret_cast<ZCodeObject*>(object)->vectorcall = z_code_vectorcall;
    return object;
}

// What Z_Code(name, tcl=tcl) makes, without the generic constructor call.
Ref new_z_code(State& st, PyObject* name, Borrowed tcl) {
    PyTypeObject* type = as_type(st.Z_Code);
    auto* code = reinterpret_cast<ZCodeObject*>(type->tp_alloc(type, 0));
    if (code == nullptr) raise_current();
    Ref made = Ref::steal(reinterpret_cast<PyObject*>(code));
    Ref parts = new_list(1);
    PyList_SET_ITEM(parts.get(), 0, Py_NewRef(name));
    code->tcl = Py_NewRef(tcl);
    code->cmd = parts.release();
    return made;
}

// A name that begins and ends with two underscores is one of Python's own protocol names
// (__deepcopy__, __wrapped__, __signature__...): copy, pickle, inspect and help probe for them
// and take an AttributeError as "not supported". Such a probe must never become a Tcl command.
bool is_dunder(PyObject* name) {
    if (!PyUnicode_Check(name)) return false;
    StrView s(name);
    if (s.length < 4) return false;
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(s.kind, s.data, i) == '_'; };
    return at(0) && at(1) && at(s.length - 2) && at(s.length - 1);
}

[[noreturn, gnu::cold]] void no_such_attribute(PyObject* self, PyObject* name) {
    raise_format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                 Py_TYPE(self)->tp_name, name);
}

Ref z_missing_attribute(State& st, ZObject* z, PyObject* name) {
    PyObject* self = reinterpret_cast<PyObject*>(z);
    if (is_dunder(name)) no_such_attribute(self, name);
    return new_z_code(st, name, field(self, z->tcl, "tcl"));
}

Ref Z_getattr(const Call& c, Named<2> named) {
    State& st = state_of(c);
    auto [self, name] = named;
    return z_missing_attribute(st, as_z(st, self), name);
}

constexpr FunctionDef Z_getattr_def = getattr_hook(
    {"__getattr__", invoke<Z_getattr>, "(self, name)",
     "Return a new Z_Code for the command name; a __dunder__ name raises AttributeError."});

PyObject* z_getattro(PyObject* self, PyObject* name) {
    return guarded([&] {
        if (Ref found = generic_getattr_optional(self, name)) return found;
        State& st = Definition::of_type(Py_TYPE(self));
        return z_missing_attribute(st, reinterpret_cast<ZObject*>(self), name);
    });
}

// The root names no command: Tcl's own error for an empty name, and nothing is sent.
Ref Z_call(const Call& c, Named<1>) {
    State& st = state_of(c);
    raise(st.TclError, "invalid command name \"\"");
}

constexpr FunctionDef Z_call_def = {
    "__call__", invoke<Z_call>, "(self, *args, **kwargs)",
    "Raise TclError: the root of the quick calls names no command."};

Ref Z_getstate(const Call& c, Named<1> named) {
    State& st = state_of(c);
    ZObject* z = as_z(st, named[0]);
    return fields_state(z->dict, {{"tcl", z->tcl}});
}

constexpr FunctionDef Z_getstate_def = {"__getstate__", invoke<Z_getstate>, "(self)", getstate_doc};

// ---------------------------------------------------------------------------------------------
// Z_Code

Ref Z_Code_init(const Call& c, const Arguments<2>& arguments) {
    State& st = state_of(c);
    auto [self, tcl] = arguments.named;
    ZCodeObject* code = as_z_code(st, self);
    Ref parts = new_list(arguments.rest_count);
    for (Py_ssize_t i = 0; i < arguments.rest_count; ++i)
        PyList_SET_ITEM(parts.get(), i, Py_NewRef(arguments.rest[i]));
    Py_XSETREF(code->tcl, Py_NewRef(tcl));
    Py_XSETREF(code->cmd, parts.release());
    return none();
}

constexpr FunctionDef Z_Code_init_def = {
    "__init__", invoke<Z_Code_init>, "(self, *cmd, tcl)",
    "Refer to the command whose name parts are cmd, in the interpreter tcl."};

Ref name_parts(ZCodeObject* code) {
    return field(reinterpret_cast<PyObject*>(code), code->cmd, "cmd");
}

PyObject* get_cmd(PyObject* self, void*) {
    return guarded([&] {
        auto* code = reinterpret_cast<ZCodeObject*>(self);
        return name_parts(code);
    });
}

int set_cmd(PyObject* self, PyObject* value, void*) {
    return guarded_status([&] {
        auto* code = reinterpret_cast<ZCodeObject*>(self);
        if (value == nullptr && code->cmd == nullptr) field(self, nullptr, "cmd");
        Py_XSETREF(code->cmd, Py_XNewRef(value));
    });
}

Ref z_code_missing_attribute(State& st, ZCodeObject* code, PyObject* name) {
    PyObject* self = reinterpret_cast<PyObject*>(code);
    if (is_dunder(name)) no_such_attribute(self, name);
    Ref parts = name_parts(code);
    if (PyList_CheckExact(parts))
        append(parts, name);
    else
        call_method(parts.get(), st.name.append, name);
    return Ref::borrow(self);
}

Ref Z_Code_getattr(const Call& c, Named<2> named) {
    State& st = state_of(c);
    auto [self, name] = named;
    return z_code_missing_attribute(st, as_z_code(st, self), name);
}

constexpr FunctionDef Z_Code_getattr_def =
    getattr_hook({"__getattr__", invoke<Z_Code_getattr>, "(self, name)",
                  "Append name to the command name and return this same object; a __dunder__\n"
                  "name raises AttributeError."});

PyObject* z_code_getattro(PyObject* self, PyObject* name) {
    return guarded([&] {
        if (Ref found = generic_getattr_optional(self, name)) return found;
        State& st = Definition::of_type(Py_TYPE(self));
        return z_code_missing_attribute(st, reinterpret_cast<ZCodeObject*>(self), name);
    });
}

Ref command_name(State& st, ZCodeObject* code) {
    return own(PyUnicode_Join(st.name.separator, name_parts(code).get()));
}

Ref Z_Code_str(const Call& c, Named<1> named) {
    State& st = state_of(c);
    Ref name = command_name(st, as_z_code(st, named[0]));
    return own(PyUnicode_FromFormat("<tcl.Z magic, referring Tcl code ::%U>", name.get()));
}

constexpr FunctionDef Z_Code_str_def = {"__str__", invoke<Z_Code_str>, "(self)",
                                        "Return '<tcl.Z magic, referring Tcl code ::name>'."};

Ref Z_Code_repr(const Call&, Named<1> named) {
    return str(named[0]);
}

constexpr FunctionDef Z_Code_repr_def = {"__repr__", invoke<Z_Code_repr>, "(self)",
                                         "Return str(self)."};

Ref Z_Code_getstate(const Call& c, Named<1> named) {
    State& st = state_of(c);
    ZCodeObject* code = as_z_code(st, named[0]);
    return fields_state(code->dict, {{"tcl", code->tcl}, {"cmd", code->cmd}});
}

constexpr FunctionDef Z_Code_getstate_def = {"__getstate__", invoke<Z_Code_getstate>, "(self)",
                                             getstate_doc};

// One call's arguments, as vectorcall hands them over, `self` apart.
struct QuickCall {
    ZCodeObject* self;
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;  // NULL without keywords
    PyObject* const* keyword_values;

    Py_ssize_t keyword_count() const { return kwnames ? PyTuple_GET_SIZE(kwnames) : 0; }
    PyObject* keyword(Py_ssize_t k) const { return PyTuple_GET_ITEM(kwnames, k); }
};

Py_ssize_t find_keyword(const QuickCall& q, PyObject* name) {
    for (Py_ssize_t k = 0; k < q.keyword_count(); ++k)
        if (detail::same_name(q.keyword(k), name)) return k;
    return -1;
}

// The words of one command, owned here. Slot 0 is left for `tk`, so that the words go to tk.call
// as they are; the history is given a list of its own. Nothing else sees this array, so Python
// code run from the call (a Tcl callback, a `tk` written in Python) cannot change the words of
// the running command.
class Words {
  public:
    explicit Words(Py_ssize_t count) {
        if (count + 1 > on_stack)
            argv_ = (many_ = std::make_unique<PyObject*[]>(size_t(count + 1))).get();
        argv_[0] = nullptr;
    }
    ~Words() {
        for (Py_ssize_t i = 0; i <= count_; ++i)
            Py_XDECREF(argv_[i]);
    }
    Words(const Words&) = delete;
    Words& operator=(const Words&) = delete;

    void put(Ref word) { argv_[++count_] = word.release(); }

    PyObject* const* data() const { return argv_ + 1; }
    Py_ssize_t count() const { return count_; }

    Ref list() const {
        Ref words = new_list(count_);
        for (Py_ssize_t i = 0; i < count_; ++i)
            PyList_SET_ITEM(words.get(), i, Py_NewRef(argv_[i + 1]));
        return words;
    }

    // `first`, then the words: the arguments of first.call(*words).
    PyObject* const* argv_after(Ref first) {
        Py_XSETREF(argv_[0], first.release());
        return argv_;
    }
    size_t argc() const { return size_t(count_ + 1); }

  private:
    static constexpr Py_ssize_t on_stack = 16;
    Py_ssize_t count_ = 0;
    PyObject* few_[on_stack];
    std::unique_ptr<PyObject*[]> many_;
    PyObject** argv_ = few_;
};

// The command name, each positional argument, then "-key" and the value of each keyword in the
// order the caller gave them (so keywords always follow the positional words); `cast_` is not a
// word.
Py_ssize_t word_count(const QuickCall& q, Py_ssize_t cast_at) {
    return 1 + q.nargs + 2 * (q.keyword_count() - (cast_at >= 0));
}

void put_command_words(State& st, const QuickCall& q, Py_ssize_t cast_at, Words& words) {
    words.put(command_name(st, q.self));
    for (Py_ssize_t i = 0; i < q.nargs; ++i)
        words.put(st.convert.scriptify(q.args[i]));
    for (Py_ssize_t k = 0; k < q.keyword_count(); ++k) {
        if (k == cast_at) continue;
        words.put(own(PyUnicode_Concat(st.name.dash, q.keyword(k))));
        words.put(st.convert.scriptify(q.keyword_values[k]));
    }
}

// The host behind a weak proxy, held for the length of one call; any other object is the host
// itself.
Ref resolve_host(ZCodeObject* code) {
    return unproxy(field(reinterpret_cast<PyObject*>(code), code->tcl, "tcl"));
}

// A failed command's short message says little; Tcl's ::errorInfo holds the whole trace. The
// replacement error stands alone: the caught one is suppressed, not shown as its context.
[[noreturn, gnu::noinline, gnu::cold]] void raise_with_error_info(State& st, PyObject* host) {
    Ref caught = fetch_error();
    Ref replacement = while_handling(caught, [&] {
        Ref info = own(PyObject_GetItem(getattr(host, st.name.vars).get(), st.name.error_info));
        return call(st.TclError, info);
    });
    raise_from_none(std::move(replacement), caught);
}

// Recorded before it runs, so a command that fails is in the history too.
void record_call(State& st, PyObject* host, const Words& words) {
    Ref history = getattr(host, st.name.history);
    call_method(history, st.name.append, words.list().get());
}

Ref run_command(State& st, PyObject* host, Words& words) {
    PyObject* const* argv = words.argv_after(getattr(host, st.name.tk));
    try {
        return own(PyObject_VectorcallMethod(st.name.call, argv, words.argc(), nullptr));
    } catch (const PythonError&) {
        if (!error_matches(st.TclError)) throw;
    }
    raise_with_error_info(st, host);
}

// The result as the string Tcl shows for it. tk.call hands a Tcl list back as a tuple and a byte
// array as bytes, whose str() would be Python's notation of them: a list is the Tcl list of its
// elements, a byte array one character per byte, a number its Tcl text. An object of any other
// type (from another host) is its str(), a tuple of such objects its list by scriptify().
[[gnu::noinline]] Ref plain_string(State& st, PyObject* result) {
    PyTypeObject* tcl_obj = as_type(st.convert.Tcl_Obj);
    if (Ref text = tcl::element_text(result, tcl_obj)) return text;
    if (PyTuple_Check(result)) return st.convert.scriptify(result);
    return str(result);
}

// Inside a pipeline block the host answers later: what it gives stands for the quick call's
// result, cast (or made the plain string) and with Tcl's trace on failure when it comes.
[[gnu::noinline]] Ref finish_later(State& st, ZCodeObject* code, Ref pending, bool cast) {
    Ref tcl = field(reinterpret_cast<PyObject*>(code), code->tcl, "tcl");
    return call_method(pending, st.name.quick_call, tcl.get(), boolean(cast).get());
}

Ref quick_call(State& st, const QuickCall& q) {
    Py_ssize_t cast_at = find_keyword(q, st.name.cast);
    PyObject* cast = cast_at >= 0 ? q.keyword_values[cast_at] : Py_True;
    Words words(word_count(q, cast_at));
    put_command_words(st, q, cast_at, words);
    Ref host = resolve_host(q.self);
    record_call(st, host, words);
    Ref result = run_command(st, host, words);
    bool casting = cast == Py_True || is_true(cast);
    if (deferred::is_pending(result, st.name.tcl_result, as_type(st.convert.Tcl_Obj)))
        return finish_later(st, q.self, std::move(result), casting);
    if (casting) return call_method(host, st.name.cast_any, result);
    return plain_string(st, result);
}

// `Z_Code.__call__(self, *args, **kwargs)` called as a function: what subclasses reach.
Ref Z_Code_call(const Call& c, const Arguments<1>& arguments) {
    State& st = state_of(c);
    QuickCall q{nullptr, c.args + 1, c.nargs - 1, c.kwnames, c.args + c.nargs};
    if (c.nargs >= 1 && find_keyword(q, st.name.self) < 0) {
        q.self = as_z_code(st, c.args[0]);
        return quick_call(st, q);
    }
    // No positional self, or a keyword "self" too: the parser raises Python's TypeError, or
    // finds self given by keyword, and the call is made again with self in its place.
    Ref self_only = tuple(arguments.named[0]);
    return own(PyObject_Call(reinterpret_cast<PyObject*>(c.function), self_only,
                             arguments.kwargs ? arguments.kwargs.get() : nullptr));
}

constexpr FunctionDef Z_Code_call_def =
    beside_slot({"__call__", invoke<Z_Code_call>, "(self, *args, **kwargs)",
                 "Run the command with args as words and kwargs as -key value pairs; return the\n"
                 "result cast by the interpreter, or with cast_=False as the str Tcl shows (a\n"
                 "list as Tcl writes it, a byte array one character per byte)."});

// callable(*args, **kwargs) through the class's tp_call, with the arguments as vectorcall gave
// them: for a Z_Code whose class (a subclass, or Z_Code itself after `__call__` was reassigned)
// no longer calls the native quick call.
Ref call_through_slot(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    Ref positional = own(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    Ref keywords;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = new_dict();
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
            set_item(keywords, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    }
    RecursionGuard guard(" while calling a Python object");
    return own(Py_TYPE(callable)->tp_call(callable, positional, keywords.get()));
}

PyObject* z_code_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return guarded([&] {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (Py_TYPE(callable)->tp_call != PyVectorcall_Call)
            return call_through_slot(callable, args, nargs, kwnames);
        State& st = Definition::of_type(Py_TYPE(callable));
        QuickCall q{reinterpret_cast<ZCodeObject*>(callable), args, nargs, kwnames, args + nargs};
        // As for `def __call__(self, *args, **kwargs)`: a keyword "self" is a second self.
        if (find_keyword(q, st.name.self) >= 0)
            raise(PyExc_TypeError, "Z_Code.__call__() got multiple values for argument 'self'");
        return quick_call(st, q);
    });
}

// ---------------------------------------------------------------------------------------------
// Module

constexpr const char* z_doc =
    "Z(tcl)\n--\n\n"
    "Magic quick-call methods for Tcl interpreters.\n\n"
    "Lets users call Tcl APIs as if they were attributes of the interpreter object:\n\n"
    "    >>> tcl.z.set('myVar', 'value')                    # set myVar value\n"
    "    'value'\n"
    "    >>> tcl.tk.eval('namespace eval ns_a::ns_b {proc procname args {return $args}}')\n"
    "    ''\n"
    "    >>> tcl.z.ns_a.ns_b.procname('arguments', arg_a='value')\n"
    "    ('arguments', '-arg_a', 'value')\n"
    "    >>> tcl.history.filter(count=1)[0].api\n"
    "    'ns_a::ns_b::procname arguments -arg_a value'\n\n"
    "Each argument becomes one Tcl word through scriptify(); the call is recorded in the\n"
    "interpreter's history before it runs; a Tcl error is raised as a TclError carrying\n"
    "Tcl's ::errorInfo trace; the result goes through the interpreter's cast_any().\n\n"
    "Args:\n"
    "    cast_ (bool): flag to turn casting of the result on or off (default True); off\n"
    "        returns the result as the str Tcl shows: a list as Tcl writes it, a byte array\n"
    "        one character per byte. The keyword is never sent to Tcl.\n\n"
    "Notes:\n"
    "    Positional arguments keep their order of appearance.\n"
    "    Keyword arguments are converted to dashed arguments in Tcl and appear after the\n"
    "    positional arguments, in the order given.\n"
    "    Only [A-Za-z0-9_] is supported in Tcl namespace and procedure names (names must be\n"
    "    Python identifiers).";

constexpr const char* z_code_doc =
    "Z_Code(*cmd, tcl)\n--\n\n"
    "One quick call being built: a chain of attribute accesses that names a Tcl command.\n\n"
    "    >>> code = tcl.z.ns_a            # a Z_Code whose cmd is ['ns_a']\n"
    "    >>> code.ns_b.procname is code   # each access appends a name part to the same object\n"
    "    True\n"
    "    >>> code.cmd\n"
    "    ['ns_a', 'ns_b', 'procname']\n"
    "    >>> code('x', flag=1)            # runs 'ns_a::ns_b::procname x -flag 1'\n"
    "    ('x', '-flag', '1')\n\n"
    "cmd holds the name parts in order of access; calling the object joins them with '::'\n"
    "into the command name and runs it as Z describes (arguments, history, errors, cast_).\n"
    "Names that begin and end with two underscores are Python's own protocol names: they are\n"
    "looked up as ordinary attributes and never become name parts.";

using function_type::object_member;

PyMemberDef z_members[] = {
    {"tcl", object_member, offsetof(ZObject, tcl), 0, "The interpreter, as a weak proxy."},
    ZInstance::dict_member(),
    ZInstance::weakrefs_member(),
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef z_code_members[] = {
    {"tcl", object_member, offsetof(ZCodeObject, tcl), 0, "The interpreter (a weak proxy)."},
    {"__vectorcalloffset__", function_type::size_member, offsetof(ZCodeObject, vectorcall),
     function_type::read_only, nullptr},
    ZCodeInstance::dict_member(),
    ZCodeInstance::weakrefs_member(),
    {nullptr, 0, 0, 0, nullptr},
};

const FunctionDef Z_methods[] = {
    Z_init_def,
    Z_getattr_def,
    Z_call_def,
    Z_getstate_def,
};

const FunctionDef Z_Code_methods[] = {
    Z_Code_init_def, Z_Code_call_def, Z_Code_getattr_def,
    Z_Code_repr_def, Z_Code_str_def,  Z_Code_getstate_def,
};

PyGetSetDef z_code_getset[] = {
    {"cmd", get_cmd, set_cmd, "The parts of the command name, in order of access.", nullptr},
    instance_dict_getset,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void State::import_names(PyObject* module) {
    add_object(module, "weakref", import("weakref"));
    TclError = add_object(module, "TclError", tkinter_name("TclError"));
    convert.init();
    add_object(module, "scriptify", import_sibling_attr(module, "scriptify", "scriptify"));
}

void State::init(PyObject* module) {
    import_names(module);
    Z = add_object(module, "Z",
                   ZInstance::make_class(module, "tarvik.tcl.z.Z", Py_TPFLAGS_BASETYPE, z_members,
                                         {{Py_tp_doc, const_cast<char*>(z_doc)},
                                          {Py_tp_getattro, reinterpret_cast<void*>(z_getattro)}}));
    add_methods(*this, module, Z, Z_methods);

    Z_Code = add_object(
        module, "Z_Code",
        ZCodeInstance::make_class(module, "tarvik.tcl.z.Z_Code",
                                  Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_VECTORCALL, z_code_members,
                                  {{Py_tp_doc, const_cast<char*>(z_code_doc)},
                                   {Py_tp_alloc, reinterpret_cast<void*>(z_code_alloc)},
                                   {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                                   {Py_tp_getattro, reinterpret_cast<void*>(z_code_getattro)}},
                                  z_code_getset));
    add_methods(*this, module, Z_Code, Z_Code_methods);
}

}  // namespace
}  // namespace tarvik

PyMODINIT_FUNC PyInit_z() {
    return tarvik::ModuleDefinition<tarvik::State>::init(
        "tarvik.tcl.z", "Quick calls: Tcl commands called as attribute chains of the interpreter.");
}
