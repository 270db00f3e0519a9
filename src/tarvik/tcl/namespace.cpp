// tarvik.tcl.namespace: Python handles on the variables, arrays, commands and namespaces of a Tcl
// interpreter, and temporaries that remove their Tcl object when a `with` block ends.
//
// The classes are built by calling their metaclass, as class statements would be, so instances
// are ordinary Python objects: their state lives in the instance __dict__ under public attribute
// names, read and written with getattr/setattr so that a subclass may replace any of them, and
// methods reach each other through the instance so that overrides are honoured. A handle holds
// its host interpreter only through a weak proxy and never keeps it alive.
//
// One compilation unit: this file holds the module state and assembles the classes; the parts in
// namespace/ hold the bodies, each class's method definitions right after them.
#include "support/class_builder.hpp"
#include "support/conversion.hpp"
#include "support/deferred.hpp"
#include "support/html_table.hpp"
#include "support/lookup_caches.hpp"
#include "support/native_classes.hpp"
#include "support/tcl_names.hpp"
#include "support/tk_values.hpp"
#include "support/weak.hpp"

#include <utility>
#include <vector>

#include "namespace/names.cpp"

namespace tarvik {
namespace {

struct State : ModuleState {
    Names name{*this};
    Converter convert;
    PyObject* MutableMapping;
    PyObject* TclError;
    PyObject* Tcl_Obj;
    PyObject* functools;
    bool assertions;  // assert statements run (no -O)

    PyObject* TclVariable;
    PyObject* TempTclVariable;
    PyObject* TclArrayVariable;
    PyObject* TempTclArrayVariable;
    PyObject* TclCommand;
    PyObject* TempTclCommand;
    PyObject* TclNamespace;
    PyObject* TempTclNamespace;
    PyObject* variables_view;  // TclNamespace.VariablesView
    PyObject* commands_view;   // TclNamespace.CommandsView
    PyObject* view_keys;       // TclNamespace.KeysView

    PyObject* marker;                // TclVariable._TclVariable__marker
    PyObject* dashed_args;           // the native kwargs_to_dashed_args
    PyTypeObject* lazy_names;        // the iterator type of arrays and views
    PyTypeObject* command_callback;  // what stands for a Python function registered in Tcl

    // What every call into Tcl reads of the host and calls on its tk, with the lookups
    // remembered from call to call. Caches only, so they may change under a const State. (The
    // handles themselves are read the ordinary way: views make one per access, and reading the
    // instance dict directly would make each of them build one.)
    mutable CachedAttribute host_tk{name.tk};
    mutable CachedMethod tk_getvar{name.getvar};
    mutable CachedMethod tk_setvar{name.setvar};
    mutable CachedMethod tk_wantobjects{name.wantobjects};

    // What a view's item read checks before it reads a variable directly: the methods as they
    // were built, and the lookups that find what an instance or a class has in their place.
    PyObject* VariablesView_get;
    PyObject* ObjectsView_get;
    PyObject* VariablesView_byref;
    PyObject* TclVariable_get_str;
    PyObject* TclVariable_get_obj;
    mutable ClassAttribute view_get{name.get};
    mutable ClassAttribute view_byref{name.byref};
    mutable ClassAttribute variable_get_str{name.get_str};
    mutable ClassAttribute variable_get_obj{name.get_obj};
    // A view and its namespace handle live long, so the direct read takes their attributes from
    // their instance dicts; and it remembers the last namespace name it found in normal form and
    // the last variable name it made, for reads of one variable over and over.
    mutable CachedAttribute view_ns{name.ns};
    mutable CachedAttribute namespace_name{name.ns};
    mutable CachedAttribute namespace_host{name.tcl};
    mutable KnownValue normal_namespace_name;
    mutable RememberedResult item_name_memo;

