// Python errors as C++ exceptions: raising them, and the `try`/`except` idioms of Python code
// (suppressing, chaining, `raise ... from ...`) written once for module code.
#pragma once

#include "refs.hpp"

#include <type_traits>

namespace tarvik {

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

template <class... Values>
[[noreturn]] void raise_format(PyObject* type, const char* format, Values... values) {
    // A C variadic function takes plain values: a Ref passed as one would not be its pointer.
    static_assert((std::is_scalar_v<Values> && ...), "pass .get() of a Ref");
    PyErr_Format(type, format, values...);
    throw PythonError{};
}

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

// Makes `error` the exception being handled (what sys.exception() gives) for the length of a
// scope, as inside an `except` clause, and restores the one handled before at the end.
class HandlingError {
  public:
    explicit HandlingError(PyObject* error) noexcept : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(error);
    }
    ~HandlingError() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    HandlingError(const HandlingError&) = delete;
    HandlingError& operator=(const HandlingError&) = delete;

  private:
    PyObject* previous_;
};

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

}  // namespace tarvik
