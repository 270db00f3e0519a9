// Lookups remembered against an object's class, as CPython's own type cache remembers them: for
// the attribute reads and method calls that every quick call and variable access makes.
#pragma once

#include "errors.hpp"

#include <utility>

namespace tarvik {

// What the class of an object holds under one attribute name, remembered from one lookup to the
// next: valid while the object is of the same class and the class is unchanged (its version tag,
// which any change of it or of a base renews, is the same). Only for classes with the generic
// attribute lookup and an instance __dict__ that `instance_dict` reads; for any other class
// `of` gives nullptr and the caller does the ordinary lookup.
class ClassAttribute {
  public:
    explicit ClassAttribute(PyObject* name = nullptr) : name_(name) {}

    PyObject* name() const { return name_; }

    // The class's attribute for an object of class `type` (nullptr for none); `cacheable` tells
    // whether the answer may be used at all.
    PyObject* of(PyTypeObject* type, bool& cacheable) {
        if (type != reinterpret_cast<PyTypeObject*>(type_.get()) ||
            type->tp_version_tag != version_)
            remember(type);
        cacheable = cacheable_;
        return found_.get();
    }

    // For the m_traverse and m_clear of the module state that holds it.
    int traverse(visitproc visit, void* arg) const {
        if (int status = type_.visit(visit, arg)) return status;
        return found_.visit(visit, arg);
    }
    void clear() {
        type_.reset();
        found_.reset();
        cacheable_ = false;
    }

  private:
    static bool has_readable_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
        if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) return true;
#endif
        return type->tp_dictoffset >= 0;
    }

    // The old references are released only once the new answer is complete: releasing them
    // may run Python code that changes the class again.
    void remember(PyTypeObject* type) {
        Ref found = Ref::borrow(_PyType_Lookup(type, name_));  // also gives the class a version tag
        version_ = type->tp_version_tag;
        cacheable_ = version_ != 0 && type->tp_getattro == PyObject_GenericGetAttr &&
                     has_readable_dict(type);
        Ref old_type = std::exchange(type_, Ref::borrow(reinterpret_cast<PyObject*>(type)));
        Ref old_found = std::exchange(found_, std::move(found));
    }

    PyObject* name_;
    Ref type_;  // kept, so that no other class can take its address while the version matches
    unsigned int version_ = 0;
    Ref found_;  // held, so that it outlives a change of the class made while it is in use
    bool cacheable_ = false;
};

// The instance __dict__ of `obj` (an empty Ref when it has none yet), for the classes that
// ClassAttribute accepts.
inline Ref instance_dict(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
#if PY_VERSION_HEX >= 0x030C0000
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) return own(PyObject_GenericGetDict(obj, nullptr));
#endif
    if (type->tp_dictoffset <= 0) return {};
    return Ref::borrow(
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + type->tp_dictoffset));
}

// dict[name], or empty when the dict does not hold it. `name` is an exact str, so the lookup
// runs no Python code.
inline Ref dict_entry(Borrowed dict, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && PyErr_Occurred()) raise_current();
    return Ref::borrow(value);
}

// obj.__dict__[name], or empty when the instance __dict__ does not hold it.
inline Ref instance_entry(PyObject* obj, PyObject* name) {
    Ref dict = instance_dict(obj);
    return dict ? dict_entry(dict, name) : Ref();
}

// A class attribute that the instance __dict__ cannot stand before (a property, a slot).
inline bool is_data_descriptor(PyObject* attribute) {
    return Py_TYPE(attribute)->tp_descr_set != nullptr;
}

// The class attribute that obj.name finds, when neither a data descriptor nor the instance
// __dict__ stands before it; empty when the lookup must be left to the ordinary getattr.
inline Ref unshadowed_class_attribute(ClassAttribute& attribute, PyObject* obj) {
    bool cacheable;
    Ref found = Ref::borrow(attribute.of(Py_TYPE(obj), cacheable));
    if (!cacheable || !found) return {};
    if (!is_data_descriptor(found) && instance_entry(obj, attribute.name())) return {};
    return found;
}

// One object remembered as having passed a check (an immutable one, such as a str found in
// normal form), so that the check is made once while the same object keeps coming back.
class KnownValue {
  public:
    bool is(PyObject* obj) const { return obj == value_.get(); }
    void remember(PyObject* obj) { value_ = Ref::borrow(obj); }

    int traverse(visitproc visit, void* arg) const { return value_.visit(visit, arg); }
    void clear() { value_.reset(); }

  private:
    Ref value_;
};

// The last result of a function of two immutable objects (a name joined from two str, say),
// given again while the same two objects come back.
class RememberedResult {
  public:
    PyObject* find(PyObject* first, PyObject* second) const {
        return first == first_.get() && second == second_.get() ? result_.get() : nullptr;
    }
    void remember(PyObject* first, PyObject* second, PyObject* result) {
        first_ = Ref::borrow(first);
        second_ = Ref::borrow(second);
        result_ = Ref::borrow(result);
    }

    int traverse(visitproc visit, void* arg) const {
        for (const Ref* held : {&first_, &second_, &result_})
            if (int status = held->visit(visit, arg)) return status;
        return 0;
    }
    void clear() {
        first_.reset();
        second_.reset();
        result_.reset();
    }

