"""Every public callable of every importable native module, found by introspection, and how to
call it with fuzzed arguments.

Functions and methods defined by a module are found in its namespace and in its classes (plain,
static and class methods, properties, and the protocol methods the class itself defines). A new
module is fuzzed as soon as it imports; the tables below only refine that:

- ``ARGUMENTS``: a strategy for a named parameter of one target ("module.qualname") or of every
  target ("*"), in addition to the arbitrary values every parameter gets;
- ``INSTANCES``: how to make the instances whose methods are fuzzed ("module.Class"), where
  calling the class with fuzzed arguments would seldom give one;
- ``SKIP``: targets that must not be fuzzed, each with its reason.
"""

from __future__ import annotations

import inspect
import types
from dataclasses import dataclass
from typing import Any, Callable

from hypothesis import strategies as st

from gates import modules
from gates.fuzz.values import values

FLAG_NAMES = ["USE_BRACES", "TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"]

TRACE_MODES = ["read", "write", "unset", "array", ("read", "write"), ["unset"], "bogus", ""]


def _raise_in_trace(*args: Any) -> None:
    raise ValueError(args)


ARGUMENTS: dict[str, dict[str, Callable[[Any], st.SearchStrategy[Any]]]] = {
    "scriptify._Tcl_ConvertElement": {
        "flags": lambda env: st.sets(st.sampled_from(FLAG_NAMES)),
    },
    "namespace.TclVariable.trace_add": {
        "mode": lambda env: st.sampled_from(TRACE_MODES),
        "callback": lambda env: st.sampled_from([_raise_in_trace, lambda *args: None]),
    },
    "namespace.TclVariable.trace_remove": {
        "mode": lambda env: st.sampled_from(TRACE_MODES),
        "cbname": lambda env: st.sampled_from(["::__tarvik__trace_0", "::set", "puts"]),
    },
}
# Tcl names of every shape: relative, absolute, nested, empty, odd characters.
NAMES = st.one_of(st.sampled_from(["::fuzz", "fuzz", "::fuzz::x", "a::b", "::", "", "::a:::b"]),
                  st.text(st.sampled_from(list("ab:{}[]$ ")), max_size=8))  # fmt: skip


def _built(cls: Any, *args: st.SearchStrategy[Any], **kwargs: Any) -> st.SearchStrategy[Any]:
    """Instances of ``cls`` made from drawn arguments, or ConstructionFailed."""
    return st.tuples(*args).map(lambda drawn: construct(cls, drawn, kwargs))


def _namespace(env: Any) -> Any:
    return _built(_module_attr("namespace", "TclNamespace"), NAMES, tcl=env.interp)


def _view(name: str) -> Callable[[Any], st.SearchStrategy[Any]]:
    return lambda env: _namespace(env).map(lambda ns: getattr(ns, name, ns))


def _module_attr(module: str, name: str) -> Any:
    return getattr(__import__(f"{modules.PACKAGE}.{module}", fromlist=[name]), name)


INSTANCES: dict[str, Callable[[Any], st.SearchStrategy[Any]]] = {
    "namespace.TclNamespace": _namespace,
    "namespace.TclNamespace.VariablesView": _view("vars"),
    "namespace.TclNamespace.ObjectsView": _view("objs"),
    "namespace.TclNamespace.CommandsView": _view("cmds"),
    "namespace.TclNamespace.ProcsView": _view("procs"),
    "namespace.TclNamespace.KeysView": lambda env: st.one_of(
        *(_view(name)(env) for name in ("vars", "objs", "cmds", "procs"))).map(
        lambda view: view.keys() if hasattr(view, "keys") else view),
    "fieldtree.FieldTree": lambda env: _built(
        _module_attr("fieldtree", "FieldTree"), st.dictionaries(NAMES, env.values, max_size=4)),
    "history.History": lambda env: _built(
        _module_attr("history", "History"), st.sampled_from([None, 1, 5, 9999])),
    "history.Entry": lambda env: _built(
        _module_attr("history", "Entry"), st.lists(st.sampled_from(["a", "b c", "{"]))),
    # Quick calls run the command their attribute chain names: fuzzed here with `list` only.
    "z.Z": lambda env: st.just(_module_attr("z", "Z")(env.interp)),
    "z.Z_Code": lambda env: st.just(_module_attr("z", "Z_Code")("list", tcl=env.interp)),
}
for _cls in ("TclVariable", "TclArrayVariable", "TclCommand"):
    INSTANCES[f"namespace.{_cls}"] = lambda env, cls=_cls: _built(
        _module_attr("namespace", cls), NAMES, tcl=env.interp)
