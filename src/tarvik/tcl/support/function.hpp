// The one native function type of the package, the error boundary, and per-module state.
//
// Every module function, method and static method is a `FunctionObject`: called by vectorcall,
// with `__name__`, `__qualname__`, `__module__`, `__doc__`, `__text_signature__` (so
// `inspect.signature` works), a `__dict__` (so attributes can be set on it, as on a Python
// function) and method binding through `__get__`. Its type carries Py_TPFLAGS_METHOD_DESCRIPTOR,
// so `obj.method(...)` and the interpreter's slot lookups call it without making a bound method.
#pragma once

#include "signature.hpp"

#include <exception>
#include <initializer_list>
#include <memory>
#include <new>
#include <vector>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace tarvik {

struct FunctionObject;

// One call of a native function, as vectorcall hands it over.
struct Call {
    FunctionObject* function;
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;

    template <class State>
    State& state() const;

    Py_ssize_t keyword_count() const { return kwnames ? PyTuple_GET_SIZE(kwnames) : 0; }
    // Exactly `n` positional arguments and no keywords: the fast path of hot functions.
    bool exactly(Py_ssize_t n) const { return nargs == n && keyword_count() == 0; }
};

// The kinds of body a definition can hold. The parameter count a body parses with is part of its
// type, so a definition whose text signature names another count is refused when the module is
// made, not on the first call.
//
// The N named parameters, by position or keyword, defaults filled in: when a call passes all N by
// position and the signature has no keyword-only parameter, they are taken as they came.
template <size_t N>
using Named = std::array<PyObject*, N>;

// A body that parses its N parameters itself, and only when it needs to: for a hand-written fast
// path that fills in defaults of its own before falling back to `parse(c)`.
template <size_t N>
struct Deferred {
    Arguments<N> operator()(const Call& c) const;
};

// A body with no parameter table of its own (one that hands its whole call on) is a plain
// `Ref body(const Call&)`; the others take `Named<N>`, `const Arguments<N>&` (when they need
// *args or **kwargs) or `Deferred<N>` after the call.

// What a definition keeps of its body: the count it parses with and the vectorcall entry point
// that runs it.
struct Invoker {
    static constexpr size_t any_count = size_t(-1);  // a plain body: nothing to compare
    size_t parameter_count = any_count;
    vectorcallfunc vectorcall = nullptr;
};

// How a class body holds a definition: as a method, as a static method, or as a second name of
// one defined before it (`name = existing`, where `signature` names the existing one). Native
// classes (native_classes.hpp) also have methods that stand beside a C slot doing their work,
// and a __getattr__ hook beside their C attribute lookup.
enum class Binding : unsigned char { method, static_method, alias, beside_slot, getattr_hook };

// One function's definition, kept right after its body: name, body, text signature, docstring.
struct FunctionDef {
    const char* name;
    Invoker body;           // `invoke<the_body>`
    const char* signature;  // the text signature; also the table that arguments are parsed with
    const char* doc;
    Binding binding = Binding::method;
};

// The definition as a static method of its class.
constexpr FunctionDef as_static(FunctionDef def) {
    def.binding = Binding::static_method;
    return def;
}

// The definition as a method beside the C slot that does its work (see native_classes.hpp).
constexpr FunctionDef beside_slot(FunctionDef def) {
    def.binding = Binding::beside_slot;
    return def;
}

// The definition as the __getattr__ beside a native class's C attribute lookup.
constexpr FunctionDef getattr_hook(FunctionDef def) {
    def.binding = Binding::getattr_hook;
    return def;
}

// `name = existing` in a class body: the very same object under a second name.
constexpr FunctionDef alias(const char* name, const char* existing) {
    return {name, {}, existing, nullptr, Binding::alias};
}

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    // Every parameter positional and none with an `...` default: N arguments by position are
    // taken as they came.
    bool by_position;
    ParameterTable* parameters;
    PyObject* module;  // the defining module, for its state
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* text_signature;
    PyObject* dict;
    PyObject* weakrefs;
};

// Runs `body` at the boundary between Python and C++: a Python error comes back as NULL with the
// error set; no C++ exception escapes into the interpreter. `empty_means_end` is for tp_iternext,
// where NULL without an error is the end of the iteration.
template <class F>
PyObject* at_boundary(F&& body, bool empty_means_end) noexcept {
    try {
        PyObject* result = body().release();
        if (result == nullptr && !empty_means_end && !PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "native function returned no value");
        return result;
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    }
}

