// Part of the namespace module, included by namespace.cpp (one compilation unit): the interned
// names it uses, each spelled as its identifier where it can be.

namespace tarvik {
namespace {

struct Names : InternedNames {
    using InternedNames::InternedNames;

    // Attribute, method and keyword names.
    PyObject* const tcl = name("tcl");
    PyObject* const tk = name("tk");
    PyObject* const cast = name("cast");
    PyObject* const var_name = name("var_name");
    PyObject* const cmd_name = name("cmd_name");
    PyObject* const args = name("args");
    PyObject* const keywords = name("keywords");
    PyObject* const logger = name("logger");
    PyObject* const ns = name("ns");
    PyObject* const call = name("call");
    PyObject* const eval = name("eval");
    PyObject* const getvar = name("getvar");
    PyObject* const tcl_result = name("_tcl_result");
    PyObject* const setvar = name("setvar");
    PyObject* const wantobjects = name("wantobjects");
    PyObject* const unsetvar = name("unsetvar");
    PyObject* const createcommand = name("createcommand");
    PyObject* const cast_list = name("cast_list");
    PyObject* const cast_boolean = name("cast_boolean");
    PyObject* const cast_array = name("cast_array");
    PyObject* const get = name("get");
    PyObject* const set = name("set");
    PyObject* const unset = name("unset");
    PyObject* const exists = name("exists");
    PyObject* const get_str = name("get_str");
    PyObject* const get_obj = name("get_obj");
    PyObject* const is_array = name("is_array");
    PyObject* const array_names = name("array_names");
    PyObject* const array_size = name("array_size");
    PyObject* const array_set = name("array_set");
    PyObject* const array_unset = name("array_unset");
    PyObject* const array_get = name("array_get");
    PyObject* const array_get_str = name("array_get_str");
    PyObject* const array_get_obj = name("array_get_obj");
    PyObject* const build_tclcmd = name("build_tclcmd");
    PyObject* const kwargs_to_dashed_args = name("kwargs_to_dashed_args");
    PyObject* const is_proc = name("is_proc");
    PyObject* const rename = name("rename");
    PyObject* const origin = name("origin");
    PyObject* const proc_body = name("proc_body");
    PyObject* const proc_args = name("proc_args");
    PyObject* const proc_arg_default = name("proc_arg_default");
    PyObject* const absolute = name("absolute");
    PyObject* const is_absolute = name("is_absolute");
    PyObject* const current = name("current");
    PyObject* const create = name("create");
    PyObject* const children = name("children");
    PyObject* const code = name("code");
    PyObject* const forget = name("forget");
    PyObject* const parent = name("parent");
    PyObject* const which = name("which");
    PyObject* const byref = name("byref");
    PyObject* const var_type = name("var_type");
    PyObject* const info = name("info");
    PyObject* const format = name("format");
    PyObject* const items = name("items");
    PyObject* const startswith = name("startswith");
    PyObject* const update_wrapper = name("update_wrapper");
    PyObject* const array_index = name("array_index");
    PyObject* const pattern = name("pattern");
    PyObject* const nocomplain = name("nocomplain");
    PyObject* const cls = name("cls");
    PyObject* const id = name("id");
    PyObject* const commands = name("commands");
    PyObject* const procs = name("procs");
    PyObject* const body = name("body");
    PyObject* const size = name("size");
    PyObject* const names = name("names");
    PyObject* const vars = name("vars");
    PyObject* const objs = name("objs");
    PyObject* const cmds = name("cmds");
    PyObject* const VariablesView = name("VariablesView");
    PyObject* const ObjectsView = name("ObjectsView");
    PyObject* const ProcsView = name("ProcsView");
    PyObject* const CommandsView = name("CommandsView");
    PyObject* const deletecommand = name("deletecommand");
    PyObject* const trace_info = name("trace_info");
    PyObject* const append = name("append");
    PyObject* const remove = name("remove");
    PyObject* const add = name("add");
    PyObject* const variable = name("variable");
    PyObject* const trace_commands = name("_trace_commands");  // a temporary's trace commands
    // Names that are C++ keywords or not identifiers.
    PyObject* const delete_ = name("delete");
    PyObject* const import_ = name("import");
    PyObject* const export_ = name("export");
    PyObject* const dunder_init = name("__init__");
    PyObject* const dunder_enter = name("__enter__");
    PyObject* const dunder_exit = name("__exit__");
    PyObject* const dunder_del = name("__del__");
    PyObject* const dunder_wrapped = name("__wrapped__");
    PyObject* const dunder_name = name("__name__");

