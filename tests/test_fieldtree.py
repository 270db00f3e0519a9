"""FieldTree: dotted-key mapping behaviour, reading keyed lists, round trips through real TclX."""

from __future__ import annotations

import inspect
import os
import tracemalloc
from itertools import product
import tkinter
from collections.abc import MutableMapping

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tarvik.tcl
from tarvik.tcl import fieldtree as module
from tarvik.tcl.fieldtree import FieldTree
from tarvik.tcl.scriptify import scriptify, tclobj

BLOCKED = 'target key "%s" is a value, cannot update value against another keyed list'


def shape(value):
    """A tree as nested (key, shape) lists, leaves with their type, so order and kinds count."""
    if isinstance(value, FieldTree):
        assert type(value) is FieldTree
        return [(key, shape(item)) for key, item in value.items()]
    return (type(value).__name__, value)


@pytest.fixture(scope="session")
def tclx(interp):
    if not interp.tclx:
        if os.environ.get("TARVIK_REQUIRE_TCLX") == "1":
            pytest.fail("TclX is required (TARVIK_REQUIRE_TCLX=1) but cannot be loaded")
        pytest.skip("TclX is not installed")
    return interp.tk


def test_module_and_class_shape():
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == ["AttrDict", "MutableMapping", "Tcl_Obj", "tclobj", "FieldTree"]
    assert FieldTree.__bases__ == (module.AttrDict, MutableMapping)
    for name in ("get", "pop", "setdefault"):
        assert FieldTree.__dict__[name] is getattr(MutableMapping, name)
    assert FieldTree.has_key is FieldTree.__contains__
    assert str(inspect.signature(FieldTree)) == "(*args, **kwargs)"
    assert str(inspect.signature(FieldTree.from_tcl)) == "(string)"
    # self is positional-only, so "self" can be a key like any other.
    assert FieldTree(self=1) == {"self": 1}


class TestConstruction:
    @pytest.mark.parametrize(
        "value, expected",
        [
            ({"b": 1}, [("b", ("int", 1))]),
            ("", []),
            ([], []),
            (["xy"], [("x", ("str", "y"))]),
            ("text", ("str", "text")),
            (5, ("int", 5)),
            (None, ("NoneType", None)),
            (["a", "b"], ("list", ["a", "b"])),
        ],
    )
    def test_values_that_dict_accepts_become_sub_lists(self, value, expected):
        assert shape(FieldTree(a=value)["a"]) == expected

    def test_dotted_keys_build_levels(self):
        tree = FieldTree({"name.first": "x", "name.last": "y"})
        assert list(tree) == ["name"] and tree.name.first == "x"
        assert tree.all_keys() == ["name.first", "name.last"]
        assert tree.all_items() == [("name.first", "x"), ("name.last", "y")]

    def test_a_given_sub_list_is_kept_and_a_stored_dict_stays_a_dict(self):
        sub = FieldTree(k="v")
        tree = FieldTree(a=sub)
        tree["d"] = {"k": "v"}
        assert tree["a"] is sub and type(tree["d"]) is dict

    @pytest.mark.parametrize(
        "args, error", [(("{k v}",), ValueError), (({}, {}), TypeError), ((5,), TypeError)]
    )
    def test_what_dict_rejects_fails(self, args, error):
        with pytest.raises(error):
            FieldTree(*args)

    def test_self_referencing_values_raise_recursion_error(self):
        cycle: dict = {}
        cycle["a"] = cycle
        with pytest.raises(RecursionError):
            FieldTree(cycle)


