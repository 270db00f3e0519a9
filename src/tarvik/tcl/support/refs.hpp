// Reference ownership made explicit by types, and Python errors as C++ exceptions.
//
// Module code never calls Py_DECREF itself: a new reference goes straight into a `Ref`, which
// releases it on every path out of the scope, early returns and exceptions included. A borrowed
// reference stays a plain `PyObject*`. A failed C API call raises `PythonError`; the entry points
// in function.hpp turn it back into NULL with the Python error still set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace tarvik {

// "A Python exception is set": the one C++ exception type that crosses module code.
struct PythonError {};

[[noreturn]] inline void raise_current() {
    throw PythonError{};
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

template <class... Values>
[[noreturn]] void raise_format(PyObject* type, const char* format, Values... values) {
    PyErr_Format(type, format, values...);
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
    operator PyObject*() const noexcept { return p_; }

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

inline bool is_true(PyObject* o) {
    return check(PyObject_IsTrue(o)) != 0;
}

inline Ref getattr(PyObject* o, PyObject* name) {
    return own(PyObject_GetAttr(o, name));
}
inline Ref getattr(PyObject* o, const char* name) {
    return own(PyObject_GetAttrString(o, name));
}

// getattr(o, name, None) without the cost of raising and clearing AttributeError where the
// interpreter allows it. Returns an empty Ref when the attribute is missing.
inline Ref getattr_optional(PyObject* o, PyObject* name) {
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
inline Ref generic_getattr_optional(PyObject* o, PyObject* name) {
    PyObject* result = _PyObject_GenericGetAttrWithDict(o, name, nullptr, 1);
    if (result == nullptr && PyErr_Occurred()) raise_current();
    return Ref::steal_maybe(result);
}

inline void setattr(PyObject* o, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(o, name, value));
}

inline Ref call(PyObject* callable) {
    return own(PyObject_CallNoArgs(callable));
}
inline Ref call(PyObject* callable, PyObject* arg) {
    return own(PyObject_CallOneArg(callable, arg));
}

// callable(*args) with the arguments given as borrowed pointers, without building a tuple.
template <class... Args>
Ref call(PyObject* callable, PyObject* first, Args... rest) {
    PyObject* args[] = {nullptr, first, rest...};
    return own(PyObject_Vectorcall(
        callable, args + 1, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args), looked up and called without making a bound method.
template <class... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* argv[] = {obj, args...};
    return own(PyObject_VectorcallMethod(
        name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **keywords) where the last len(kwnames) of `args` are the values of the
// keyword arguments named in the tuple `kwnames`.
template <class... Args>
Ref call_kw(PyObject* callable, PyObject* kwnames, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    size_t positional = sizeof...(Args) - size_t(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_Vectorcall(callable, argv + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   kwnames));
}

// obj.name(*positional, **keywords) where the last len(kwnames) of `args` are the values of the
// keyword arguments named in the tuple `kwnames`, without a bound method or a dict.
template <class... Args>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames, Args... args) {
    PyObject* argv[] = {obj, args...};
    size_t positional = sizeof...(Args) + 1 - size_t(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_VectorcallMethod(name, argv, positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames));
}

inline Ref str(PyObject* o) {
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
inline void append(PyObject* list, PyObject* item) {
    check(PyList_Append(list, item));
}
inline void set_item(PyObject* dict, PyObject* key, PyObject* value) {
    check(PyDict_SetItem(dict, key, value));
}

namespace detail {

// The stack kept free below the deepest conversion level: room for what runs between two checks
// (one conversion level, and a Python hook it calls with the interpreter frame and C calls that
// brings) and for raising the RecursionError and unwinding. Measured, that takes up to 4 KiB in
// an optimised build and up to 16 KiB with AddressSanitizer; the margins are twice that. On a
// stack too small for the margin, half of it stays free.
#if defined(__SANITIZE_ADDRESS__)
#define TARVIK_LARGE_FRAMES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVIK_LARGE_FRAMES 1
#endif
#endif
#if !defined(TARVIK_LARGE_FRAMES) && !defined(__OPTIMIZE__)
#define TARVIK_LARGE_FRAMES 1
#endif
#if defined(TARVIK_LARGE_FRAMES)
inline constexpr size_t stack_margin = size_t(32) << 10;
#else
inline constexpr size_t stack_margin = size_t(8) << 10;
#endif

// The lowest address the C stack of the calling thread may reach before a conversion refuses to
// nest deeper. The count that Py_EnterRecursiveCall keeps is not enough on its own: on Python
// 3.11 it follows sys.setrecursionlimit, so a raised limit lets deep nesting run off the end of
// the stack; and on any version a thread with a small stack, or a build whose frames are larger
// (sanitizers), runs out before the count does. The margin is fixed, not a share of the stack:
// on the smallest thread stack Python allows (32 KiB) a share large enough to matter would leave
// no room for the conversion itself. Where the stack's bounds are unknown, nesting is capped at
// the depth that Python 3.13 itself allows C code.
class StackLimit {
  public:
    bool exhausted() noexcept {
#if defined(__linux__)
        if (floor_ == 0) [[unlikely]]
            floor_ = find_floor();
        return current_address() < floor_;
#else
        return depth_ >= 10000;
#endif
    }
    // Only counted where the bounds are unknown: elsewhere the stack address says it all.
    void enter() noexcept {
#if !defined(__linux__)
        ++depth_;
#endif
    }
    void leave() noexcept {
#if !defined(__linux__)
        --depth_;
#endif
    }

  private:
#if defined(__linux__)
    [[gnu::noinline, gnu::cold]] static uintptr_t find_floor() noexcept {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;
        void* lowest = nullptr;
        size_t size = 0;
        int status = pthread_attr_getstack(&attr, &lowest, &size);
        pthread_attr_destroy(&attr);
        if (status != 0 || size == 0) return 1;  // unknown: never exhausted
        return reinterpret_cast<uintptr_t>(lowest) + std::min(stack_margin, size / 2);
    }

    // The frame itself, even where a sanitizer moves local variables off the stack.
    [[gnu::always_inline]] static uintptr_t current_address() noexcept {
        return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    }

    uintptr_t floor_ = 0;  // 0: not looked up yet in this thread
#else
    int depth_ = 0;
#endif
};

// Constant-initialised, so reading it costs no per-access initialisation check.
inline thread_local StackLimit stack_limit;

}  // namespace detail

// Py_EnterRecursiveCall as a scope, so deep or self-referencing values raise RecursionError
// instead of overflowing the C stack, also where the interpreter's own count would let them.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) raise_current();
        detail::StackLimit& limit = detail::stack_limit;
        if (limit.exhausted()) {
            Py_LeaveRecursiveCall();
            raise_format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        }
        limit.enter();
    }
    ~RecursionGuard() {
        detail::stack_limit.leave();
        Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Saves the current exception for the length of a scope (for clean-up code that must call Python
// while an error is pending) and restores it at the end.
class PendingError {
  public:
#if PY_VERSION_HEX >= 0x030C0000
    PendingError() noexcept : exception_(PyErr_GetRaisedException()) {}
    ~PendingError() { PyErr_SetRaisedException(exception_); }
#else
    PendingError() noexcept { PyErr_Fetch(&type_, &exception_, &traceback_); }
    ~PendingError() { PyErr_Restore(type_, exception_, traceback_); }
#endif
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

  private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_;
    PyObject* traceback_;
#endif
    PyObject* exception_;
};

// KeyError(key), as a dict raises it: the key is the one argument, also when it is a tuple.
[[noreturn]] inline void raise_key_error(PyObject* key) {
    PyObject* args = PyTuple_Pack(1, key);
    if (args != nullptr) {
        PyErr_SetObject(PyExc_KeyError, args);
        Py_DECREF(args);
    }
    throw PythonError{};
}

// True when the pending exception is an instance of `type`; the exception stays set.
inline bool error_matches(PyObject* type) noexcept {
    return PyErr_ExceptionMatches(type) != 0;
}

// Runs `body`; a Python exception of `type` escaping it is cleared, any other passes on. Returns
// whether `body` ran to its end.
template <class F>
bool ignoring(PyObject* type, F&& body) {
    try {
        body();
        return true;
    } catch (const PythonError&) {
        if (!error_matches(type)) throw;
        PyErr_Clear();
        return false;
    }
}

// The pending exception taken out of the error indicator, as an `except` clause holds it: one
// normalised exception object carrying its traceback.
inline Ref fetch_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal_maybe(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal_maybe(value);
#endif
}

// Makes `exception` (an exception object) the pending error and raises it in C++.
[[noreturn]] inline void raise_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    PyObject* traceback = PyException_GetTraceback(exception);
    PyErr_Restore(type, exception.release(), traceback);
#endif
    throw PythonError{};
}

// Runs `f` as the body of an `except` clause that caught `handled`: an exception escaping `f`
// gets `handled` as its __context__, as Python chains errors raised while handling another.
template <class F>
decltype(auto) while_handling(PyObject* handled, F&& f) {
    try {
        return f();
    } catch (const PythonError&) {
        Ref raised = fetch_error();
        if (!raised) throw;
        if (raised.get() != handled) PyException_SetContext(raised, Py_NewRef(handled));
        raise_exception(std::move(raised));
    }
}

// `raise exception from None` inside the handler of `handled`: the handled exception stays
// reachable as __context__ but is suppressed, so tracebacks show only `exception`.
[[noreturn]] inline void raise_from_none(Ref exception, PyObject* handled) {
    PyException_SetContext(exception, Py_NewRef(handled));
    PyException_SetCause(exception, nullptr);  // also sets __suppress_context__
    raise_exception(std::move(exception));
}

// `raise type(cause) from cause`: the new exception carries the caught one as its argument, its
// cause and its context, as the statement does inside an `except` block.
[[noreturn]] inline void raise_from(PyObject* type, Ref cause) {
    Ref exception = call(type, cause.get());
    PyException_SetCause(exception, Py_NewRef(cause.get()));  // also sets __suppress_context__
    PyException_SetContext(exception, cause.release());
    raise_exception(std::move(exception));
}

// The object a weak reference or weak proxy refers to; empty once it is gone.
inline Ref weakref_target(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(ref, &target) < 0) raise_current();
    return Ref::steal_maybe(target);
#else
    PyObject* target = PyWeakref_GetObject(ref);
    if (target == nullptr) raise_current();
    return target == Py_None ? Ref() : Ref::borrow(target);
#endif
}

// The object a weak proxy stands for, as the proxy's own attribute access finds it: a proxy whose
// referent is gone raises the proxy's ReferenceError. Anything else is returned as it is.
inline Ref unproxy(PyObject* o) {
    if (!PyWeakref_CheckProxy(o)) return Ref::borrow(o);
    Ref target = weakref_target(o);
    if (!target) raise(PyExc_ReferenceError, "weakly-referenced object no longer exists");
    return target;
}

}  // namespace tarvik
