// Classes built the way a class statement builds them: a namespace of native functions and values,
// handed to the most derived metaclass of the bases (`type`, or `ABCMeta` where a base is an ABC).
// MRO, `super()`, instance `__dict__`, weak references, ABC registration and aliases then behave
// exactly as for a class written in Python.
#pragma once

#include "function.hpp"

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

namespace tarvik {

class ClassBuilder {
  public:
    // `outer` is the class this one is nested in (for its qualified name), or NULL.
    ClassBuilder(ModuleState& state, PyObject* module, const char* name, PyObject* outer = nullptr)
        : state_(state), module_(module), namespace_(new_dict()), name_(from_utf8(name)) {
        qualname_ =
            outer ? own(PyUnicode_FromFormat("%S.%s", getattr(outer, "__qualname__").get(), name))
                  : name_;
        set("__module__", state.module_name);
        set("__qualname__", qualname_);
    }

    ClassBuilder& doc(const char* text) { return set("__doc__", from_utf8(text)); }

    // Class attributes, in the order of the class body, from a braced list or from a table of
    // definitions kept beside the class.
    ClassBuilder& methods(std::initializer_list<FunctionDef> defs) {
        return add_functions(defs.begin(), defs.end(), false);
    }
    template <size_t N>
    ClassBuilder& methods(const FunctionDef (&defs)[N]) {
        return add_functions(defs, defs + N, false);
    }
    ClassBuilder& static_methods(std::initializer_list<FunctionDef> defs) {
        return add_functions(defs.begin(), defs.end(), true);
    }
    template <size_t N>
    ClassBuilder& static_methods(const FunctionDef (&defs)[N]) {
        return add_functions(defs, defs + N, true);
    }
    ClassBuilder& set(const char* name, PyObject* value) {
        check(PyDict_SetItemString(namespace_, name, value));
        return *this;
    }
    // `name = existing` in the class body: the very same object under a second name.
    ClassBuilder& alias(const char* name, const char* existing) {
        PyObject* value = PyDict_GetItemString(namespace_, existing);
        if (value == nullptr)
            raise_format(PyExc_SystemError, "alias %s of undefined %s", name, existing);
        return set(name, value);
    }

    PyObject* qualname() const { return qualname_; }

    // Creates the class; no bases means `object`.
    Ref build(std::initializer_list<PyObject*> bases) {
        Ref base_tuple = own(PyTuple_New(Py_ssize_t(bases.size())));
        Py_ssize_t i = 0;
        for (PyObject* base : bases)
            PyTuple_SET_ITEM(base_tuple.get(), i++, Py_NewRef(base));
        return call(metaclass_of(base_tuple), name_, base_tuple, namespace_);
    }

  private:
    ClassBuilder& add_functions(const FunctionDef* first, const FunctionDef* last, bool as_static) {
        for (const FunctionDef* def = first; def != last; ++def) {
            Ref fn = state_.make_function(module_, *def, qualname_);
            set(def->name, as_static ? own(PyStaticMethod_New(fn)) : fn);
        }
        return *this;
    }

    // The most derived metaclass among the bases, as a class statement determines it.
    static PyObject* metaclass_of(PyObject* bases) {
        auto* winner = &PyType_Type;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
            PyTypeObject* meta = Py_TYPE(PyTuple_GET_ITEM(bases, i));
            if (PyType_IsSubtype(meta, winner))
                winner = meta;
            else if (!PyType_IsSubtype(winner, meta))
                raise(PyExc_TypeError, "metaclass conflict among the bases");
        }
        return reinterpret_cast<PyObject*>(winner);
    }

    ModuleState& state_;
    PyObject* module_;
    Ref namespace_;
    Ref name_;
    Ref qualname_;
};

// ---------------------------------------------------------------------------------------------
// Native classes: instances with C fields, for the few objects on the hottest paths, where a class
// built by its metaclass would cost more than the work itself (instance dict writes, generic
// allocation, no vectorcall for instances). They still look like Python classes: subclassable,
// with native functions of this package as their methods.

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

// Methods of a native class, set as a class statement sets them: a method named after a slot
// (__init__, __str__, __call__...) makes the class's slot call it.
inline void add_methods(ModuleState& state, PyObject* module, PyObject* cls,
                        std::initializer_list<FunctionDef> defs) {
    Ref qualname = getattr(cls, "__qualname__");
    for (const FunctionDef& def : defs)
        check(PyObject_SetAttrString(cls, def.name, state.make_function(module, def, qualname)));
}

// Puts `value` in the class's dict and leaves its slots as they are: for a method whose work a C
// slot of the class already does faster. Subclasses made by a class statement still see the
// method and build their slots from it, as for a class written in Python.
inline void set_beside_slot(PyObject* cls, const char* name, PyObject* value) {
    check(PyDict_SetItemString(class_dict(cls), name, value));
    PyType_Modified(reinterpret_cast<PyTypeObject*>(cls));
}

inline void add_methods_beside_slots(ModuleState& state, PyObject* module, PyObject* cls,
                                     std::initializer_list<FunctionDef> defs) {
    Ref qualname = getattr(cls, "__qualname__");
    for (const FunctionDef& def : defs)
        set_beside_slot(cls, def.name, state.make_function(module, def, qualname));
}