template <class F>
PyObject* guarded(F&& body) noexcept {
    return at_boundary(std::forward<F>(body), false);
}

// For tp_iternext: `body` returns an empty Ref, with no error set, at the end.
template <class F>
PyObject* guarded_next(F&& body) noexcept {
    return at_boundary(std::forward<F>(body), true);
}

// For a C interface that returns 0, or -1 with the error set.
template <class F>
int guarded_status(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const PythonError&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return -1;
    }
}

namespace function_type {

inline FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

// Every object the function holds, for the collector: any of them can be replaced from Python
// (but __text_signature__), so any can close a cycle.
inline int traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->module);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module_name);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->text_signature);
    Py_VISIT(fn->dict);
    return 0;
}

// As CPython clears a function: the names become empty strings, so that a cleared function that
// is still called (from a finaliser of the same garbage) formats its messages; without its
// module, a call raises (see Call::state).
inline int clear(PyObject* self) {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->module_name);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->text_signature);
    Py_CLEAR(fn->dict);
    PyObject* empty = PyUnicode_New(0, 0);  // the empty str is a singleton: this cannot fail
    Py_XSETREF(fn->name, Py_NewRef(empty));
    Py_XSETREF(fn->qualname, empty);
    return 0;
}

inline void dealloc(PyObject* self) {
    FunctionObject* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    delete fn->parameters;
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// Binding like a Python function: through an instance a bound method, through the class itself.
inline PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

inline PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickles by reference, as Python functions do: the qualified name within the module.
inline PyObject* reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

// __name__ and __qualname__ are strings, as on a Python function: argument errors and repr()
// format them as such. Neither can be deleted.
template <PyObject* FunctionObject::* Field>
int set_name(PyObject* self, PyObject* value, void* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     static_cast<const char*>(attribute));
        return -1;
    }
    Py_XSETREF(as_function(self)->*Field, Py_NewRef(value));
    return 0;
}

template <PyObject* FunctionObject::* Field>
PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->*Field);
}

// __module__ and __doc__ take any value; deleting one leaves None, as on a Python function.
template <PyObject* FunctionObject::* Field>
int set_any(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->*Field, Py_NewRef(value ? value : Py_None));
    return 0;
}

template <PyObject* FunctionObject::* Field>
PyObject* get_any(PyObject* self, void*) {
    PyObject* value = as_function(self)->*Field;
    return Py_NewRef(value ? value : Py_None);
}

#if PY_VERSION_HEX >= 0x030C0000
constexpr int object_member = Py_T_OBJECT_EX;
constexpr int size_member = Py_T_PYSSIZET;
constexpr int read_only = Py_READONLY;
#else
constexpr int object_member = T_OBJECT_EX;
constexpr int size_member = T_PYSSIZET;
constexpr int read_only = READONLY;
#endif

