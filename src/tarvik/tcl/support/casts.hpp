// The cast every quick call ends with, as the host layer's `cast_any`: a Tcl result as a plain
// Python value.
#pragma once

#include "recursion.hpp"

namespace tarvik::casts {

inline bool is_plain_type(PyTypeObject* type) {
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
           type == &PyBool_Type || type == &PyBytes_Type;
}

inline Ref cast_any(PyObject* result);

// Element by element; a tuple whose elements all stay as they are is returned itself.
inline Ref cast_items(PyObject* items) {
    RecursionGuard guard(" while casting a Tcl result");
    Py_ssize_t count = PyTuple_GET_SIZE(items);
    Ref cast = own(PyTuple_New(count));
    bool changed = !PyTuple_CheckExact(items);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items, i);
        Ref value = cast_any(item);
        changed |= value.get() != item;
        PyTuple_SET_ITEM(cast.get(), i, value.release());
    }
    return changed ? cast : Ref::borrow(items);
}

// str, int, float, bool and bytes stay as they are, a tuple is cast element by element, any
// other Tcl object becomes its string.
inline Ref cast_any(PyObject* result) {
    if (is_plain_type(Py_TYPE(result))) return Ref::borrow(result);
    if (PyTuple_Check(result)) return cast_items(result);
    if (PyUnicode_Check(result) || PyLong_Check(result) || PyFloat_Check(result) ||
        PyBytes_Check(result))
        return Ref::borrow(result);
    return str(result);
}

}  // namespace tarvik::casts