class TestItems:
    def test_dotted_keys_read_right_however_many_were_read_before(self):
        # The parts of recently read str keys are remembered, a bounded number of them.
        keys = [f"level{i}.leaf" for i in range(3000)]
        tree = FieldTree({key: n for n, key in enumerate(keys)})
        for _ in range(2):
            assert [tree[key] for key in keys] == list(range(3000))
            assert all(key in tree for key in keys[::7]) and "level1.other" not in tree

    def test_write_creates_levels_and_membership_walks_them(self):
        tree = FieldTree()
        tree["a.b.e"] = 1
        assert type(tree["a"]["b"]) is FieldTree
        assert ("a.b" in tree, "a.x" in tree, "a.x.e" in tree) == (True, False, False)

    @pytest.mark.parametrize(
        "action, blocked",
        [
            (lambda t: t.__setitem__("a.b", 1), "a"),
            (lambda t: t.__setitem__("a", FieldTree()), "a"),
            (lambda t: t.__setitem__("s.a.b", 1), "a"),
            (lambda t: t.update(a=FieldTree(e=2)), "a"),
            (lambda t: t.update(FieldTree({"a.e": 2})), "a"),
        ],
    )
    def test_a_leaf_blocks_sub_lists(self, action, blocked):
        tree = FieldTree(a="text", s={"a": "leaf"})
        with pytest.raises(KeyError) as error:
            action(tree)
        assert error.value.args == (BLOCKED % blocked,)

    def test_leaves_replace_anything_and_sub_lists_replace_sub_lists(self):
        tree = FieldTree({"a.b": 1, "c.d": 1})
        tree["a"] = 2
        tree["c"] = FieldTree(e=2)
        assert shape(tree) == [("a", ("int", 2)), ("c", [("e", ("int", 2))])]

    def test_below_a_leaf(self):
        tree = FieldTree(a="text", n=5)
        assert "a.ex" in tree and tree.has_key("a.zz") is False
        with pytest.raises(TypeError):
            tree["a.b"]
        with pytest.raises(TypeError):
            tree.get("a.b")
        with pytest.raises(AttributeError):
            "n.x" in tree

    def test_has_key_returns_the_leafs_own_answer(self):
        class Answer:
            def __contains__(self, item):
                return "yes"

        assert FieldTree(a=Answer()).has_key("a.b") == "yes"

    @pytest.mark.parametrize("key", [5, None, 1.5])
    def test_keys_without_the_in_test_raise_type_error(self, key):
        with pytest.raises(TypeError):
            key in FieldTree()
        with pytest.raises(TypeError):
            FieldTree()[key] = 1

    def test_keys_that_are_not_strings(self):
        tree = FieldTree()
        tree[("x", "y")] = 1
        assert tree[("x", "y")] == 1
        with pytest.raises(KeyError) as error:
            tree[("z",)]
        assert error.value.args == (("z",),)
        # The blocked-key message names a tuple key whole instead of failing to format it.
        with pytest.raises(KeyError) as error:
            tree[("x", "y")] = FieldTree()
        assert error.value.args == (BLOCKED % (("x", "y"),),)

    @pytest.mark.parametrize(
        "initial, key, left",
        [
            ({"a.b.e": 1}, "a.b.e", []),
            ({"a.b.e": 1, "a.d": 2}, "a.b.e", [("a", [("d", ("int", 2))])]),
            ({"a.b": {"x": 1}}, "a.b.x", []),
            ({"a": 1, "b": 2}, "a", [("b", ("int", 2))]),
        ],
    )
    def test_delete_prunes_the_levels_it_empties(self, initial, key, left):
        tree = FieldTree(initial)
        del tree[key]
        assert shape(tree) == left

    def test_mixin_methods_use_dotted_keys(self):
        tree = FieldTree({"a.b": 1})
        assert (tree.get("a.b"), tree.get("a.z", 0), tree.setdefault("a.c", 3)) == (1, 0, 3)
        assert tree.pop("a.b") == 1 and tree.pop("a.c") == 3 and tree == {}
        assert tree.pop("zz", 0) == 0
        with pytest.raises(KeyError):
            tree.pop("a.b")

    def test_empty_sub_lists_count_only_as_keys(self):
        tree = FieldTree(e=FieldTree(), k=1)
        assert list(tree) == ["e", "k"] and tree.all_keys() == ["k"]


class TestUpdate:
    def test_sub_lists_merge_leaf_by_leaf(self):
        tree = FieldTree({"a.b": 1})
        tree.update(FieldTree({"a.e": 2}))
        tree.update(a=FieldTree(f=3), g=4)
        tree.update([("h.i", 5)])
        assert tree.all_items() == [("a.b", 1), ("a.e", 2), ("a.f", 3), ("g", 4), ("h.i", 5)]

    def test_arity(self):
        with pytest.raises(TypeError) as error:
            FieldTree().update({}, {})
        assert str(error.value) == "update() takes at most 1 positional arguments (2 given)"

    def test_a_failure_keeps_what_was_stored_before_it(self):
        tree = FieldTree(b="leaf")
        with pytest.raises(KeyError):
            tree.update(FieldTree({"a.x": 1, "b.y": 2}))
        assert tree.all_items() == [("b", "leaf"), ("a.x", 1)]

    def test_subclasses_go_through_their_own_methods(self):
        class Recording(FieldTree):
            stored: list = []

            def __setitem__(self, key, value):
                Recording.stored.append(key)
                super().__setitem__(key, value)

        tree = Recording({"a.b": 1}, c=2)
        tree.update(FieldTree({"d.e": 3}))
        assert Recording.stored == ["a.b", "c", "d.e"]
        assert type(tree["a"]) is FieldTree and tree.all_keys() == ["a.b", "c", "d.e"]


