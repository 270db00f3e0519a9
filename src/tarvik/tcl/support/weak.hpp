// Weak references and weak proxies: what a handle holds its interpreter by.
#pragma once

#include "errors.hpp"

namespace tarvik {

// The object a weak reference or weak proxy refers to; empty once it is gone.
inline Ref weakref_target(Borrowed ref) {
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
inline Ref unproxy(Borrowed o) {
    if (!PyWeakref_CheckProxy(o)) return Ref::borrow(o);
    Ref target = weakref_target(o);
    if (!target) raise(PyExc_ReferenceError, "weakly-referenced object no longer exists");
    return target;
}

}  // namespace tarvik
