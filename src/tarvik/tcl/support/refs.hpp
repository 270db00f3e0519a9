// Reference ownership made explicit by types.
//
// Module code never calls Py_DECREF itself: a new reference goes straight into a `Ref`, which
// releases it on every path out of the scope, early returns and exceptions included. A borrowed
// reference stays a plain `PyObject*`. A failed C API call raises `PythonError` (errors.hpp holds
// the rest of the error handling); the entry points in function.hpp turn it back into NULL with
// the Python error still set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>
#include <vector>

namespace tarvik {

// "A Python exception is set": the one C++ exception type that crosses module code.
struct PythonError {};

[[noreturn]] inline void raise_current() {
    throw PythonError{};
}

// An owned (strong) reference. Empty means NULL.
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference; NULL means a Python error is set and is raised.
    static Ref steal(PyObject* p) {
        if (p == nullptr) raise_current();
        return Ref(p);
    }
    // Takes over a new reference that may be NULL without an error (an absent optional value).
    static Ref steal_maybe(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Only a named Ref converts: a temporary's pointer would dangle once the expression ends.
    operator PyObject*() const& noexcept { return p_; }
    operator PyObject*() const&& = delete;

    void reset() noexcept { Py_CLEAR(p_); }
    // For tp_traverse and m_traverse.
    int visit(visitproc visit, void* arg) const {
        Py_VISIT(p_);
        return 0;
    }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// An object borrowed for the length of one call: a parameter type for the helpers below, so that
// they take a plain pointer, a named Ref or a Ref just returned by another call (a temporary
// lives until the end of the full expression, which outlasts the call). Never a variable.
class Borrowed {
  public:
    Borrowed(PyObject* p) noexcept : p_(p) {}
    Borrowed(const Ref& r) noexcept : p_(r.get()) {}
    operator PyObject*() const noexcept { return p_; }
    PyObject* get() const noexcept { return p_; }

  private:
    PyObject* p_;
};

// Shorthand for the commonest case: a C API call that returns a new reference or NULL.
inline Ref own(PyObject* p) {
    return Ref::steal(p);
}

inline Ref none() noexcept {
    return Ref::borrow(Py_None);
}
inline Ref boolean(bool value) noexcept {
    return Ref::borrow(value ? Py_True : Py_False);
}

// A C API call that returns -1 on error.
inline int check(int result) {
    if (result == -1 && PyErr_Occurred()) raise_current();
    return result;
}
inline Py_ssize_t check_size(Py_ssize_t result) {
    if (result == -1 && PyErr_Occurred()) raise_current();
    return result;
}

inline bool is_true(Borrowed o) {
    return check(PyObject_IsTrue(o)) != 0;
}

inline Ref getattr(Borrowed o, Borrowed name) {
    return own(PyObject_GetAttr(o, name));
}
inline Ref getattr(Borrowed o, const char* name) {
    return own(PyObject_GetAttrString(o, name));
}

// getattr(o, name, None) without the cost of raising and clearing AttributeError where the
// interpreter allows it. Returns an empty Ref when the attribute is missing.
inline Ref getattr_optional(Borrowed o, Borrowed name) {
    PyObject* result = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject_GetOptionalAttr(o, name, &result) < 0) raise_current();
#else
    if (_PyObject_LookupAttr(o, name, &result) < 0) raise_current();
#endif
    return Ref::steal_maybe(result);
}

// The normal attribute lookup alone (object.__getattribute__: the class's descriptors, then the
// instance __dict__), returning an empty Ref where it finds nothing instead of raising and clearing
// an AttributeError: for a C tp_getattro that goes on to a __getattr__ of its own.
inline Ref generic_getattr_optional(Borrowed o, Borrowed name) {
    PyObject* result = _PyObject_GenericGetAttrWithDict(o, name, nullptr, 1);
    if (result == nullptr && PyErr_Occurred()) raise_current();
    return Ref::steal_maybe(result);
}

inline void setattr(Borrowed o, Borrowed name, Borrowed value) {
    check(PyObject_SetAttr(o, name, value));
}

inline Ref call(Borrowed callable) {
    return own(PyObject_CallNoArgs(callable));
}
inline Ref call(Borrowed callable, Borrowed arg) {
    return own(PyObject_CallOneArg(callable, arg));
}

// callable(*args) with the arguments given as borrowed pointers, without building a tuple.
template <class... Args>
Ref call(Borrowed callable, Borrowed first, Args... rest) {
    PyObject* args[] = {nullptr, first.get(), rest...};
    return own(PyObject_Vectorcall(
        callable, args + 1, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args), looked up and called without making a bound method.
template <class... Args>
Ref call_method(Borrowed obj, Borrowed name, Args... args) {
    PyObject* argv[] = {obj.get(), args...};
    return own(PyObject_VectorcallMethod(
        name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **keywords) where the last len(kwnames) of `args` are the values of the
// keyword arguments named in the tuple `kwnames`.
template <class... Args>
Ref call_kw(Borrowed callable, Borrowed kwnames, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    size_t positional = sizeof...(Args) - size_t(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_Vectorcall(callable, argv + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   kwnames));
}

// obj.name(*positional, **keywords) where the last len(kwnames) of `args` are the values of the
// keyword arguments named in the tuple `kwnames`, without a bound method or a dict.
template <class... Args>
Ref call_method_kw(Borrowed obj, Borrowed name, Borrowed kwnames, Args... args) {
    PyObject* argv[] = {obj.get(), args...};
    size_t positional = sizeof...(Args) + 1 - size_t(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_VectorcallMethod(name, argv, positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames));
}

inline Ref str(Borrowed o) {
    return own(PyObject_Str(o));
}
inline Ref from_utf8(const char* s) {
    return own(PyUnicode_FromString(s));
}
inline Ref intern(const char* s) {
    return own(PyUnicode_InternFromString(s));
}

template <class... Items>
Ref tuple(Items... items) {
    return own(PyTuple_Pack(sizeof...(Items), static_cast<PyObject*>(items)...));
}

// A tuple that takes over the references held in `items` (left empty).
inline Ref tuple_taking(std::vector<Ref>& items) {
    Ref result = own(PyTuple_New(Py_ssize_t(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(result.get(), Py_ssize_t(i), items[i].release());
    items.clear();
    return result;
}

inline Ref new_list(Py_ssize_t size = 0) {
    return own(PyList_New(size));
}
inline Ref new_dict() {
    return own(PyDict_New());
}
inline void append(Borrowed list, Borrowed item) {
    check(PyList_Append(list, item));
}
inline void set_item(Borrowed dict, Borrowed key, Borrowed value) {
    check(PyDict_SetItem(dict, key, value));
}

}  // namespace tarvik
