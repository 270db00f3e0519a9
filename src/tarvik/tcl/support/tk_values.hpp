// Values made safe to hand to _tkinter's call and setvar.
//
// _tkinter turns a tuple or list into a Tcl list element by element without checking that each
// element converted: an element it cannot convert (a str holding a lone surrogate, an object whose
// str() raises or gives such a string) or a list that contains itself ends the process instead of
// raising. Words and values at the top level are checked by _tkinter itself (but for the value of
// setvar with an array index, see safe_element_value_for_tk), so only elements
// inside tuples and lists need this. The check raises what _tkinter raises for a flat word
// (UnicodeEncodeError, the error of str()), or RecursionError.
#pragma once

#include "recursion.hpp"
#include "unicode.hpp"

namespace tarvik::tcl {

namespace detail {

inline bool has_lone_surrogate(PyObject* text) {
    StrView view(text);
    if (view.kind == PyUnicode_1BYTE_KIND) return false;
    return with_chars(view, [&](auto* s) {
        for (Py_ssize_t i = 0; i < view.length; ++i)
            if (s[i] >= 0xD800 && s[i] <= 0xDFFF) return true;
        return false;
    });
}

// Raises the error _tkinter would raise for `text` as a flat word.
inline void check_text(PyObject* text) {
    if (has_lone_surrogate(text)) own(PyUnicode_AsUTF8String(text));
}

// Types _tkinter converts without calling str() (the exact checks it makes).
inline bool converted_directly(PyObject* item, PyObject* tcl_obj_type) {
    return PyBytes_Check(item) || PyBool_Check(item) || PyLong_CheckExact(item) ||
           PyFloat_CheckExact(item) ||
           Py_TYPE(item) == reinterpret_cast<PyTypeObject*>(tcl_obj_type);
}

inline bool is_list_like(PyObject* value) {
    return PyTuple_Check(value) || PyList_Check(value);
}

// Checks the elements of a tuple or list without running any Python code; true when one of them
// is an object that _tkinter would convert through str().
inline bool needs_str(PyObject* value, PyObject* tcl_obj_type) {
    RecursionGuard guard(" while checking a value for Tcl");
    bool found = false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value); ++i) {
        PyObject* item = PySequence_Fast_ITEMS(value)[i];
        if (is_list_like(item))
            found = needs_str(item, tcl_obj_type) || found;
        else if (PyUnicode_Check(item))
            check_text(item);
        else if (!converted_directly(item, tcl_obj_type))
            found = true;
    }
    return found;
}

// A tuple of the elements with str() applied where _tkinter would apply it, checked.
inline Ref with_str_applied(PyObject* value, PyObject* tcl_obj_type) {
    RecursionGuard guard(" while checking a value for Tcl");
    Ref items = own(PySequence_Tuple(value));  // a snapshot: str() may change a list
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Ref result = own(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        Ref safe;
        if (is_list_like(item)) {
            safe = with_str_applied(item, tcl_obj_type);
        } else if (PyUnicode_Check(item) || converted_directly(item, tcl_obj_type)) {
            safe = Ref::borrow(item);
        } else {
            safe = str(item);
            check_text(safe);
        }
        PyTuple_SET_ITEM(result.get(), i, safe.release());
    }
    return result;
}

}  // namespace detail

// Whether the Tcl object that _tkinter's Tcl_Obj `obj` wraps still has an internal type. Tcl
// drops the type of an object it reads as a variable name, and _tkinter's repr() and `typename`
// of such an object read through the missing type and crash, so they are asked only after this.
// _tkinter's wrapper is its PyObject_HEAD and the Tcl_Obj pointer; in Tcl's Tcl_Obj, 8.6 and 9
// alike, the type pointer follows three pointer-sized fields (reference count, bytes, length).
inline bool has_object_type(PyObject* obj) {
    struct Wrapper {
        PyObject_HEAD const void* const* value;
    };
    const void* const* tcl_object = reinterpret_cast<Wrapper*>(obj)->value;
    return tcl_object != nullptr && tcl_object[3] != nullptr;
}

// `value` itself when _tkinter can convert everything inside it; a tuple with str() already
// applied where it would apply it; or the error that it would have crashed on, raised.
inline Ref safe_for_tk(PyObject* value, PyObject* tcl_obj_type) {
    if (!detail::is_list_like(value) || !detail::needs_str(value, tcl_obj_type))
        return Ref::borrow(value);
    return detail::with_str_applied(value, tcl_obj_type);
}

// `value` checked as the value of setvar with an array index: there _tkinter converts the value
// without checking that it converted, so a value it cannot convert ends the process even at the
// top level. Raises what _tkinter raises elsewhere for it: its str() fails, or a surrogate that
// utf-8 with surrogateescape cannot encode.
inline Ref safe_element_value_for_tk(PyObject* value, PyObject* tcl_obj_type) {
    if (detail::is_list_like(value)) return safe_for_tk(value, tcl_obj_type);
    if (detail::converted_directly(value, tcl_obj_type)) return Ref::borrow(value);
    Ref text = PyUnicode_Check(value) ? Ref::borrow(value) : str(value);
    if (detail::has_lone_surrogate(text))
        own(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"));
    return text;
}

}  // namespace tarvik::tcl
