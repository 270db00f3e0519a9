"""Fails the build (a warning, an error under -W) when the API reference leaves out a public
name of the package, so a new function or method cannot go undocumented."""

from __future__ import annotations

from typing import Any

from sphinx.util import logging

from gates.docs import public_api

logger = logging.getLogger(__name__)


def _check(app: Any, env: Any) -> None:
    documented = set(env.get_domain("py").objects) | set(env.get_domain("py").modules)
    for name in public_api():
        if name not in documented:
            logger.warning("the API reference does not list %s", name)


def setup(app: Any) -> dict[str, Any]:
    app.connect("env-check-consistency", _check)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
