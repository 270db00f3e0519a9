// Classes built the way a class statement builds them: a namespace of native functions and values,
// handed to the most derived metaclass of the bases (`type`, or `ABCMeta` where a base is an ABC).
// MRO, `super()`, instance `__dict__`, weak references, ABC registration and aliases then behave
// exactly as for a class written in Python.
#pragma once

#include "function.hpp"

#include <initializer_list>

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

    // Class attributes, in the order of the class body.
    ClassBuilder& methods(std::initializer_list<FunctionDef> defs) {
        for (const FunctionDef& def : defs)
            set(def.name, state_.make_function(module_, def, qualname_));
        return *this;
    }
    ClassBuilder& static_methods(std::initializer_list<FunctionDef> defs) {
        for (const FunctionDef& def : defs) {
            Ref fn = state_.make_function(module_, def, qualname_);
            set(def.name, own(PyStaticMethod_New(fn)));
        }
        return *this;
    }
    ClassBuilder& set(const char* name, PyObject* value) {
        check(PyDict_SetItemString(namespace_, name, value));
        return *this;
    }
    // `name = existing` in the class body: the very same object under a second name.
    ClassBuilder& alias(const char* name, const char* existing) {
        PyObject* value = PyDict_GetItemString(namespace_, existing);
        if (value == nullptr)
            raise_format(PyExc_SystemError, "alias %s of undefined %s", name, existing);
        return set(name, value);
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

// A new, empty instance of `cls`, as object.__new__(cls) makes it, for a constructor that fills
// in the instance itself instead of going through type.__call__ (the class's __new__ must be
// object's).
inline Ref allocate_instance(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return own(type->tp_alloc(type, 0));
}

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

}  // namespace tarvik
