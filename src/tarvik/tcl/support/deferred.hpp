// Results that come later. Inside a pipeline block a host's `tk` answers a call with a pending
// result, whose class defines `_tcl_result()` (it waits for the answer and gives it, or raises the
// call's error) and `_quick_call(tcl, cast)` (what a quick call gives for it). Code that needs an
// answer to go on takes it through `answered`.
#pragma once

#include "refs.hpp"

namespace tarvik::deferred {

// Whether `result` is a pending result. The plain values a `tk` answers with are told at once;
// `also_plain` is one more type to tell so (_tkinter's Tcl_Obj, where the caller knows it).
inline bool is_pending(PyObject* result, PyObject* marker, PyTypeObject* also_plain = nullptr) {
    PyTypeObject* type = Py_TYPE(result);
    if (type == &PyUnicode_Type || type == &PyTuple_Type || type == &PyLong_Type ||
        type == &PyFloat_Type || type == &PyBool_Type || type == &PyBytes_Type ||
        result == Py_None || type == also_plain)
        return false;
    return bool(getattr_optional(reinterpret_cast<PyObject*>(type), marker));
}

// The answer itself where `result` is pending (waiting for it; its error is raised here), or
// `result` as it is. `marker` is the interned name "_tcl_result".
inline Ref answered(Ref result, PyObject* marker) {
    if (!is_pending(result.get(), marker)) return result;
    return call_method(result.get(), marker);
}

}  // namespace tarvik::deferred
