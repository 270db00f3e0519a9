"""A straightforward pure-Python implementation of the quoting and conversion rules, kept as the
baseline that the native module is measured against."""

from collections.abc import Mapping, Sequence, Set

USE_BRACES = "USE_BRACES"
DONT_USE_BRACES = "TCL_DONT_USE_BRACES"
BRACES_UNMATCHED = "BRACES_UNMATCHED"
SPECIAL = "[$; \f\n\r\t\v"
ESCAPES = {"\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\v": "\\v"}


def scan_element(string):
    string = scriptify(string)
    flags = set()
    level = 0
    if not string or string[0] in '{"':
        flags.add(USE_BRACES)
    length = len(string)
    p = 0
    while p < length:
        c = string[p]
        if c in "{}":
            level += 1 if c == "{" else -1
            if level < 0:
                flags |= {DONT_USE_BRACES, BRACES_UNMATCHED}
        elif c in SPECIAL:
            flags.add(USE_BRACES)
        elif c == "\\":
            if p + 1 == length or string[p + 1] == "\n":
                flags = {DONT_USE_BRACES, BRACES_UNMATCHED}
            else:
                flags.add(USE_BRACES)
                p += 1  # the escaped character does not count in the nesting
        p += 1
    if level:
        flags = {DONT_USE_BRACES, BRACES_UNMATCHED}
    return 2 * length + 2, flags


def convert_element(src, flags):
    src = scriptify(src)
    if not src:
        return "{}"
    if USE_BRACES in flags and DONT_USE_BRACES not in flags:
        return "{%s}" % src
    dst = []
    i = 0
    if src[0] == "{":
        dst.append("\\{")
        i = 1
        flags.add(BRACES_UNMATCHED)
    for c in src[i:]:
        if c in '][$; \\"':
            dst.append("\\" + c)
        elif c in "{}":
            dst.append("\\" + c if BRACES_UNMATCHED in flags else c)
        elif c in ESCAPES:
            dst.append(ESCAPES[c])
        else:
            dst.append(c)
    return "".join(dst)


def update_string_of_list(items):
    strings = [scriptify(e) for e in items]
    return " ".join(convert_element(s, scan_element(s)[1]) for s in strings)


def scriptify_from_mapping(obj):
    flat = []
    for key in obj:
        flat.append(key)
        flat.append(obj[key])
    return update_string_of_list(flat)


def scriptify(obj):
    hook = getattr(obj, "__scriptify__", None)
    if hook:
        return hook()
    hook = getattr(obj, "__tclobj__", None)
    if hook:
        return scriptify(hook())
    if obj is None:
        return ""
    if isinstance(obj, str):
        return str(obj)
    if isinstance(obj, bool):
        return "true" if obj else "false"
    if isinstance(obj, (Sequence, Set)):
        return update_string_of_list(obj)
    if isinstance(obj, Mapping):
        return scriptify_from_mapping(obj)
    return str(obj)