  private:
    Ref first_, second_, result_;
};

// m_traverse and m_clear over the lookup caches a module state holds.
template <class... Caches>
int traverse_caches(visitproc visit, void* arg, const Caches&... caches) {
    int status = 0;
    ((status = status ? status : caches.traverse(visit, arg)), ...);
    return status;
}

template <class... Caches>
void clear_caches(Caches&... caches) {
    (caches.clear(), ...);
}

// obj.name(*args) with the method remembered from one call to the next (see ClassAttribute),
// while the object has no instance __dict__ entry that would stand before it. Anything else is
// an ordinary method call. For a method called on every quick call, where the lookup costs more
// than the rest of the call's own work.
class CachedMethod {
  public:
    explicit CachedMethod(PyObject* name = nullptr) : attribute_(name) {}

    // The class's method that obj.name binds, or empty where the ordinary lookup decides.
    Ref method_of(PyObject* obj) {
        Ref found = unshadowed_class_attribute(attribute_, obj);
        if (found && PyType_HasFeature(Py_TYPE(found.get()), Py_TPFLAGS_METHOD_DESCRIPTOR))
            return found;
        return {};
    }

    // `argv[0]` is obj; `nargsf` counts it, and may carry PY_VECTORCALL_ARGUMENTS_OFFSET.
    Ref call(PyObject* const* argv, size_t nargsf) {
        return call_with(method_of(argv[0]), argv, nargsf);
    }

    // obj.name(args...).
    template <class... Args>
    Ref operator()(PyObject* obj, Args... args) {
        PyObject* argv[] = {obj, args...};
        return call(argv, sizeof...(Args) + 1);
    }

    // The same, with `method` the answer of method_of(argv[0]).
    Ref call_with(const Ref& method, PyObject* const* argv, size_t nargsf) {
        if (method) return own(PyObject_Vectorcall(method, argv, nargsf, nullptr));
        return own(PyObject_VectorcallMethod(attribute_.name(), argv, nargsf, nullptr));
    }

    // obj.name(*args) for a ready argument tuple (one made once, say), with `method` the answer
    // of method_of(obj). A C method that takes its arguments as a tuple gets it as it is.
    Ref call_with_tuple(const Ref& method, PyObject* obj, Borrowed args) {
        if (PyCFunction function = varargs_function(method, obj))
            return call_c(function, obj, args);
        Ref bound = getattr(obj, attribute_.name());
        return own(PyObject_Call(bound, args, nullptr));
    }

    int traverse(visitproc visit, void* arg) const { return attribute_.traverse(visit, arg); }
    void clear() { attribute_.clear(); }

  private:
    // The C function of `method` when it is a C class's method taking its arguments as one tuple
    // (_tkinter's are): called directly with a ready tuple, it saves the vectorcall's copy of
    // the arguments. Only for an object the method's class accepts.
    static PyCFunction varargs_function(const Ref& method, PyObject* obj) {
        if (!method || !Py_IS_TYPE(method.get(), &PyMethodDescr_Type)) return nullptr;
        auto* descriptor = reinterpret_cast<PyMethodDescrObject*>(method.get());
        if (descriptor->d_method->ml_flags != METH_VARARGS ||
            !PyObject_TypeCheck(obj, PyDescr_TYPE(descriptor)))
            return nullptr;
        return descriptor->d_method->ml_meth;
    }

    static Ref call_c(PyCFunction function, PyObject* obj, Borrowed args) {
        if (Py_EnterRecursiveCall(" while calling a Python object")) raise_current();
        PyObject* result = function(obj, args);
        Py_LeaveRecursiveCall();
        return own(result);
    }

    ClassAttribute attribute_;
};

// obj.name for an attribute that instances keep in their __dict__ (a host's `tk`, say): read
// from the dict directly while the class has no data descriptor of that name (see
// ClassAttribute); anything else is the ordinary getattr.
class CachedAttribute {
  public:
    explicit CachedAttribute(PyObject* name = nullptr) : attribute_(name) {}

    Ref get(PyObject* obj) {
        if (reads_instance_dict(Py_TYPE(obj)))
            if (Ref value = instance_entry(obj, attribute_.name())) return value;
        return getattr(obj, attribute_.name());
    }

    // The same, with `dict` the instance __dict__ of obj as instance_dict() gives it;
    // `from_dict` tells whether the value is that dict's entry.
    Ref get(PyObject* obj, Borrowed dict, bool& from_dict) {
        Ref value;
        if (dict && reads_instance_dict(Py_TYPE(obj))) value = dict_entry(dict, attribute_.name());
        from_dict = bool(value);
        if (from_dict) return value;
        return getattr(obj, attribute_.name());
    }

    int traverse(visitproc visit, void* arg) const { return attribute_.traverse(visit, arg); }
    void clear() { attribute_.clear(); }

  private:
    // Whether obj.name is the instance __dict__'s entry where there is one: the class has no
    // data descriptor of that name.
    bool reads_instance_dict(PyTypeObject* type) {
        bool cacheable;
        PyObject* found = attribute_.of(type, cacheable);
        return cacheable && !(found && is_data_descriptor(found));
    }

    ClassAttribute attribute_;
};

}  // namespace tarvik