    // Words sent to Tcl, and texts.
    PyObject* const w_info = name("::info");
    PyObject* const w_array = name("::array");
    PyObject* const w_rename = name("::rename");
    PyObject* const w_namespace = name("::namespace");
    PyObject* const w_apply = name("::apply");
    PyObject* const namespace_word = name("namespace");
    PyObject* const default_word = name("default");
    PyObject* const w_clear = name("-clear");
    PyObject* const w_force = name("-force");
    PyObject* const w_command = name("-command");
    PyObject* const w_variable = name("-variable");
    PyObject* const empty = name("");
    PyObject* const separator = name("::");
    PyObject* const any_name = name("*");
    PyObject* const dash = name("-");
    PyObject* const calling = name("Calling: {}");
    PyObject* const package_name = name("tarvik.tcl");
    PyObject* const w_error = name("::error");
    PyObject* const w_trace = name("::trace");
    PyObject* const w_python = name("PYTHON");
    PyObject* const newline = name("\n");
    PyObject* const traceback = name("traceback");
    PyObject* const format_exception = name("format_exception");
    PyObject* const rstrip = name("rstrip");
    PyObject* const mapping = name("_mapping");  // a KeysView's view

    // Keyword-name tuples for calls through the instance.
    PyObject* const kw_tcl = keyword_names({"tcl"});
    PyObject* const kw_tcl_cast = keyword_names({"tcl", "cast"});
    PyObject* const kw_index_tcl_cast = keyword_names({"array_index", "tcl", "cast"});
    PyObject* const kw_array_index = keyword_names({"array_index"});
    PyObject* const kw_nocomplain = keyword_names({"nocomplain"});
    PyObject* const kw_cls_id = keyword_names({"cls", "id"});
    PyObject* const kw_pattern = keyword_names({"pattern"});
    PyObject* const kw_index_nocomplain = keyword_names({"array_index", "nocomplain"});

    // Argument tuples of tk.wantobjects: none (the question), False, and 1 (what it answers by
    // default).
    PyObject* const no_arguments = keep(own(PyTuple_New(0)));
    PyObject* const false_argument = keep(tuple(Py_False));
    PyObject* const one_argument = keep(tuple(own(PyLong_FromLong(1)).get()));

    // The queries that list a view's names in the current namespace.
    PyObject* const q_info_vars = keep(tuple(w_info, vars));
    PyObject* const q_info_commands = keep(tuple(w_info, commands));
    PyObject* const q_info_procs = keep(tuple(w_info, procs));
    // The names of one namespace, or their number: (kind, namespace, pattern, count) where kind
    // is vars, commands or procs and the pattern is "<namespace>::*". Nothing here creates the
    // namespace. Variables are listed inside the namespace, which is much quicker than a
    // qualified pattern but also lists the globals that it sees; a name counts when the
    // namespace's own variable of that name has a value, which leaves out both those globals and
    // variables that are only declared. For commands, Tcl looks the qualifiers of the pattern up
    // as written and gives the names qualified, all with the same qualifiers, cut by position.
    PyObject* const own_names_lambda = name(
        "{kind ns pattern count} {\n"
        "    if {$kind ne {vars}} {\n"
        "        set names [::info $kind $pattern]\n"
        "        if {[::llength $names]} {\n"
        "            set cut [::string length [::namespace qualifiers [::lindex $names 0]]]\n"
        "            set cut [::expr {$cut + 2}]\n"
        "            set names [::lmap name $names {::string range $name $cut end}]\n"
        "        }\n"
        "    } elseif {[::namespace exists $ns]} {\n"
        "        set names [::lmap name [::namespace eval $ns {::info vars}] {\n"
        "            if {[::info exists ${ns}::$name]} {set name} else continue\n"
        "        }]\n"
        "    } else {\n"
        "        set names {}\n"
        "    }\n"
        "    if {$count} {::llength $names} else {set names}\n"
        "}");
};

}  // namespace
}  // namespace tarvik