// For a class whose C tp_getattro is the normal lookup followed by its own __getattr__, done
// without raising and catching an AttributeError in between. To Python the class shows
// object.__getattribute__ and the native `__getattr__`, exactly what a class statement would
// make, so a subclass gets CPython's own hook and any __getattr__ it defines is obeyed.
inline void show_getattr(ModuleState& state, PyObject* module, PyObject* cls,
                         const FunctionDef& getattr_def) {
    Ref generic = getattr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__getattribute__");
    set_beside_slot(cls, "__getattribute__", generic);
    add_methods_beside_slots(state, module, cls, {getattr_def});
}

// The instances of a native class: `Object` is its C struct, which starts with PyObject_HEAD, has
// `dict` and `weakrefs` fields for __dict__ and weak references, and lists the object fields it
// owns (those two included) in `owned()`.
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

// True when the normal lookup of `name` on `self` would find nothing: its class (and so no base)
// has no such attribute, and `dict`, the instance __dict__ of `self`, is not there yet. A C
// tp_getattro answers its commonest case with this, before the full generic lookup.
inline bool surely_missing(PyObject* self, PyObject* dict, PyObject* name) {
    return dict == nullptr && _PyType_Lookup(Py_TYPE(self), name) == nullptr;
}

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

// obj.__dict__[name], or empty when the instance __dict__ does not hold it. `name` is an exact
// str, so the lookup runs no Python code.
inline Ref instance_entry(PyObject* obj, PyObject* name) {
    Ref dict = instance_dict(obj);
    if (!dict) return {};
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && PyErr_Occurred()) raise_current();
    return Ref::borrow(value);
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

    int traverse(visitproc visit, void* arg) const { return attribute_.traverse(visit, arg); }
    void clear() { attribute_.clear(); }

  private:
    ClassAttribute attribute_;
};

// obj.name for an attribute that instances keep in their __dict__ (a host's `tk`, say): read
// from the dict directly while the class has no data descriptor of that name (see
// ClassAttribute); anything else is the ordinary getattr.
class CachedAttribute {
  public:
    explicit CachedAttribute(PyObject* name = nullptr) : attribute_(name) {}

    Ref get(PyObject* obj) {
        bool cacheable;
        PyObject* found = attribute_.of(Py_TYPE(obj), cacheable);
        if (cacheable && !(found && is_data_descriptor(found)))
            if (Ref value = instance_entry(obj, attribute_.name())) return value;
        return getattr(obj, attribute_.name());
    }

    int traverse(visitproc visit, void* arg) const { return attribute_.traverse(visit, arg); }
    void clear() { attribute_.clear(); }

  private:
    ClassAttribute attribute_;
};

// A new, empty instance of `cls`, as object.__new__(cls) makes it, for a constructor that fills
// in the instance itself instead of going through type.__call__ (the class's __new__ must be
// object's).
inline Ref allocate_instance(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return own(type->tp_alloc(type, 0));
}

// super(cls, self).name, as the argument-less super() of a method of `cls` would find it.
inline Ref super_attr(PyObject* cls, PyObject* self, PyObject* name) {
    Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
    return getattr(proxy, name);
}

// The same lookup returning an empty Ref when no later class defines `name`.
inline Ref super_attr_optional(PyObject* cls, PyObject* self, PyObject* name) {
    Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
    return getattr_optional(proxy, name);
}

// cls(*args) with keyword arguments named by `kwnames` (after the positional ones in `args`), for
// a class whose __init__ is a native function of this package: the instance is made by its
// __new__ and handed to __init__ by vectorcall, without the tuple and dict that the generic type
// call packs the arguments into. Any other class (another metaclass __call__, __new__ or
// __init__) is called as usual. `init_name` is the interned "__init__".
inline Ref construct(const ModuleState& state, PyObject* cls, PyObject* const* args, size_t nargs,
                     PyObject* kwnames, PyObject* init_name) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* init = nullptr;
    if (PyType_Check(cls) && Py_TYPE(cls)->tp_call == PyType_Type.tp_call &&
        type->tp_new == PyBaseObject_Type.tp_new && (type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        init = PyDict_GetItemWithError(type->tp_dict, init_name);
        if (!init && PyErr_Occurred()) raise_current();
    }
    if (!init || Py_TYPE(init) != state.function_type)
        return own(PyObject_Vectorcall(cls, args, nargs, kwnames));
    Ref self = own(type->tp_new(type, Ref::steal(PyTuple_New(0)), nullptr));
    size_t total = nargs + (kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0);
    PyObject* few[8];
    std::vector<PyObject*> many;
    PyObject** argv = total < 8 ? few : (many.resize(total + 1), many.data());
    argv[0] = self.get();
    std::copy(args, args + total, argv + 1);
    Ref result = own(PyObject_Vectorcall(init, argv, nargs + 1, kwnames));
    if (result.get() != Py_None)
        raise_format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.get())->tp_name);
    return self;
}

// super(cls, self).__init__(), skipped when the initialiser it would reach is object.__init__,
// which does nothing when called without arguments: most handles have no other base, and making
// a super object for nothing costs more than the rest of their construction. `init_name` is the
// interned "__init__".
inline void call_super_init(PyObject* cls, PyObject* self, PyObject* init_name) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != cls)
        ++i;
    for (++i; i < n; ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (base == &PyBaseObject_Type) return;
        // Other built-in bases keep their dict out of reach on newer interpreters: ask super().
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) break;
        int found = PyDict_Contains(base->tp_dict, init_name);
        if (found < 0) raise_current();
        if (found) break;
    }
    call(super_attr(cls, self, init_name));
}

}  // namespace tarvik
