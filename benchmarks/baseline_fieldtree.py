"""A straightforward pure-Python FieldTree, kept as the baseline that the native module is
measured against: the same mapping, dotted keys and keyed-list reading, written plainly."""

from collections.abc import MutableMapping

from _tkinter import Tcl_Obj

from tarvik.datastructures import AttrDict
from tarvik.tcl.scriptify import tclobj

BLOCKED = 'target key "%s" is a value, cannot update value against another keyed list'


class FieldTree(AttrDict, MutableMapping):
    keyed_list_typename = "keyedList"

    def __init__(self, *args, **kwargs):
        super().__init__()
        d = dict(*args, **kwargs)
        for key, value in d.items():
            if isinstance(value, FieldTree):
                continue
            try:
                d[key] = FieldTree(value)
            except (ValueError, TypeError):
                pass
        self.update(d)

    @staticmethod
    def from_tcl(string):
        import tarvik.tcl

        splits = [tarvik.tcl.cast_list(element) for element in tarvik.tcl.cast_list(string)]
        d = dict(splits)
        for key, value in d.items():
            if isinstance(value, FieldTree):
                continue
            try:
                d[key] = FieldTree.from_tcl(value)
            except ValueError:
                pass
        tree = FieldTree()
        tree.update(d)
        return tree

    def __getitem__(self, key):
        if "." in key:
            head, rest = key.split(".", 1)
            return super().__getitem__(head)[rest]
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        if isinstance(value, Tcl_Obj) and value.typename == self.keyed_list_typename:
            value = FieldTree.from_tcl(value)
        if "." in key:
            head, rest = key.split(".", 1)
            try:
                sub = self[head]
            except KeyError:
                sub = FieldTree()
                super().__setitem__(head, sub)
            else:
                if not isinstance(sub, FieldTree):
                    raise KeyError(BLOCKED % head)
            sub[rest] = value
            return
        if isinstance(value, FieldTree):
            try:
                existing = self[key]
            except KeyError:
                pass
            else:
                if not isinstance(existing, FieldTree):
                    raise KeyError(BLOCKED % key)
        super().__setitem__(key, value)

    def __contains__(self, key):
        if "." in key:
            head, rest = key.split(".", 1)
            if not super().__contains__(head):
                return False
            return super().__getitem__(head).__contains__(rest)
        return super().__contains__(key)

    def __delitem__(self, key):
        if "." in key:
            head, rest = key.split(".", 1)
            value = super().__getitem__(head)
            del value[rest]
            if not super().__getitem__(head):
                super().__delitem__(head)
            return
        super().__delitem__(key)

    get = MutableMapping.get
    pop = MutableMapping.pop
    setdefault = MutableMapping.setdefault

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError(f"update() takes at most 1 positional arguments ({len(args)} given)")
        if args:
            other = args[0]
            if isinstance(other, FieldTree):
                for key, value in other.all_items():
                    self[key] = value
            else:
                MutableMapping.update(self, other)
        for key, value in kwargs.items():
            if isinstance(value, FieldTree):
                try:
                    sub = self[key]
                except KeyError:
                    sub = FieldTree()
                    self[key] = sub
                else:
                    if not isinstance(sub, FieldTree):
                        raise KeyError(BLOCKED % key)
                sub.update(value)
            else:
                self[key] = value

    def all_keys(self):
        keys = []
        for key, value in self.items():
            if isinstance(value, FieldTree):
                keys.extend(key + "." + subkey for subkey in value.all_keys())
            else:
                keys.append(key)
        return keys

    def all_items(self):
        items = []
        for key, value in self.items():
            if isinstance(value, FieldTree):
                items.extend((key + "." + k, v) for k, v in value.all_items())
            else:
                items.append((key, value))
        return items

    has_key = __contains__

    def __tclobj__(self):
        return tclobj([(key, value) for key, value in self.items()])
