// Part of the namespace module, included by namespace.cpp (one compilation unit): lazy name
// iteration. Nothing is sent to Tcl until the first name is asked for, and each iteration asks
// again.

namespace tarvik {
namespace {

enum class NameSource : int { ARRAY_ELEMENTS, VIEW_QUERY };

struct LazyNames {
    PyObject_HEAD NameSource source;
    bool running;     // a step is under way: code it runs may not take another, as in a generator
    PyObject* owner;  // the array handle or the view; released once the names are fetched
    PyObject* query;  // the view's query words, or NULL
    PyObject* names;  // an iterator over the fetched names, or NULL before the first step

    auto owned() { return std::array{&owner, &query, &names}; }
    bool started() const { return names != nullptr || owner == nullptr; }
};

State& lazy_state(PyObject* self) {
    return state_of_type<State>(Py_TYPE(self));
}

// The names a view lists for its query ("::info", kind), or their number when `count`: those of
// the handle's own namespace when it has a name, otherwise those the query gives in the current
// namespace (where Tcl also lists the globals it can see).
Ref view_names(const State& st, PyObject* view, PyObject* query, bool count) {
    Ref ns = getattr(view, st.name.ns);
    Ref ns_name = getattr(ns, st.name.ns);
    if (is_true(ns_name)) {
        Ref pattern = join_two(st, ns_name, st.name.any_name);
        PyObject* kind = PyTuple_GET_ITEM(query, 1);
        Ref words = tuple(st.name.w_apply, st.name.own_names_lambda, kind, ns_name.get(),
                          pattern.get(), own(PyLong_FromLong(count)).get());
        Ref result = tk_call(st, ns, words);
        if (count) {
            Ref answer = answered(st, std::move(result));
            return own(PyNumber_Long(answer));
        }
        return host_cast(st, ns, st.name.cast_list, result);
    }
    if (count) {
        Ref script = own(PyUnicode_FromFormat("::llength [%U]", scriptify(st, query).get()));
        Ref result = answered(st, call_method(ns, st.name.eval, script.get()));
        return own(PyNumber_Long(result));
    }
    return host_cast(st, ns, st.name.cast_list, call_method(ns, st.name.call, query));
}

// The names of the array handle or view `owner`, asked of Tcl now.
Ref fetch_names(const State& st, NameSource source, PyObject* owner, PyObject* query) {
    if (source == NameSource::ARRAY_ELEMENTS) return call_method(owner, st.name.array_names);
    return view_names(st, owner, query, false);
}

namespace lazy_names {

using Lifecycle = NativeInstance<LazyNames>;

// The first step asks Tcl, through code that may run anything; the owner is held meanwhile.
void start(const State& st, LazyNames* it) {
    Ref owner = Ref::borrow(it->owner), query = Ref::borrow(it->query);
    Ref names = own(PyObject_GetIter(fetch_names(st, it->source, owner, query).get()));
    Py_XSETREF(it->names, names.release());
    Py_CLEAR(it->owner);
}

// Marks the iterator as running for the length of one step.
class Step {
  public:
    explicit Step(LazyNames* it) : it_(it) {
        if (it->running) raise(PyExc_ValueError, "name iterator already executing");
        it->running = true;
    }
    ~Step() { it_->running = false; }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

  private:
    LazyNames* it_;
};

// The next name, or NULL with no error set once the names are exhausted.
PyObject* next(PyObject* self) {
    auto* it = reinterpret_cast<LazyNames*>(self);
    return guarded_next([&] {
        const State& st = lazy_state(self);
        Step step(it);
        if (!it->started()) start(st, it);
        Ref names = Ref::borrow(it->names);
        Ref name = names ? Ref::steal_maybe(PyIter_Next(names)) : Ref();
        if (!name) {
            if (PyErr_Occurred()) raise_current();
            return name;
        }
        // Tcl hands some names back as Tcl objects (variable names carry a parsed form).
        return plain_string(st, std::move(name));
    });
}

PyTypeObject* create(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(Lifecycle::dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(Lifecycle::traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(Lifecycle::clear)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(next)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "tarvik.tcl.namespace.name_iterator",
        sizeof(LazyNames),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace lazy_names

Ref iterate_names(const State& st, NameSource source, PyObject* owner, PyObject* query) {
    auto* it = PyObject_GC_New(LazyNames, as_type(st.lazy_names));
    if (it == nullptr) raise_current();
    it->source = source;
    it->running = false;
    it->owner = Py_NewRef(owner);
    it->query = Py_XNewRef(query);
    it->names = nullptr;
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject*>(it));
}

}  // namespace
}  // namespace tarvik