SKIP: dict[str, str] = {
    "history.History.save": "writes the file its path names; script(), which makes all that it "
                            "writes, is fuzzed",
}


@dataclass
class Target:
    module: str
    qualname: str
    function: Callable[..., Any]
    parameters: list[inspect.Parameter]
    owner: type | None = None  # for methods: the class whose instances are passed as self
    attribute: bool = False  # an instance attribute set and read back, not a function

    @property
    def key(self) -> str:
        return f"{self.module}.{self.qualname}"

    def argument_strategy(self, name: str, env: Any) -> st.SearchStrategy[Any]:
        special = {**ARGUMENTS.get("*", {}), **ARGUMENTS.get(f"{self.module}.{self.qualname}", {})}
        if name in special:
            return st.one_of(special[name](env), env.values)
        return env.values


def _is_native(obj: Any) -> bool:
    """A function of the package's native function type (every module has its own copy)."""
    return type(obj).__name__ == "native_function" and hasattr(obj, "__text_signature__")


def _parameters(function: Callable[..., Any], bound: bool) -> list[inspect.Parameter]:
    parameters = list(inspect.signature(function).parameters.values())
    return parameters[1:] if bound and parameters else parameters


def _attribute_setter(name: str) -> Callable[[Any, Any], Any]:
    """Sets an attribute that lives in the native object itself, then reads it back and shows
    the object, whose own methods may rely on what was stored."""

    def set_and_read(instance: Any, value: Any) -> Any:
        setattr(instance, name, value)
        getattr(instance, name)
        return repr(instance)

    return set_and_read


VALUE = inspect.Parameter("value", inspect.Parameter.POSITIONAL_OR_KEYWORD)


def _class_targets(module_name: str, cls: type) -> list[Target]:
    found = []
    for name, attr in vars(cls).items():
        qualname = f"{cls.__qualname__}.{name}"
        if isinstance(attr, (types.MemberDescriptorType, types.GetSetDescriptorType)):
            if not name.startswith("__"):
                found.append(Target(module_name, f"{qualname}=", _attribute_setter(name),
                                    [VALUE], cls, attribute=True))  # fmt: skip
        elif isinstance(attr, (staticmethod, classmethod)):
            function = attr.__func__
            if _is_native(function):
                bound = isinstance(attr, classmethod)
                target = Target(module_name, qualname, getattr(cls, name), [], None)
                target.parameters = _parameters(function, bound)
                found.append(target)
        elif isinstance(attr, property):
            for part, accessor in (("fget", attr.fget), ("fset", attr.fset), ("fdel", attr.fdel)):
                if _is_native(accessor):
                    found.append(Target(module_name, f"{qualname}.{part}", accessor,
                                        _parameters(accessor, True), cls))  # fmt: skip
        elif _is_native(attr):
            found.append(Target(module_name, qualname, attr, _parameters(attr, True), cls))
        elif isinstance(attr, type) and attr.__qualname__.startswith(f"{cls.__qualname__}."):
            found.extend(_class_targets(module_name, attr))  # a class defined inside this one
    return found


def discover(module: Any) -> list[Target]:
    """The native functions and methods that ``module`` itself defines, in definition order."""
    name = module.__name__.rsplit(".", 1)[1]
    found: list[Target] = []
    seen: set[int] = set()
    for attr in vars(module).values():
        if id(attr) in seen:
            continue
        seen.add(id(attr))
        if isinstance(attr, type) and attr.__module__ == module.__name__:
            found.extend(_class_targets(name, attr))
        elif _is_native(attr):
            found.append(Target(name, attr.__qualname__, attr, _parameters(attr, False)))
    return [target for target in found if target.key not in SKIP]


def all_targets() -> list[Target]:
    return [target for module in modules.importable() for target in discover(module)]


def instance_strategy(target: Target, env: Any) -> st.SearchStrategy[Any]:
    """Instances of the class that defines a method, or the result of a failed construction."""
    assert target.owner is not None
    key = f"{target.module}.{target.owner.__qualname__}"
    if key in INSTANCES:
        return INSTANCES[key](env)
    return st.lists(env.values, max_size=3).map(lambda args: construct(target.owner, args))


class ConstructionFailed:
    """Stands for an instance whose construction raised an allowed exception."""

    def __init__(self, error: Exception) -> None:
        self.error = error


def construct(cls: Any, args: Any, kwargs: dict[str, Any] | None = None) -> Any:
    try:
        return cls(*args, **(kwargs or {}))
    except SystemError:
        raise
    except Exception as error:
        return ConstructionFailed(error)
