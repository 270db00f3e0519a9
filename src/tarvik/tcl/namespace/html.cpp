// Part of the namespace module, included by namespace.cpp (one compilation unit): the views shown
// as HTML tables in a notebook, read through the views' own methods as any other reader would.

namespace tarvik {
namespace {

// The view's names, asked once, and a table captioned with the view's repr.
struct ViewListing {
    Ref names;
    html::Table table;

    ViewListing(PyObject* view, std::initializer_list<const char*> headings)
        : names(own(PySequence_List(view))), table(headings, own(PyObject_Repr(view)).get()) {}
};

// The elements of an array as a table of their own.
Ref array_cell(PyObject* elements) {
    Ref items = own(PyMapping_Items(elements));
    html::Table table({"element", "value"});
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()) && !table.full(); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
        Ref key = html::text(own(PySequence_GetItem(item, 0)));
        Ref value = html::text(own(PySequence_GetItem(item, 1)));
        table.row({key.get(), value.get()});
    }
    return table.finish(PyList_GET_SIZE(items.get()));
}

// A variable's value, an array's elements (which the views read as a dict), or a note for a
// name that has no value the view can read.
Ref variable_cell(PyObject* view, PyObject* name) {
    Ref value = Ref::steal_maybe(PyObject_GetItem(view, name));
    if (!value) {
        if (!error_matches(PyExc_KeyError)) raise_current();
        PyErr_Clear();
        return from_utf8("<i>no value</i>");
    }
    return PyDict_Check(value) ? array_cell(value) : html::text(value);
}

Ref VariablesView_repr_html(const Call&, Named<1> named) {
    PyObject* self = named[0];
    ViewListing listing(self, {"name", "value"});
    Py_ssize_t count = PyList_GET_SIZE(listing.names.get());
    for (Py_ssize_t i = 0; i < count && !listing.table.full(); ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(listing.names.get(), i));
        Ref name_cell = html::text(name);
        Ref value_cell = variable_cell(self, name);
        listing.table.row({name_cell.get(), value_cell.get()});
    }
    return listing.table.finish(count);
}

// A command's kind, and for a proc its arguments as a Tcl list. A proc that the lookup by name
// cannot tell apart (a name holding glob characters) shows no arguments.
std::pair<Ref, Ref> command_cells(const State& st, PyObject* view, PyObject* name, bool proc) {
    if (!proc) return {from_utf8("command"), from_utf8("")};
    Ref arguments = from_utf8("");
    ignoring(st.TclError, [&] {
        arguments = html::text(scriptify(st, call_method(view, st.name.proc_args, name)));
    });
    return {from_utf8("proc"), arguments};
}

Ref CommandsView_repr_html(const Call& c, Named<1> named) {
    const State& st = c.state<State>();
    PyObject* self = named[0];
    ViewListing listing(self, {"name", "kind", "arguments"});
    Ref procs = getattr(getattr(self, st.name.ns).get(), st.name.procs);
    Ref proc_names = own(PySet_New(procs));
    Py_ssize_t count = PyList_GET_SIZE(listing.names.get());
    for (Py_ssize_t i = 0; i < count && !listing.table.full(); ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(listing.names.get(), i));
        Ref name_cell = html::text(name);
        auto [kind, arguments] =
            command_cells(st, self, name, check(PySet_Contains(proc_names, name)));
        listing.table.row({name_cell.get(), kind.get(), arguments.get()});
    }
    return listing.table.finish(count);
}

const FunctionDef VariablesView_html_methods[] = {
    {"_repr_html_", invoke<VariablesView_repr_html>, "(self)",
     "Return the variables as an HTML table of names and values, for notebooks: arrays as\n"
     "nested tables, every text escaped, at most 500 rows."},
};

const FunctionDef CommandsView_html_methods[] = {
    {"_repr_html_", invoke<CommandsView_repr_html>, "(self)",
     "Return the commands as an HTML table of names, kinds and the arguments of procs, for\n"
     "notebooks: every text escaped, at most 500 rows."},
};

}  // namespace
}  // namespace tarvik