    void init(PyObject* module);
    void import_names(PyObject* module);
    void build_variable_classes(PyObject* module);
    void build_command_classes(PyObject* module);
    void build_namespace_classes(PyObject* module);
    int traverse(visitproc visit, void* arg) const {
        if (int status = ModuleState::traverse(visit, arg)) return status;
        return traverse_caches(visit, arg, host_tk, tk_getvar, tk_setvar, tk_wantobjects, view_get,
                               view_byref, variable_get_str, variable_get_obj, view_ns,
                               namespace_name, namespace_host, normal_namespace_name,
                               item_name_memo);
    }
    void clear() {
        ModuleState::clear();
        clear_caches(host_tk, tk_getvar, tk_setvar, tk_wantobjects, view_get, view_byref,
                     variable_get_str, variable_get_obj, view_ns, namespace_name, namespace_host,
                     normal_namespace_name, item_name_memo);
    }
};

}  // namespace
}  // namespace tarvik

#include "namespace/handles.cpp"
#include "namespace/lazy_names.cpp"
#include "namespace/variables.cpp"
#include "namespace/callbacks.cpp"
#include "namespace/traces.cpp"
#include "namespace/commands.cpp"
#include "namespace/namespaces.cpp"
#include "namespace/views.cpp"
#include "namespace/html.cpp"
#include "namespace/temporaries.cpp"

namespace tarvik {
namespace {

// What the class itself holds under `attribute`, as the instances' lookup finds it.
Ref class_attribute(PyObject* cls, PyObject* attribute) {
    PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), attribute);
    if (found == nullptr) raise_format(PyExc_AttributeError, "%R has no %R", cls, attribute);
    return Ref::borrow(found);
}

