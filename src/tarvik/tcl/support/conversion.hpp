// Python values as Tcl strings (`scriptify`) and as Tcl call values (`tclobj`), with Tcl's
// list-element quoting: the one conversion every module calls directly.
//
// Both let an object convert itself through `__scriptify__` or `__tclobj__`. Built-in types
// cannot carry those hooks, so exact built-in types take a direct path; everything else goes
// through the hook lookups and the ABC tests in their documented order.
#pragma once

#include "function.hpp"
#include "recursion.hpp"
#include "tcl_quote.hpp"

#include <optional>
#include <vector>

namespace tarvik {

namespace detail {

// Calls `f` with each item of `obj` in iteration order. A list is read by index so that a list
// changed by a conversion half-way is seen as Python's own iteration would see it.
template <class F>
void for_each_item(PyObject* obj, F&& f) {
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i)
            f(Ref::borrow(PyList_GET_ITEM(obj, i)));
    } else if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i)
            f(Ref::borrow(PyTuple_GET_ITEM(obj, i)));
    } else {
        Ref iterator = own(PyObject_GetIter(obj));
        while (Ref item = Ref::steal_maybe(PyIter_Next(iterator)))
            f(std::move(item));
        if (PyErr_Occurred()) raise_current();
    }
}

// The flat key, value, key, value... list of a mapping, every value read before any is converted.
inline std::vector<Ref> flatten_mapping(PyObject* obj) {
    std::vector<Ref> flat;
    if (PyDict_CheckExact(obj)) {
        flat.reserve(size_t(PyDict_GET_SIZE(obj)) * 2);
        PyObject *key, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(obj, &pos, &key, &value);) {
            flat.push_back(Ref::borrow(key));
            flat.push_back(Ref::borrow(value));
        }
        return flat;
    }
    for_each_item(obj, [&](Ref key) {
        Ref value = own(PyObject_GetItem(obj, key));
        flat.push_back(std::move(key));
        flat.push_back(std::move(value));
    });
    return flat;
}

inline bool is_instance(PyObject* obj, PyObject* cls) {
    return check(PyObject_IsInstance(obj, cls)) != 0;
}

// A hook that is present and true, or an empty Ref.
inline Ref true_hook(PyObject* obj, PyObject* name) {
    Ref hook = getattr_optional(obj, name);
    if (hook && !is_true(hook)) hook.reset();
    return hook;
}

// An exact int within the machine range (that of sys.maxsize) travels as a number, any other as
// its decimal string.
inline bool int_in_range(PyObject* obj) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) raise_current();
    return overflow == 0 && value >= -PY_SSIZE_T_MAX - 1 && value <= PY_SSIZE_T_MAX;
}

}  // namespace detail

// What the conversions need of the interpreter: a field of the state of each module that converts,
// whose m_traverse and m_clear cover `owned()` (see ModuleDefinition).
class Converter {
  public:
    Ref Mapping;
    Ref Sequence;
    Ref Set;
    Ref Tcl_Obj;  // empty where this Python has no _tkinter: nothing is a Tcl object there

    void init() {
        Ref abc = import("collections.abc");
        Mapping = getattr(abc, "Mapping");
        Sequence = getattr(abc, "Sequence");
        Set = getattr(abc, "Set");
        Tcl_Obj = tkinter_name("Tcl_Obj");
    }

    auto owned() { return std::array{&Mapping, &Sequence, &Set, &Tcl_Obj}; }

    // ---- scriptify