class TestFromTcl:
    @pytest.mark.parametrize(
        "text, expected",
        [
            ("{k v}", [("k", ("str", "v"))]),
            (
                "{name {{first x} {last y}}}",
                [("name", [("first", ("str", "x")), ("last", ("str", "y"))])],
            ),
            ("{k {a b c}}", [("k", ("str", "a b c"))]),
            ("{k {{a b}}}", [("k", [("a", ("str", "b"))])]),
            ("{k {}} {j {  }}", [("k", []), ("j", [])]),
            ("", []),
            ("{k 1} {j 0} {k 2}", [("k", ("str", "2")), ("j", ("str", "0"))]),
            (
                "{a.b 1} {a.c {{d 2}}}",
                [("a", [("b", ("str", "1")), ("c", [("d", ("str", "2"))])])],
            ),
            # Values that no list reader can split are leaves, as TclX takes them.
            ('{k {say "hi"!}} {j {{a}b}}', [("k", ("str", 'say "hi"!')), ("j", ("str", "{a}b"))]),
            # Escapes whose value the interpreter decides are split by it.
            ("{k {{n\\x41 v}}}", [("k", [("nA", ("str", "v"))])]),
            ('k\\ {v}', [("k", ("str", "v"))]),
        ],
    )
    def test_reads(self, text, expected):
        assert shape(FieldTree.from_tcl(text)) == expected

    @pytest.mark.parametrize(
        "text, error, message",
        [
            ("a b", ValueError, "update sequence element #0 has length 1; 2 is required"),
            ("{k v} {x y z}", ValueError, "element #1 has length 3"),
            ("{k v} {a", tkinter.TclError, "unmatched open brace"),
            ("{a 1} {a.b 2}", KeyError, BLOCKED % "a"),
            ("{n {{a 1} {a.b 2}}}", KeyError, BLOCKED % "a"),
        ],
    )
    def test_failures(self, text, error, message):
        with pytest.raises(error, match=message.replace('"', '.')):
            FieldTree.from_tcl(text)

    def test_other_values_are_split_by_the_hosts_cast_list(self, monkeypatch):
        calls = []
        cast_list = tarvik.tcl.cast_list
        monkeypatch.setattr(tarvik.tcl, "cast_list", lambda v: calls.append(v) or cast_list(v))
        tree = FieldTree.from_tcl([("k", "v"), ("n", [("a", "{b c} d")])])
        assert shape(tree) == [("k", ("str", "v")), ("n", [("a", ("str", "{b c} d"))])]
        assert calls and not any(isinstance(call, str) for call in calls)

    def test_large_plain_lists_never_need_the_interpreter(self, monkeypatch):
        leaves = range(20), range(20), range(25)
        tree = FieldTree(
            {f"g{i}.s{j}.k{k}": f"word {i}" if k % 2 else f"v{k}" for i, j, k in product(*leaves)}
        )
        monkeypatch.setattr(tarvik.tcl, "cast_list", None)
        assert FieldTree.from_tcl(scriptify(tree)) == tree


class TestTclX:
    def test_the_keyed_list_type_name_comes_from_tclx(self, tclx):
        assert tarvik.tcl.keyed_list_typename() == "keyedList"

    def test_read_change_and_send_back(self, tclx):
        tclx.eval("set ::kl {}; keylset ::kl name.first Ada name.last Lovelace id 7 tags.x {a b}")
        from_object = FieldTree.from_tcl(tclx.getvar("::kl"))
        tree = FieldTree.from_tcl(tclx.eval("set ::kl"))
        assert shape(tree) == shape(from_object)
        assert tree.all_items() == [
            ("name.first", "Ada"),
            ("name.last", "Lovelace"),
            ("id", "7"),
            ("tags.x", "a b"),
        ]
        tree["name.middle"] = "King"
        del tree["tags.x"]
        tree["id"] = 8
        tclx.call("set", "::kl", tclobj(tree))
        assert tclx.call("keylkeys", "::kl") == ("name", "id")
        assert tclx.call("keylkeys", "::kl", "name") == ("first", "last", "middle")
        assert str(tclx.call("keylget", "::kl", "name.middle")) == "King"
        assert str(tclx.call("keylget", "::kl", "id")) == "8"

    def test_storing_tcl_objects(self, tclx):
        keyed = tclx.call("apply", "{} {keylset l a.b 1; return $l}")
        other = tclx.call("apply", "{} {return [list {a b}]}")
        assert keyed.typename == "keyedList"
        tree = FieldTree()
        tree["k"] = keyed
        tree["x.o"] = other
        tree.update(j=keyed)
        assert shape(tree["k"]) == [("a", [("b", ("str", "1"))])] == shape(tree["j"])
        assert tree["x.o"] is other

    @given(st.data())
    def test_round_trip_agrees_with_tclx(self, tclx, data):
        tree = FieldTree(data.draw(keyed_trees(tclx)))
        text = scriptify(tree)
        assert shape(FieldTree.from_tcl(text)) == shape(tree)
        tclx.call("set", "::kl", text)
        for key, value in tree.all_items():
            assert str(tclx.call("keylget", "::kl", key)) == value
        assert tclx.call("keylkeys", "::kl") == tuple(tree)


