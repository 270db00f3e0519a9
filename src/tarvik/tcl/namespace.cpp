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
    Names name;
    Converter convert;
    Ref MutableMapping;
    Ref TclError;
    Ref functools;
    bool assertions;  // assert statements run (no -O)

    Ref TclVariable;
    Ref TempTclVariable;
    Ref TclArrayVariable;
    Ref TempTclArrayVariable;
    Ref TclCommand;
    Ref TempTclCommand;
    Ref TclNamespace;
    Ref TempTclNamespace;
    Ref variables_view;  // TclNamespace.VariablesView
    Ref commands_view;   // TclNamespace.CommandsView
    Ref view_keys;       // TclNamespace.KeysView

    Ref marker;            // TclVariable._TclVariable__marker
    Ref dashed_args;       // the native kwargs_to_dashed_args
    Ref lazy_names;        // the iterator type of arrays and views
    Ref command_callback;  // the type of what stands for a Python function registered in Tcl

    // The methods as this module made them, which a view's item read compares with what it
    // finds (see direct_read), and name_text() with what a namespace handle's class has.
    Ref VariablesView_get;
    Ref ObjectsView_get;
    Ref VariablesView_byref;
    Ref TclVariable_init;
    Ref TclVariable_get_str;
    Ref TclVariable_get_obj;
    Ref TclNamespace_str;

    auto owned() {
        return std::array{&MutableMapping,
                          &TclError,
                          &functools,
                          &TclVariable,
                          &TempTclVariable,
                          &TclArrayVariable,
                          &TempTclArrayVariable,
                          &TclCommand,
                          &TempTclCommand,
                          &TclNamespace,
                          &TempTclNamespace,
                          &variables_view,
                          &commands_view,
                          &view_keys,
                          &marker,
                          &dashed_args,
                          &lazy_names,
                          &command_callback,
                          &VariablesView_get,
                          &ObjectsView_get,
                          &VariablesView_byref,
                          &TclVariable_init,
                          &TclVariable_get_str,
                          &TclVariable_get_obj,
                          &TclNamespace_str};
    }

    void init(PyObject* module);
    void import_names(PyObject* module);
    void build_variable_classes(PyObject* module);
    void build_command_classes(PyObject* module);
    void build_namespace_classes(PyObject* module);
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
    convert.init();
    add_object(module, "scriptify", import_sibling_attr(module, "scriptify", "scriptify"));
    add_object(module, "tclobj", import_sibling_attr(module, "scriptify", "tclobj"));
    TclError = add_object(module, "TclError", tkinter_name("TclError"));
    add_object_if_any(module, "Tk", tkinter_name("Tk"));
    add_object(module, "MethodType", import_attr("types", "MethodType"));
    add_object(module, "weakref", import("weakref"));
    Ref sys = add_object(module, "sys", import("sys"));
    functools = add_object(module, "functools", import("functools"));
    add_object(
        module, "__all__",
        names_tuple({"TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
                     "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace"}));
    Ref optimize = getattr(getattr(sys, "flags"), "optimize");
    assertions = PyLong_AsLong(optimize) == 0;
}

void State::build_variable_classes(PyObject* module) {
    marker = tarvik::call(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
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
    dashed_args = getattr(TclCommand, name.kwargs_to_dashed_args);
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
    auto view = [&](const char* view_name, const char* doc, Borrowed base, const auto&... tables) {
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
    view_keys = keys;
    Ref variables = view("VariablesView", VariablesView_doc, MutableMapping, VariablesView_methods,
                         VariablesView_html_methods);
    Ref objects = view("ObjectsView", ObjectsView_doc, variables, ObjectsView_methods);
    Ref commands = view("CommandsView", CommandsView_doc, MutableMapping, CommandsView_methods,
                        CommandsView_html_methods);
    view("ProcsView", ProcsView_doc, commands, ProcsView_methods);
    variables_view = variables;
    VariablesView_get = class_attribute(variables, name.get);
    ObjectsView_get = class_attribute(objects, name.get);
    VariablesView_byref = class_attribute(variables, name.byref);
    TclVariable_init = class_attribute(TclVariable, name.dunder_init);
    TclVariable_get_str = class_attribute(TclVariable, name.get_str);
    TclVariable_get_obj = class_attribute(TclVariable, name.get_obj);
    commands_view = commands;
    TclNamespace_str = class_attribute(cls, name.dunder_str);
    TclNamespace = add_object(module, "TclNamespace", cls);
    TempTclNamespace = add_object(module, "TempTclNamespace",
                                  ClassBuilder(*this, module, "TempTclNamespace")
                                      .doc(TempTclNamespace_doc)
                                      .methods(TempTclNamespace_methods)
                                      .build({TclNamespace}));
}

void State::init(PyObject* module) {
    import_names(module);
    lazy_names = Ref::steal(reinterpret_cast<PyObject*>(lazy_names::create(module)));
    command_callback = Ref::steal(reinterpret_cast<PyObject*>(callbacks::create(module)));
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