    // The commonest words, a str (its own Tcl string) and an int, are answered where the call is
    // made; everything else goes on to the rest of the tests.
    Ref scriptify(PyObject* obj) const {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyUnicode_Type) return Ref::borrow(obj);
        if (type == &PyLong_Type) return int_text(obj);
        return scriptify_other(obj);
    }

    [[gnu::noinline]] Ref scriptify_other(PyObject* obj) const {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyFloat_Type) return str(obj);
        if (type == &PyBool_Type) return bool_text(obj);
        if (obj == Py_None) return Ref::borrow(empty_);
        if (type == &PyList_Type || type == &PyTuple_Type || type == &PySet_Type ||
            type == &PyFrozenSet_Type)
            return quote_list(obj);
        if (type == &PyDict_Type) return quote_mapping(obj);
        return scriptify_object(obj);
    }

    // The text of one list element: its scriptify form, which a hook may have left as another
    // object; that object is converted once more, as the quoting step converts its input.
    Ref element_text(PyObject* item) const {
        Ref text = scriptify(item);
        if (!PyUnicode_CheckExact(text)) text = scriptify(text.get());
        if (!PyUnicode_Check(text))
            raise_format(PyExc_TypeError, "__scriptify__ returned non-string (type %.200s)",
                         Py_TYPE(text.get())->tp_name);
        return text;
    }

    // The Tcl list of the items of an iterable.
    Ref quote_list(PyObject* obj) const {
        if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return quote_items(obj);
        RecursionGuard guard(list_context);
        tcl::ListWriter out;
        detail::for_each_item(obj, [&](Ref item) {
            if (PyUnicode_CheckExact(item))
                out.add(item);
            else
                out.add(element_text(item).get());
        });
        return out.finish();
    }

    // The Tcl list key1 value1 key2 value2 ... of a mapping.
    Ref quote_mapping(PyObject* obj) const {
        RecursionGuard guard(list_context);
        std::vector<Ref> flat = detail::flatten_mapping(obj);
        tcl::ListWriter out;
        for (const Ref& item : flat)
            out.add(element_text(item).get());
        return out.finish();
    }

    // ---- tclobj

    Ref tclobj(PyObject* obj) const {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type ||
            type == &PyBytes_Type)
            return Ref::borrow(obj);
        if (type == &PyLong_Type) return tclobj_int(obj);
        if (obj == Py_None) return Ref::borrow(empty_);
        if (type == &PyList_Type || type == &PyTuple_Type) return tclobj_sequence(obj);
        if (type == &PyDict_Type) return tclobj_mapping(obj);
        return tclobj_object(obj);
    }

    // A tuple of tclobj() of each item of an iterable.
    Ref tclobj_sequence(PyObject* obj) const {
        RecursionGuard guard(list_context);
        if (PyTuple_CheckExact(obj) && all_pass_through(obj)) return Ref::borrow(obj);
        if (PyList_CheckExact(obj) && all_pass_through(obj)) return own(PyList_AsTuple(obj));
        std::vector<Ref> items;
        if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) items.reserve(size_t(Py_SIZE(obj)));
        detail::for_each_item(obj, [&](Ref item) { items.push_back(tclobj(item)); });
        return tuple_taking(items);
    }

    // The flat tuple (key1, value1, ...) of a mapping, each converted by tclobj().
    Ref tclobj_mapping(PyObject* obj) const {
        RecursionGuard guard(list_context);
        std::vector<Ref> items = detail::flatten_mapping(obj);
        for (Ref& item : items)
            item = tclobj(item);
        return tuple_taking(items);
    }

    // Whether tclobj returns `obj` itself, decided without running any Python code.
    static bool passes_through(PyObject* obj) {
        PyTypeObject* type = Py_TYPE(obj);
        return type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type ||
               type == &PyBytes_Type || (type == &PyLong_Type && detail::int_in_range(obj));
    }

  private:
    static constexpr const char* list_context = " while converting a value to a Tcl list";

    // An exact list or tuple, read by index so that a list changed by a conversion half-way is
    // seen as Python's own iteration would see it. Reading it runs no Python code, so its strings
    // are quoted as they are, without a reference or the recursion guard; the guard is entered
    // before the first item that converts (the word lists of commands often have none).
    Ref quote_items(PyObject* obj) const {
        std::optional<RecursionGuard> guard;
        tcl::ListWriter out;
        for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(obj, i);
            if (PyUnicode_CheckExact(item)) {
                out.add(item);
                continue;
            }
            if (!guard) guard.emplace(list_context);
            Ref held = Ref::borrow(item);
            out.add(element_text(held).get());
        }
        return out.finish();
    }

    Ref bool_text(PyObject* obj) const {
        return Ref::borrow(obj == Py_True ? text_true_ : text_false_);
    }

    bool is_sequence_or_set(PyObject* obj) const {
        return detail::is_instance(obj, Sequence) || detail::is_instance(obj, Set);
    }

    // Everything that is not an exact built-in type: hooks first, then the documented tests in
    // order.
    Ref scriptify_object(PyObject* obj) const {
        RecursionGuard guard(" while converting a value to Tcl");
        if (Ref hook = detail::true_hook(obj, scriptify_hook_)) return call(hook);
        if (Ref hook = detail::true_hook(obj, tclobj_hook_)) return scriptify(call(hook).get());
        if (obj == Py_None) return Ref::borrow(empty_);
        if (PyUnicode_Check(obj)) return str(obj);
        if (PyBool_Check(obj)) return bool_text(obj);
        if (is_sequence_or_set(obj)) return quote_list(obj);
        if (detail::is_instance(obj, Mapping)) return quote_mapping(obj);
        return str(obj);
    }

    // A list or tuple of values that all pass through converts to a tuple of the same objects.
    static bool all_pass_through(PyObject* obj) {
        PyObject** items = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(obj); i < n; ++i)
            if (!passes_through(items[i])) return false;
        return true;
    }

    static Ref tclobj_int(PyObject* obj) {
        return detail::int_in_range(obj) ? Ref::borrow(obj) : str(obj);
    }

    Ref tclobj_object(PyObject* obj) const {
        RecursionGuard guard(" while converting a value to Tcl");
        if (Ref hook = detail::true_hook(obj, tclobj_hook_)) return call(hook);
        if (obj == Py_None) return Ref::borrow(empty_);
        if (PyBytes_Check(obj) || PyBool_Check(obj) || PyFloat_Check(obj) || PyUnicode_Check(obj) ||
            (Tcl_Obj && detail::is_instance(obj, Tcl_Obj)))
            return Ref::borrow(obj);
        if (PyLong_CheckExact(obj)) return tclobj_int(obj);
        if (is_sequence_or_set(obj)) return tclobj_sequence(obj);
        if (detail::is_instance(obj, Mapping)) return tclobj_mapping(obj);
        return scriptify(obj);
    }

    // Immutable strings: released with the state.
    const Ref scriptify_hook_ = intern("__scriptify__");
    const Ref tclobj_hook_ = intern("__tclobj__");
    const Ref empty_ = own(PyUnicode_New(0, 0));
    const Ref text_true_ = intern("true");
    const Ref text_false_ = intern("false");
};

}  // namespace tarvik