TEXT = st.sampled_from(list('ab {}"\\$[;\n\t#') + ["é", "中", "\U0001f600"])


def keyed_trees(tk):
    def reads_as_pairs(text):
        try:
            return all(len(tk.splitlist(element)) == 2 for element in tk.splitlist(text))
        except tkinter.TclError:
            return False

    keys = st.text(TEXT, min_size=1, max_size=5)
    leaves = st.text(TEXT, min_size=1, max_size=8).filter(lambda s: not reads_as_pairs(s))
    return st.recursive(
        st.dictionaries(keys, leaves, min_size=1, max_size=4),
        lambda children: st.dictionaries(keys, leaves | children, min_size=1, max_size=4),
        max_leaves=16,
    )


def spec_read(tk, value, nested=False):
    """A keyed list read step by step with Tcl's own list splitting, the reference."""
    try:
        splits = [tk.splitlist(element) for element in tk.splitlist(value)]
        pairs = dict(splits)
    except (tkinter.TclError, ValueError):
        if nested:
            return value
        raise
    return {key: spec_read(tk, item, True) for key, item in pairs.items()}


def as_dicts(tree):
    return {key: as_dicts(item) if isinstance(item, FieldTree) else item for key, item in tree.items()}


DEEP_WORD = st.sampled_from(["k", "a b", "{", "}", '"', "\\", "x\\}", "{}", "", "q\"r", "\\{x"])


def deep_texts():
    """Keyed-list-like texts nested deeper than any ordinary one, written in braces or quotes,
    with now and then a stray word or brace: every level is long enough to be read in place."""

    def wrap(draw_inner):
        return st.tuples(
            st.sampled_from(["{%s}", '"%s"', "{%s} x", "{%s}}", "%s"]),
            st.sampled_from(["k", "key", "a b", "x\\ y"]),
            draw_inner,
            st.text(st.sampled_from("ab {}\"\\ "), max_size=3),
        ).map(lambda t: t[0] % ("%s {%s %s}" % (t[1], t[2], "p" * 70)) + t[3])

    return st.recursive(DEEP_WORD, wrap, max_leaves=14)


class TestDeepKeyedLists:
    @given(deep_texts())
    def test_reads_as_tcl_splits_it(self, interp, text):
        try:
            expected = spec_read(interp.tk, text)
        except (tkinter.TclError, ValueError) as error:
            with pytest.raises(type(error)):
                FieldTree.from_tcl(text)
            return
        try:
            assert as_dicts(FieldTree.from_tcl(text)) == expected
        except KeyError:
            pass  # a dotted key ran into a leaf, as the reference would on storing it

    # Chains deep enough that braces are found through the matches of the whole text, with at
    # the bottom what brace matching must get right.
    @pytest.mark.parametrize(
        "bottom",
        [
            "{leaf v}",
            "{a\\{b c} {d e}",
            '{q "x {y} z"} {r s}',
            "{w a}b}",
            "{w {a} {b} {c}}} x",
            '{w "a {b"}',
            "{w a\\\nb} {x \\}",
            "{w {}} {x {{}}}",
            '"{leaf v}"',
            "{u a\\x41} {v \\\\}",
        ],
    )
    def test_deep_chains_read_as_tcl_splits_them(self, interp, bottom):
        text = bottom
        for i in range(24):
            text = f"{{k{i % 3} {{{text} {{pad {'p' * 64}}}}}}}"
        try:
            expected = spec_read(interp.tk, text)
        except (tkinter.TclError, ValueError) as error:
            with pytest.raises(type(error)):
                FieldTree.from_tcl(text)
        else:
            assert as_dicts(FieldTree.from_tcl(text)) == expected

    @pytest.mark.parametrize("pad", ["", " {x y}"])
    def test_each_level_is_read_once(self, pad):
        # Memory at the deepest point tells whether a level copies the text of the levels inside
        # it: per character of text it stays the same however deep the nesting goes.
        def peak_per_character(depth):
            text = "{leaf v}"
            for i in range(depth):
                text = f"{{k {{{text}{pad}}}}}"
            tracemalloc.start()
            try:
                tree = FieldTree.from_tcl(text)
                peak = tracemalloc.get_traced_memory()[1]
            finally:
                tracemalloc.stop()
            assert ".".join(["k"] * depth + ["leaf"]) in tree.all_keys()
            return peak / len(text)

        # Depths that stay inside Python 3.11's recursion limit, which counts C levels too.
        assert peak_per_character(800) < 1.5 * peak_per_character(200)

    def test_too_deep_a_text_raises_recursion_error(self):
        text = "{leaf v}"
        for _ in range(100_000):
            text = f"{{k {{{text}}}}}"
        with pytest.raises(RecursionError):
            FieldTree.from_tcl(text)
