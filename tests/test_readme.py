"""The README's tour runs as written: its Python blocks in order, in one namespace, against a real
interpreter. A statement whose comment says "raises Name" must raise that exception; an expression
whose comment starts with a Python literal must give that value."""

from __future__ import annotations

import ast
import io
import os
import pathlib
import tokenize
from typing import Any

import pytest

from gates.docs import examples

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
CLAIM = "_readme_claim"


def comments(source: str) -> dict[int, str]:
    """The comment at the end of each line of a block, by line number (from 1)."""
    found = {}
    for token in tokenize.generate_tokens(io.StringIO(source).readline):
        if token.type == tokenize.COMMENT:
            found[token.start[0]] = token.string.lstrip("#").strip()
    return found


def literal_claim(comment: str) -> tuple[bool, Any]:
    """The Python literal a comment starts with ("'8.6': the host's ..." claims '8.6')."""
    cuts = [i for i, c in enumerate(comment) if c in ",: " and not comment[:i].endswith(",")]
    for cut in sorted(set(cuts + [len(comment)]), reverse=True):
        try:
            return True, ast.literal_eval(comment[:cut])
        except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
            continue
    return False, None


def raised_name(comment: str) -> str | None:
    return comment.split()[1].rstrip(":") if comment.startswith("raises ") else None


class ClaimChecker(ast.NodeTransformer):
    """Wraps each expression statement that claims a value in a call that checks it."""

    def __init__(self, claims: dict[int, str]) -> None:
        self.claims = claims

    def visit_Expr(self, node: ast.Expr) -> ast.AST:
        claimed, _ = literal_claim(self.claims.get(node.end_lineno, ""))
        if not claimed:
            return node
        call = ast.Call(ast.Name(CLAIM, ast.Load()), [ast.Constant(node.end_lineno), node.value], [])
        return ast.copy_location(ast.Expr(call), node)


def run_block(source: str, line: int, globs: dict[str, Any]) -> None:
    claims = comments(source)

    def check(lineno: int, value: Any) -> None:
        expected = literal_claim(claims[lineno])[1]
        assert value == expected, f"README line {line + lineno - 1}: {value!r} != {expected!r}"

    globs[CLAIM] = check
    tree = ClaimChecker(claims).visit(ast.parse(source))
    for statement in tree.body:
        code = compile(ast.fix_missing_locations(ast.Module([statement], [])), str(README), "exec")
        expected = raised_name(claims.get(statement.end_lineno, ""))
        where = f"README line {line + statement.lineno - 1}"
        if expected is None:
            exec(code, globs)
            continue
        with pytest.raises(Exception) as caught:
            exec(code, globs)
        assert type(caught.value).__name__ == expected, f"{where}: raised {caught.value!r}"


def test_every_python_block_of_the_readme_runs_in_order(interp):
    blocks = list(examples(README))
    assert len(blocks) >= 4
    globs: dict[str, Any] = {}
    try:
        for block in blocks:
            if "keylset" in block.source and not interp.tclx:
                if os.environ.get("TARVIK_REQUIRE_TCLX") == "1":
                    pytest.fail("TclX is required")
                continue
            run_block(block.source, block.line, globs)
    finally:
        for name in reversed(list(globs)):
            del globs[name]


@pytest.mark.parametrize(
    "comment, claimed, value",
    [
        ("'8.6': the host's global variables", True, "8.6"),
        ("(1, (2, 'a b')), for tk.call", True, (1, (2, "a b"))),
        ("3", True, 3),
        ("runs ::measure {ch 1}", False, None),
        ("[<Entry '2024-...: set gain 2.5' at 0x...>]", False, None),
    ],
)
def test_claims_are_read_from_the_comment(comment, claimed, value):
    assert literal_claim(comment) == (claimed, value)


def test_a_false_claim_or_a_missing_raise_fails():
    with pytest.raises(AssertionError):
        run_block("1 + 1  # 3\n", 1, {})
    with pytest.raises(pytest.fail.Exception):
        run_block("x = 1  # raises KeyError\n", 1, {})
    with pytest.raises(AssertionError):
        run_block("{}['k']  # raises ValueError: wrong type\n", 1, {})