inline PyTypeObject* create(PyObject* module) {
    static PyMemberDef members[] = {
        {"__dictoffset__", size_member, offsetof(FunctionObject, dict), read_only, nullptr},
        {"__weaklistoffset__", size_member, offsetof(FunctionObject, weakrefs), read_only, nullptr},
        {"__vectorcalloffset__", size_member, offsetof(FunctionObject, vectorcall), read_only,
         nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    using F = FunctionObject;
    static PyGetSetDef getset[] = {
        {"__name__", get_name<&F::name>, set_name<&F::name>, nullptr,
         const_cast<char*>("__name__")},
        {"__qualname__", get_name<&F::qualname>, set_name<&F::qualname>, nullptr,
         const_cast<char*>("__qualname__")},
        {"__module__", get_any<&F::module_name>, set_any<&F::module_name>, nullptr, nullptr},
        {"__doc__", get_any<&F::doc>, set_any<&F::doc>, nullptr, nullptr},
        {"__text_signature__", get_any<&F::text_signature>, nullptr, nullptr, nullptr},
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"__reduce__", reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "tarvik.tcl.native_function",
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace function_type

// What every module keeps for its lifetime, as the base of its state: its name and its own copy
// of the native function type. A module's state is a struct of plain owned fields, as
// `_functools_state` is: the objects in `Ref`s that the state lists in `owned()`, which its
// m_traverse visits and its m_clear releases one by one, and its interned names (immutable
// strings and tuples of them, which no reference cycle can pass through) in a `Names` struct of
// `const Ref`s released with the state. Nothing points into another field: a cleared field is
// NULL, never a dangling pointer, and a state once cleared refuses to serve (see Call::state).
class ModuleState {
  public:
    Ref module_name;
    Ref function_type;
    bool constructed = false;  // the memory CPython hands over is zeroed, not constructed
    bool cleared = false;      // m_clear ran: the objects are released and must not be used

    PyTypeObject* native_function_type() const {
        return reinterpret_cast<PyTypeObject*>(function_type.get());
    }

    void setup(PyObject* module) {
        module_name = getattr(module, "__name__");
        function_type = Ref::steal(reinterpret_cast<PyObject*>(function_type::create(module)));
    }

    // A native function of this module. `owner` is the qualified name of the class it is defined
    // in, or NULL for a module-level function.
    Ref make_function(PyObject* module, const FunctionDef& def, PyObject* owner = nullptr) const {
        auto table = std::make_unique<ParameterTable>(parse_signature(def.signature));
        check_parameter_count(def, *table, owner);
        Ref name = from_utf8(def.name);
        Ref qualname = owner ? own(PyUnicode_FromFormat("%U.%s", owner, def.name)) : name;
        Ref doc = def.doc ? from_utf8(def.doc) : none();
        Ref signature = from_utf8(def.signature);
        auto* fn = PyObject_GC_New(FunctionObject, native_function_type());
        if (fn == nullptr) raise_current();
        fn->vectorcall = def.body.vectorcall;
        fn->by_position = table->positional == def.body.parameter_count && !table->own_defaults;
        fn->parameters = table.release();
        fn->module = Py_NewRef(module);
        fn->name = name.release();
        fn->qualname = qualname.release();
        fn->module_name = Py_NewRef(module_name.get());
        fn->doc = doc.release();
        fn->text_signature = signature.release();
        fn->dict = nullptr;
        fn->weakrefs = nullptr;
        PyObject_GC_Track(fn);
        return Ref::steal(reinterpret_cast<PyObject*>(fn));
    }

    // A body that parses another number of parameters than its text signature names would fail
    // on every call: refused while the module is made, before anything can call it.
    static void check_parameter_count(const FunctionDef& def, const ParameterTable& table,
                                      PyObject* owner) {
        size_t count = def.body.parameter_count;
        if (count == Invoker::any_count || count == table.parameters.size()) return;
        Ref where = owner ? own(PyUnicode_FromFormat("%U.", owner)) : from_utf8("");
        Py_ssize_t named = Py_ssize_t(table.parameters.size());
        raise_format(PyExc_SystemError,
                     "%U%s(): its text signature %s names %zd parameter%s, its body parses %zd",
                     where.get(), def.name, def.signature, named, detail::plural(named),
                     Py_ssize_t(count));
    }

    // Makes a module-level function and adds it to the module, so module attributes appear in the
    // order the module's initialisation creates them; returns it for a field that keeps it.
    Ref add_function(PyObject* module, const FunctionDef& def) const {
        Ref fn = make_function(module, def);
        check(PyModule_AddObjectRef(module, def.name, fn));
        return fn;
    }

    // Adds `object` to the module and returns it, for a field that keeps it.
    static Ref add_object(PyObject* module, const char* name, Ref object) {
        check(PyModule_AddObjectRef(module, name, object));
        return object;
    }

    // Adds `object` to the module when there is one (a name this Python may lack).
    static Ref add_object_if_any(PyObject* module, const char* name, Ref object) {
        return object ? add_object(module, name, std::move(object)) : object;
    }

    auto base_owned() { return std::array{&module_name, &function_type}; }
};

// The interned names a module uses (attribute, method and keyword names, words sent to Tcl),
// as the `const Ref` fields of one struct derived from this, each made from its text in the
// order declared when the module state is made, and released with the state:
//
//     struct Names : InternedNames {
//         const Ref tcl = name("tcl");
//         const Ref kw_tcl = keyword_names({"tcl"});
//     };
//     struct State : ModuleState { Names name; };
class InternedNames {
  public:
    InternedNames() = default;
    InternedNames(const InternedNames&) = delete;
    InternedNames& operator=(const InternedNames&) = delete;

  protected:
    static Ref name(const char* text) { return intern(text); }

    // A tuple of interned names.
    static Ref keyword_names(std::initializer_list<const char*> texts) {
        Ref result = own(PyTuple_New(Py_ssize_t(texts.size())));
        Py_ssize_t i = 0;
        for (const char* text : texts)
            PyTuple_SET_ITEM(result.get(), i++, intern(text).release());
        return result;
    }
};

// The type object held in a field.
inline PyTypeObject* as_type(const Ref& held) {
    return reinterpret_cast<PyTypeObject*>(held.get());
}

// self.name(*args, **kwargs) with the arguments of `c` as they came, self being the first: a
// method that hands its whole call on to another method of the same instance.
inline Ref forward_to_method(const Call& c, PyObject* name) {
    return own(PyObject_VectorcallMethod(name, c.args, size_t(c.nargs), c.kwnames));
}

// The state of `module`, which raises once the module has been cleared (at interpreter exit, or
// when the collector frees it): its objects are gone, and code that still runs must not use them.
template <class State>
State& usable_state(PyObject* module) {
    auto* state = module ? static_cast<State*>(PyModule_GetState(module)) : nullptr;
    if (state == nullptr || !state->constructed || state->cleared)
        raise(PyExc_RuntimeError, "a tarvik.tcl native module was used after it was cleared");
    return *state;
}

// The state of the module that made the type `type` (not subclassable: see
// ModuleDefinition::of_type for the classes that are).
template <class State>
State& state_of_type(PyTypeObject* type) {
    PyObject* module = PyType_GetModule(type);
    if (module == nullptr) raise_current();
    return usable_state<State>(module);
}

// A function the collector has cleared has no module left (see function_type::clear).
template <class State>
State& Call::state() const {
    return usable_state<State>(function->module);
}

namespace detail {

template <size_t N>
Arguments<N> parse(const Call& c) {
    // The name is held: the parse allocates, which on Python 3.11 can run a finaliser that
    // renames the function, and an argument error formats the name afterwards.
    Ref qualname = Ref::borrow(c.function->qualname);
    return parse_arguments<N>(*c.function->parameters, qualname, c.args, c.nargs, c.kwnames);
}

// The parameter count of each kind of body, and how a call runs it.
template <class F>
struct BodyKind;

template <>
struct BodyKind<Ref (*)(const Call&)> {
    static constexpr size_t count = Invoker::any_count;
    template <auto F>
    static Ref run(const Call& c) {
        return F(c);
    }
};

template <size_t N>
struct BodyKind<Ref (*)(const Call&, Named<N>)> {
    static constexpr size_t count = N;
    template <auto F>
    static Ref run(const Call& c) {
        Named<N> named;
        if (c.exactly(Py_ssize_t(N)) && c.function->by_position)
            std::copy_n(c.args, N, named.begin());
        else
            named = parse<N>(c).named;
        return F(c, named);
    }
};

template <size_t N>
struct BodyKind<Ref (*)(const Call&, const Arguments<N>&)> {
    static constexpr size_t count = N;
    template <auto F>
    static Ref run(const Call& c) {
        return F(c, parse<N>(c));
    }
};

template <size_t N>
struct BodyKind<Ref (*)(const Call&, Deferred<N>)> {
    static constexpr size_t count = N;
    template <auto F>
    static Ref run(const Call& c) {
        return F(c, Deferred<N>{});
    }
};

template <auto F>
PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Call call{reinterpret_cast<FunctionObject*>(callable), args, PyVectorcall_NARGS(nargsf),
              kwnames};
    return guarded([&] { return BodyKind<decltype(F)>::template run<F>(call); });
}

}  // namespace detail

template <size_t N>
Arguments<N> Deferred<N>::operator()(const Call& c) const {
    return detail::parse<N>(c);
}

// The invoker of the body `F`, for its definition: `{"name", invoke<F>, "(self)", "doc"}`.
template <auto F>
inline constexpr Invoker invoke{
    detail::BodyKind<decltype(F)>::count,
    detail::vectorcall<F>,
};

// Module import helpers.
inline Ref import(const char* name) {
    return own(PyImport_ImportModule(name));
}
inline Ref import_attr(const char* module, const char* name) {
    return getattr(import(module), name);
}
// `import name` for a call-time import: a module already in sys.modules is taken from there
// without a trip through the import machinery.
inline Ref import_cached(PyObject* name) {
    if (PyObject* module = PyImport_GetModule(name)) return Ref::steal(module);
    if (PyErr_Occurred()) raise_current();
    return own(PyImport_Import(name));
}
// `from .sibling import name` as run from `module` (a relative import at load time).
inline Ref import_sibling_attr(PyObject* module, const char* sibling, const char* name) {
    Ref fromlist = tuple(from_utf8(name).get());
    Ref sibling_name = from_utf8(sibling);
    PyObject* globals = PyModule_GetDict(module);
    Ref imported =
        own(PyImport_ImportModuleLevelObject(sibling_name, globals, nullptr, fromlist, 1));
    return getattr(imported, name);
}

// A name the package takes from tkinter ("TclError", "Tcl_Obj", "Tk"), as the module
// tarvik.tcl._tkinter_names gives it, so that every module holds the same class; an empty Ref
// where this Python has no tkinter (TclError is then the package's own and is always there).
inline Ref tkinter_name(const char* name) {
    Ref value = import_attr("tarvik.tcl._tkinter_names", name);
    return value.get() == Py_None ? Ref() : value;
}

// A module global read at call time, as a Python function reads the names of its module, so a
// name that a program or a test replaces on the module is seen; NameError when it is missing.
inline Ref module_global(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (value == nullptr) {
        if (!PyErr_Occurred()) raise_format(PyExc_NameError, "name '%U' is not defined", name);
        raise_current();
    }
    return Ref::borrow(value);
}

// Multi-phase initialisation (PEP 489) of a module whose state is `State`; `State::init(module)`
// creates the module's names in order.
template <class State>
struct ModuleDefinition {
    static int exec(PyObject* module) {
        return guarded_status([&] {
            auto* state = new (PyModule_GetState(module)) State();
            state->constructed = true;
            state->setup(module);
            state->init(module);
        });
    }
    static State* state_of(PyObject* module) {
        auto* state = static_cast<State*>(PyModule_GetState(module));
        return state && state->constructed ? state : nullptr;
    }
    // Every owned field: the base's, the converter's where the state has one, the state's own.
    template <class F>
    static void for_each_owned(State& state, F&& f) {
        for (Ref* field : state.base_owned())
            f(*field);
        if constexpr (requires { state.convert.owned(); })
            for (Ref* field : state.convert.owned())
                f(*field);
        if constexpr (requires { state.owned(); })
            for (Ref* field : state.owned())
                f(*field);
    }
    static int traverse(PyObject* module, visitproc visit, void* arg) {
        State* state = state_of(module);
        int status = 0;
        if (state)
            for_each_owned(*state, [&](const Ref& field) {
                if (status == 0) status = field.visit(visit, arg);
            });
        return status;
    }
    static int clear(PyObject* module) {
        if (State* state = state_of(module)) {
            state->cleared = true;
            for_each_owned(*state, [](Ref& field) { field.reset(); });
        }
        return 0;
    }
    static void free(void* module) {
        if (State* state = state_of(static_cast<PyObject*>(module))) state->~State();
    }

    // The module's definition, filled in by `init`; also what a C slot of one of the module's
    // classes finds the module by (PyType_GetModuleByDef).
    static PyModuleDef& definition() {
        static PyModuleDef_Slot slots[] = {
            {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030C0000
            // Each interpreter gets its own module object and state; they share one GIL.
            {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
            // The GIL stays needed: items read from lists, tuples and dicts are used as borrowed
            // references, and the few remembered values (the parts of recent dotted keys, the
            // local time of the current second) are read and written without locks.
            {Py_mod_gil, Py_MOD_GIL_USED},
#endif
            {0, nullptr},
        };
        static PyModuleDef def = {
            PyModuleDef_HEAD_INIT,
            nullptr,
            nullptr,
            sizeof(State),
            nullptr,
            slots,
            traverse,
            clear,
            free,
        };
        return def;
    }

    static PyObject* init(const char* name, const char* doc) {
        PyModuleDef& def = definition();
        def.m_name = name;
        def.m_doc = doc;
        return PyModuleDef_Init(&def);
    }

    // The state of the module that defined `type` or one of its bases: what a C slot (tp_call,
    // tp_getattro...) of a class made with `native_class` uses in place of `Call::state`.
    static State& of_type(PyTypeObject* type) {
        PyObject* module = PyType_GetModuleByDef(type, &definition());
        if (module == nullptr) raise_current();
        return usable_state<State>(module);
    }
};

}  // namespace tarvik
