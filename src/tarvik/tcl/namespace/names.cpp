// Part of the namespace module, included by namespace.cpp (one compilation unit): the interned
// names it uses, each spelled as its identifier where it can be.

namespace tarvik {
namespace {

struct Names : InternedNames {
    // Attribute, method and keyword names.
    const Ref tcl = name("tcl");
    const Ref tk = name("tk");
    const Ref cast = name("cast");
    const Ref var_name = name("var_name");
    const Ref cmd_name = name("cmd_name");
    const Ref args = name("args");
    const Ref keywords = name("keywords");
    const Ref logger = name("logger");
    const Ref ns = name("ns");
    // A temporary's name when none is given: {cls} and {id} make it unique to the handle.
    const Ref temporary_template = name("::__tarvik__{cls}_{id}_tmp");
    const Ref call = name("call");
    const Ref eval = name("eval");
    const Ref getvar = name("getvar");
    const Ref setvar = name("setvar");
    const Ref unsetvar = name("unsetvar");
    const Ref createcommand = name("createcommand");
    const Ref cast_list = name("cast_list");
    const Ref cast_boolean = name("cast_boolean");
    const Ref cast_array = name("cast_array");
    const Ref get = name("get");
    const Ref set = name("set");
    const Ref unset = name("unset");
    const Ref exists = name("exists");
    const Ref get_str = name("get_str");
    const Ref get_obj = name("get_obj");
    const Ref is_array = name("is_array");
    const Ref array_names = name("array_names");
    const Ref array_size = name("array_size");
    const Ref array_set = name("array_set");
    const Ref array_unset = name("array_unset");
    const Ref array_get = name("array_get");
    const Ref array_get_str = name("array_get_str");
    const Ref array_get_obj = name("array_get_obj");
    const Ref build_tclcmd = name("build_tclcmd");
    const Ref kwargs_to_dashed_args = name("kwargs_to_dashed_args");
    const Ref is_proc = name("is_proc");
    const Ref rename = name("rename");
    const Ref origin = name("origin");
    const Ref proc_body = name("proc_body");
    const Ref proc_args = name("proc_args");
    const Ref proc_arg_default = name("proc_arg_default");
    const Ref absolute = name("absolute");
    const Ref is_absolute = name("is_absolute");
    const Ref current = name("current");
    const Ref create = name("create");
    const Ref children = name("children");
    const Ref code = name("code");
    const Ref forget = name("forget");
    const Ref parent = name("parent");
    const Ref which = name("which");
    const Ref byref = name("byref");
    const Ref var_type = name("var_type");
    const Ref info = name("info");
    const Ref format = name("format");
    const Ref items = name("items");
    const Ref startswith = name("startswith");
    const Ref update_wrapper = name("update_wrapper");
    const Ref array_index = name("array_index");
    const Ref pattern = name("pattern");
    const Ref nocomplain = name("nocomplain");
    const Ref cls = name("cls");
    const Ref id = name("id");
    const Ref commands = name("commands");
    const Ref procs = name("procs");
    const Ref body = name("body");
    const Ref size = name("size");
    const Ref names = name("names");
    const Ref vars = name("vars");
    const Ref objs = name("objs");
    const Ref cmds = name("cmds");
    const Ref VariablesView = name("VariablesView");
    const Ref ObjectsView = name("ObjectsView");
    const Ref ProcsView = name("ProcsView");
    const Ref CommandsView = name("CommandsView");
    const Ref tcl_result = name("_tcl_result");
    // Names that are C++ keywords or not identifiers.
    const Ref delete_ = name("delete");
    const Ref import_ = name("import");
    const Ref export_ = name("export");
    const Ref dunder_init = name("__init__");
    const Ref dunder_enter = name("__enter__");
    const Ref dunder_exit = name("__exit__");
    const Ref dunder_del = name("__del__");
    const Ref dunder_wrapped = name("__wrapped__");
    const Ref dunder_dict = name("__dict__");
    const Ref dunder_str = name("__str__");
    const Ref dunder_scriptify = name("__scriptify__");
    const Ref dunder_tclobj = name("__tclobj__");

    // Words sent to Tcl, and texts.
    const Ref w_info = name("::info");
    const Ref w_array = name("::array");
    const Ref w_rename = name("::rename");
    const Ref w_namespace = name("::namespace");
    const Ref w_apply = name("::apply");
    const Ref namespace_word = name("namespace");
    const Ref default_word = name("default");
    const Ref w_clear = name("-clear");
    const Ref w_force = name("-force");
    const Ref w_command = name("-command");
    const Ref w_variable = name("-variable");
    const Ref empty = name("");
    const Ref separator = name("::");
    const Ref any_name = name("*");
    const Ref dash = name("-");
    const Ref calling = name("Calling: {}");
    const Ref package_name = name("tarvik.tcl");
    const Ref w_error = name("::error");
    const Ref w_python = name("PYTHON");
    const Ref newline = name("\n");
    const Ref traceback = name("traceback");
    const Ref format_exception = name("format_exception");
    const Ref rstrip = name("rstrip");
    const Ref mapping = name("_mapping");  // a KeysView's view
    // Variable traces.
    const Ref deletecommand = name("deletecommand");
    const Ref trace_info = name("trace_info");
    const Ref append = name("append");
    const Ref remove = name("remove");
    const Ref add = name("add");
    const Ref variable = name("variable");
    const Ref trace_commands = name("_trace_commands");  // a temporary's trace commands
    const Ref dunder_name = name("__name__");
    const Ref w_trace = name("::trace");

    // Keyword-name tuples for calls through the instance.
    const Ref kw_tcl = keyword_names({"tcl"});
    const Ref kw_tcl_cast = keyword_names({"tcl", "cast"});
    const Ref kw_index_tcl_cast = keyword_names({"array_index", "tcl", "cast"});
    const Ref kw_array_index = keyword_names({"array_index"});
    const Ref kw_nocomplain = keyword_names({"nocomplain"});
    const Ref kw_cls_id = keyword_names({"cls", "id"});
    const Ref kw_pattern = keyword_names({"pattern"});
    const Ref kw_index_nocomplain = keyword_names({"array_index", "nocomplain"});
    // The attributes that hold a command handle's own state.
    const Ref handle_state =
        keyword_names({"tcl", "cmd_name", "args", "keywords", "cast", "logger"});

    // The queries that list a view's names in the current namespace.
    const Ref q_info_vars = tuple(w_info, vars);
    const Ref q_info_commands = tuple(w_info, commands);
    const Ref q_info_procs = tuple(w_info, procs);
    // The names of one namespace, or their number: (kind, namespace, pattern, count) where kind
    // is vars, commands or procs and the pattern is "<namespace>::*". Nothing here creates the
    // namespace. Variables are listed inside the namespace, which is much quicker than a
    // qualified pattern but also lists the globals that it sees; a name counts when the
    // namespace's own variable of that name has a value, which leaves out both those globals and
    // variables that are only declared. For commands, Tcl looks the qualifiers of the pattern up
    // as written and gives the names qualified, all with the same qualifiers, cut by position.
    const Ref own_names_lambda = name(
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
