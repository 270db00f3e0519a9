// Classes built the way a class statement builds them: a namespace of native functions and values,
// handed to the most derived metaclass of the bases (`type`, or `ABCMeta` where a base is an ABC).
// MRO, `super()`, instance `__dict__`, weak references, ABC registration and aliases then behave
// exactly as for a class written in Python. Also the helpers that such classes' methods use to
// construct instances and reach their bases.
#pragma once

#include "function.hpp"

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

namespace tarvik {

class ClassBuilder {
  public:
    // `outer` is the class this one is nested in (for its qualified name), or NULL.
    ClassBuilder(ModuleState& state, PyObject* module, const char* name, PyObject* outer = nullptr)
        : state_(state), module_(module), namespace_(new_dict()), name_(from_utf8(name)) {
        qualname_ =
            outer ? own(PyUnicode_FromFormat("%S.%s", getattr(outer, "__qualname__").get(), name))
                  : name_;
        set("__module__", state.module_name);
        set("__qualname__", qualname_);
    }

    ClassBuilder& doc(const char* text) { return set("__doc__", from_utf8(text)); }

    // Class attributes, in the order of the class body: its one table of definitions.
    template <size_t N>
    ClassBuilder& methods(const FunctionDef (&defs)[N]) {
        for (const FunctionDef& def : defs)
            add(def);
        return *this;
    }
    ClassBuilder& set(const char* name, Borrowed value) {
        check(PyDict_SetItemString(namespace_, name, value));
        return *this;
    }
    PyObject* qualname() const { return qualname_; }

    // Creates the class; no bases means `object`.
    Ref build(std::initializer_list<PyObject*> bases) {
        Ref base_tuple = own(PyTuple_New(Py_ssize_t(bases.size())));
        Py_ssize_t i = 0;
        for (PyObject* base : bases)
            PyTuple_SET_ITEM(base_tuple.get(), i++, Py_NewRef(base));
        return call(metaclass_of(base_tuple), name_, base_tuple, namespace_);
    }

  private:
    void add(const FunctionDef& def) {
        if (def.binding == Binding::alias) {
            PyObject* value = PyDict_GetItemString(namespace_, def.signature);
            if (value == nullptr)
                raise_format(PyExc_SystemError, "alias %s of undefined %s", def.name,
                             def.signature);
            set(def.name, value);
            return;
        }
        Ref fn = state_.make_function(module_, def, qualname_);
        set(def.name, def.binding == Binding::static_method ? own(PyStaticMethod_New(fn)) : fn);
    }

    // The most derived metaclass among the bases, as a class statement determines it.
    static PyObject* metaclass_of(PyObject* bases) {
        auto* winner = &PyType_Type;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
            PyTypeObject* meta = Py_TYPE(PyTuple_GET_ITEM(bases, i));
            if (PyType_IsSubtype(meta, winner))
                winner = meta;
            else if (!PyType_IsSubtype(winner, meta))
                raise(PyExc_TypeError, "metaclass conflict among the bases");
        }
        return reinterpret_cast<PyObject*>(winner);
    }

    ModuleState& state_;
    PyObject* module_;
    Ref namespace_;
    Ref name_;
    Ref qualname_;
};

// super(cls, self).name, as the argument-less super() of a method of `cls` would find it.
inline Ref super_attr(PyObject* cls, PyObject* self, PyObject* name) {
    Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
    return getattr(proxy, name);
}

// The same lookup returning an empty Ref when no later class defines `name`.
inline Ref super_attr_optional(PyObject* cls, PyObject* self, PyObject* name) {
    Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
    return getattr_optional(proxy, name);
}

// cls(*args) with keyword arguments named by `kwnames` (after the positional ones in `args`), for
// a class whose __init__ is a native function of this package: the instance is made by its
// __new__ and handed to __init__ by vectorcall, without the tuple and dict that the generic type
// call packs the arguments into. Any other class (another metaclass __call__, __new__ or
// __init__) is called as usual. `init_name` is the interned "__init__".
inline Ref construct(const ModuleState& state, PyObject* cls, PyObject* const* args, size_t nargs,
                     PyObject* kwnames, PyObject* init_name) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref init;
    if (PyType_Check(cls) && Py_TYPE(cls)->tp_call == PyType_Type.tp_call &&
        type->tp_new == PyBaseObject_Type.tp_new && (type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        init = Ref::borrow(PyDict_GetItemWithError(type->tp_dict, init_name));
        if (!init && PyErr_Occurred()) raise_current();
    }
    if (!init || Py_TYPE(init.get()) != state.native_function_type())
        return own(PyObject_Vectorcall(cls, args, nargs, kwnames));
    Ref self = own(type->tp_new(type, Ref::steal(PyTuple_New(0)).get(), nullptr));
    size_t total = nargs + (kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0);
    PyObject* few[8];
    std::vector<PyObject*> many;
    PyObject** argv = total < 8 ? few : (many.resize(total + 1), many.data());
    argv[0] = self.get();
    std::copy(args, args + total, argv + 1);
    Ref result = own(PyObject_Vectorcall(init, argv, nargs + 1, kwnames));
    if (result.get() != Py_None)
        raise_format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.get())->tp_name);
    return self;
}

// super(cls, self).__init__(), skipped when the initialiser it would reach is object.__init__,
// which does nothing when called without arguments: most handles have no other base, and making
// a super object for nothing costs more than the rest of their construction. `init_name` is the
// interned "__init__".
inline void call_super_init(PyObject* cls, PyObject* self, PyObject* init_name) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != cls)
        ++i;
    for (++i; i < n; ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (base == &PyBaseObject_Type) return;
        // Other built-in bases keep their dict out of reach on newer interpreters: ask super().
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) break;
        int found = PyDict_Contains(base->tp_dict, init_name);
        if (found < 0) raise_current();
        if (found) break;
    }
    call(super_attr(cls, self, init_name));
}

}  // namespace tarvik
