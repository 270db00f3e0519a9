// Native classes: instances with C fields, for the few objects on the hottest paths, where a class
// built by its metaclass would cost more than the work itself (instance dict writes, generic
// allocation, no vectorcall for instances). They still look like Python classes: subclassable,
// with native functions of this package as their methods.
#pragma once

#include "function.hpp"

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

namespace tarvik {

// A class made from `spec` with `module` as its defining module, so that its C slots find the
// module state (ModuleDefinition<State>::of_type).
inline Ref native_class(PyObject* module, PyType_Spec& spec) {
    return own(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

// The dict of a class (its own namespace, not a mapping proxy).
inline Ref class_dict(PyObject* cls) {
#if PY_VERSION_HEX >= 0x030C0000
    return own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
#else
    return Ref::borrow(reinterpret_cast<PyTypeObject*>(cls)->tp_dict);
#endif
}

// Puts `value` in the class's dict and leaves its slots as they are: for a method whose work a C
// slot of the class already does faster. Subclasses made by a class statement still see the
// method and build their slots from it, as for a class written in Python.
inline void set_beside_slot(PyObject* cls, const char* name, Borrowed value) {
    check(PyDict_SetItemString(class_dict(cls).get(), name, value));
    PyType_Modified(reinterpret_cast<PyTypeObject*>(cls));
}

// One definition of a native class's table. A method is set as a class statement sets it: one
// named after a slot (__init__, __str__, __call__...) makes the class's slot call it. A method
// beside its slot leaves the slot as it is. A __getattr__ hook is for a class whose C tp_getattro
// is the normal lookup followed by its own __getattr__, done without raising and catching an
// AttributeError in between: to Python the class shows object.__getattribute__ and the native
// `__getattr__`, exactly what a class statement would make, so a subclass gets CPython's own
// hook and any __getattr__ it defines is obeyed.
inline void add_native_method(ModuleState& state, PyObject* module, PyObject* cls,
                              PyObject* qualname, const FunctionDef& def) {
    if (def.binding == Binding::alias) {
        check(PyObject_SetAttrString(cls, def.name, getattr(cls, def.signature).get()));
        return;
    }
    Ref fn = state.make_function(module, def, qualname);
    if (def.binding == Binding::static_method) fn = own(PyStaticMethod_New(fn));
    if (def.binding == Binding::getattr_hook) {
        Ref generic = getattr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__getattribute__");
        set_beside_slot(cls, "__getattribute__", generic);
    }
    if (def.binding == Binding::beside_slot || def.binding == Binding::getattr_hook)
        set_beside_slot(cls, def.name, fn);
    else
        check(PyObject_SetAttrString(cls, def.name, fn.get()));
}

// The methods of a native class: its one table of definitions, in the order of a class body.
template <size_t N>
void add_methods(ModuleState& state, PyObject* module, PyObject* cls,
                 const FunctionDef (&defs)[N]) {
    Ref qualname = getattr(cls, "__qualname__");
    for (const FunctionDef& def : defs)
        add_native_method(state, module, cls, qualname, def);
}

// The instances of a native class: `Object` is its C struct, which starts with PyObject_HEAD and
// lists the object fields it owns in `owned()`. The class helpers below also need `dict` and
// `weakrefs` fields for __dict__ and weak references; the lifecycle alone serves any such struct.
template <class Object>
struct NativeInstance {
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));  // instances of a heap type keep their class alive
        for (PyObject** f : reinterpret_cast<Object*>(self)->owned())
            Py_VISIT(*f);
        return 0;
    }
    static int clear(PyObject* self) {
        for (PyObject** f : reinterpret_cast<Object*>(self)->owned())
            Py_CLEAR(*f);
        return 0;
    }
    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        if constexpr (requires(Object* o) { o->weakrefs; })
            if (reinterpret_cast<Object*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
        clear(self);
        type->tp_free(self);
        Py_DECREF(type);
    }

    // The members that give instances a __dict__ and weak references, for the class's members.
    static constexpr PyMemberDef dict_member() {
        return {"__dictoffset__", function_type::size_member, offsetof(Object, dict),
                function_type::read_only, nullptr};
    }
    static constexpr PyMemberDef weakrefs_member() {
        return {"__weaklistoffset__", function_type::size_member, offsetof(Object, weakrefs),
                function_type::read_only, nullptr};
    }

    // The class: `slots` (its doc, hooks...) plus the lifecycle above, `members` (ending with the
    // two above and a sentinel) and `getset` (by default just __dict__), which stays referenced.
    static Ref make_class(PyObject* module, const char* name, unsigned long flags,
                          PyMemberDef* members, std::initializer_list<PyType_Slot> slots,
                          PyGetSetDef* getset = default_getset()) {
        std::vector<PyType_Slot> all(slots);
        all.insert(all.end(), {{Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                               {Py_tp_clear, reinterpret_cast<void*>(clear)},
                               {Py_tp_members, members},
                               {Py_tp_getset, getset}});
        bool has_dealloc = std::any_of(slots.begin(), slots.end(), [](const PyType_Slot& s) {
            return s.slot == Py_tp_dealloc;
        });
        if (!has_dealloc) all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
        all.push_back({0, nullptr});
        PyType_Spec spec = {name, int(sizeof(Object)), 0,
                            unsigned(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | flags), all.data()};
        return native_class(module, spec);
    }

    static PyGetSetDef* default_getset();

    // `self` as an `Object`. The methods of a native class take any `self`, by position or
    // keyword, as Python methods do; the C fields are read only from instances of the class.
    static Object* from(PyTypeObject* cls, PyObject* self) {
        if (!PyObject_TypeCheck(self, cls))
            raise_format(PyExc_TypeError,
                         "descriptor for '%.100s' objects doesn't apply to a '%.100s' object",
                         cls->tp_name, Py_TYPE(self)->tp_name);
        return reinterpret_cast<Object*>(self);
    }
};

// The getset that gives the instances of a native class their __dict__.
constexpr PyGetSetDef instance_dict_getset = {"__dict__", PyObject_GenericGetDict,
                                              PyObject_GenericSetDict, nullptr, nullptr};

template <class Object>
PyGetSetDef* NativeInstance<Object>::default_getset() {
    static PyGetSetDef getset[] = {instance_dict_getset,
                                   {nullptr, nullptr, nullptr, nullptr, nullptr}};
    return getset;
}

// A C field read as the attribute `name`: an instance made by __new__, or one whose attribute was
// deleted, has none, which is an AttributeError.
inline Ref field(PyObject* self, PyObject* value, const char* name) {
    if (value == nullptr)
        raise_format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'",
                     Py_TYPE(self)->tp_name, name);
    return Ref::borrow(value);
}

// The state that copy and pickle restore, as for a class with __slots__: the instance __dict__
// (or None) and a dict of the C fields that are set, by attribute name.
inline Ref fields_state(PyObject* dict,
                        std::initializer_list<std::pair<const char*, PyObject*>> fields) {
    Ref set = new_dict();
    for (auto [name, value] : fields)
        if (value) check(PyDict_SetItemString(set, name, value));
    return tuple(dict ? dict : Py_None, set.get());
}

// A new, empty instance of `cls`, as object.__new__(cls) makes it, for a constructor that fills
// in the instance itself instead of going through type.__call__ (the class's __new__ must be
// object's).
inline Ref allocate_instance(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return own(type->tp_alloc(type, 0));
}

}  // namespace tarvik
