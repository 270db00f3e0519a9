"""Every public function and method of every native module that imports shows its signature to
`inspect` (the same text it parses its arguments with) and has a docstring."""

from __future__ import annotations

import inspect

import pytest

from gates.fuzz.targets import all_targets

TARGETS = [target for target in all_targets() if not target.attribute]


@pytest.mark.parametrize("target", TARGETS, ids=[t.key for t in TARGETS])
def test_signature_and_docstring(target):
    function = target.function
    signature = inspect.signature(function)
    text = getattr(function, "__text_signature__", None)
    if text is not None:
        # Annotations set beside the text signature (which cannot carry them) aside, what inspect
        # shows is the table calls are parsed with; it shows a default the function works out
        # itself (`...`) as Ellipsis.
        plain = signature.replace(
            parameters=[p.replace(annotation=p.empty) for p in signature.parameters.values()],
            return_annotation=signature.empty)
        assert str(plain).replace("Ellipsis", "...") == text.replace("$", "")
    assert (function.__doc__ or "").strip(), f"{target.key} has no docstring"


def test_every_advertised_default_is_accepted_when_passed(interp):
    from tarvik.tcl.namespace import TclVariable

    variable = TclVariable("::advertised", tcl=interp, cast=str)
    variable.set(7)
    try:
        bound = inspect.signature(variable.get_obj).bind()
        bound.apply_defaults()
        assert variable.get_obj(*bound.args, **bound.kwargs) == variable.get_obj() == "7"
        assert variable.get_obj(cast=None) == 7
    finally:
        variable.unset()