Ref names_tuple(std::initializer_list<const char*> names) {
    Ref result = own(PyTuple_New(Py_ssize_t(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names)
        PyTuple_SET_ITEM(result.get(), i++, intern(name).release());
    return result;
}

// The module's other names, in the order a Python version would import them.
void State::import_names(PyObject* module) {
    MutableMapping =
        add_object(module, "MutableMapping", import_attr("collections.abc", "MutableMapping"));
    convert.init(*this);
    add_object(module, "scriptify", import_sibling_attr(module, "scriptify", "scriptify"));
    add_object(module, "tclobj", import_sibling_attr(module, "scriptify", "tclobj"));
    Ref tkinter = import("tkinter");
    TclError = add_object(module, "TclError", getattr(tkinter, "TclError"));
    add_object(module, "Tk", getattr(tkinter, "Tk"));
    add_object(module, "MethodType", import_attr("types", "MethodType"));
    add_object(module, "weakref", import("weakref"));
    PyObject* sys = add_object(module, "sys", import("sys"));
    functools = add_object(module, "functools", import("functools"));
    add_object(
        module, "__all__",
        names_tuple({"TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
                     "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace"}));
    Tcl_Obj = convert.Tcl_Obj;
    Ref optimize = getattr(getattr(sys, "flags"), "optimize");
    assertions = PyLong_AsLong(optimize) == 0;
}

void State::build_variable_classes(PyObject* module) {
    marker = keep(tarvik::call(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    TclVariable = add_object(module, "TclVariable",
                             ClassBuilder(*this, module, "TclVariable")
                                 .doc(TclVariable_doc)
                                 .set("_TclVariable__marker", marker)
                                 .methods(TclVariable_methods)
                                 .methods(TclVariable_trace_methods)
                                 .build({}));
    TempTclVariable = add_object(module, "TempTclVariable",
                                 ClassBuilder(*this, module, "TempTclVariable")
                                     .doc(TempTclVariable_doc)
                                     .methods(TempTclVariable_methods)
                                     .build({TclVariable}));
    TclArrayVariable = add_object(module, "TclArrayVariable",
                                  ClassBuilder(*this, module, "TclArrayVariable")
                                      .doc(TclArrayVariable_doc)
                                      .methods(TclArrayVariable_methods)
                                      .set("get", getattr(TclVariable, name.get))
                                      .build({MutableMapping, TclVariable}));
    TempTclArrayVariable = add_object(module, "TempTclArrayVariable",
                                      ClassBuilder(*this, module, "TempTclArrayVariable")
                                          .doc(TempTclArrayVariable_doc)
                                          .build({TempTclVariable, TclArrayVariable}));
}

void State::build_command_classes(PyObject* module) {
    TclCommand = add_object(module, "TclCommand",
                            ClassBuilder(*this, module, "TclCommand")
                                .doc(TclCommand_doc)
                                .methods(TclCommand_methods)
                                .build({}));
    dashed_args = keep(getattr(TclCommand, name.kwargs_to_dashed_args));
    TempTclCommand = add_object(module, "TempTclCommand",
                                ClassBuilder(*this, module, "TempTclCommand")
                                    .doc(TempTclCommand_doc)
                                    .methods(TempTclCommand_methods)
                                    .build({TclCommand}));
}

// TclNamespace and its nested view classes, which are set on it once it exists (their qualified
// names are TclNamespace.VariablesView and so on), then TempTclNamespace.
void State::build_namespace_classes(PyObject* module) {
    Ref cls = ClassBuilder(*this, module, "TclNamespace")
                  .doc(TclNamespace_doc)
                  .methods(TclNamespace_methods)
                  .build({});
    auto view = [&](const char* view_name, const char* doc, PyObject* base, const auto&... tables) {
        ClassBuilder builder(*this, module, view_name, cls);
        builder.doc(doc);
        (builder.methods(tables), ...);
        Ref made = builder.build({base});
        setattr(cls, from_utf8(view_name), made);
        return made;
    };
    Ref keys_base = import_attr("collections.abc", "KeysView");
    Ref keys = ClassBuilder(*this, module, "KeysView", cls)
                   .doc(KeysView_doc)
                   .methods(KeysView_methods)
                   .build({keys_base});
    setattr(cls, from_utf8("KeysView"), keys);
    view_keys = keep(keys);
    Ref variables = view("VariablesView", VariablesView_doc, MutableMapping, VariablesView_methods,
                         VariablesView_html_methods);
    Ref objects = view("ObjectsView", ObjectsView_doc, variables, ObjectsView_methods);
    Ref commands = view("CommandsView", CommandsView_doc, MutableMapping, CommandsView_methods,
                        CommandsView_html_methods);
    view("ProcsView", ProcsView_doc, commands, ProcsView_methods);
    variables_view = keep(variables);
    VariablesView_get = keep(class_attribute(variables, name.get));
    ObjectsView_get = keep(class_attribute(objects, name.get));
    VariablesView_byref = keep(class_attribute(variables, name.byref));
    TclVariable_get_str = keep(class_attribute(TclVariable, name.get_str));
    TclVariable_get_obj = keep(class_attribute(TclVariable, name.get_obj));
    commands_view = keep(commands);
    TclNamespace = add_object(module, "TclNamespace", cls);
    TempTclNamespace = add_object(module, "TempTclNamespace",
                                  ClassBuilder(*this, module, "TempTclNamespace")
                                      .doc(TempTclNamespace_doc)
                                      .methods(TempTclNamespace_methods)
                                      .build({TclNamespace}));
}

void State::init(PyObject* module) {
    import_names(module);
    lazy_names = reinterpret_cast<PyTypeObject*>(
        keep(Ref::steal(reinterpret_cast<PyObject*>(lazy_names::create(module)))));
    command_callback = reinterpret_cast<PyTypeObject*>(
        keep(Ref::steal(reinterpret_cast<PyObject*>(callbacks::create(module)))));
    build_variable_classes(module);
    build_command_classes(module);
    build_namespace_classes(module);
}

}  // namespace
}  // namespace tarvik

PyMODINIT_FUNC PyInit_namespace() {
    return tarvik::ModuleDefinition<tarvik::State>::init(
        "tarvik.tcl.namespace",
        "Handles on the variables, arrays, commands and namespaces of a Tcl interpreter,\n"
        "mapping views of a namespace, and temporaries that remove themselves.");
}
