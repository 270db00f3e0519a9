// The algebra of qualified Tcl names (parts separated by "::"), on strings alone: normal form,
// parts, qualifiers, tail, joining and the parent of an absolute name, as Tcl's `namespace`
// subcommands work them out.
#pragma once

#include "errors.hpp"
#include "unicode.hpp"

#include <algorithm>
#include <vector>

namespace tarvik::tcl {

[[noreturn]] inline void invalid_name(PyObject* text) {
    raise_format(PyExc_ValueError, "Invalid Tcl namespace '%U'", text);
}

inline bool starts_with_separator(PyObject* text) {
    if (!PyUnicode_Check(text)) return false;
    return PyUnicode_GET_LENGTH(text) >= 2 && PyUnicode_READ_CHAR(text, 0) == ':' &&
           PyUnicode_READ_CHAR(text, 1) == ':';
}

namespace detail {

// Calls f(start, end) for each non-empty part of `s`, split at "::" from the left as str.split
// splits. False when a part holds a colon: an odd run of colons, or a lone one.
template <class Char, class F>
bool for_each_part(const Char* s, Py_ssize_t n, F&& f) {
    Py_ssize_t start = 0;
    bool colon = false;
    for (Py_ssize_t i = 0; i < n;) {
        if (s[i] == ':') {
            if (i + 1 < n && s[i + 1] == ':') {
                if (colon) return false;
                if (i > start) f(start, i);
                i += 2;
                start = i;
                continue;
            }
            colon = true;
        }
        ++i;
    }
    if (colon) return false;
    if (n > start) f(start, n);
    return true;
}

template <class Char>
bool is_absolute_name(const Char* s, Py_ssize_t n) {
    return n >= 2 && s[0] == ':' && s[1] == ':';
}

// Where the last "::" of `text` starts, or -1.
inline Py_ssize_t last_separator(PyObject* text) {
    StrView view(text);
    return with_chars(view, [&](auto* s) -> Py_ssize_t {
        for (Py_ssize_t i = view.length - 2; i >= 0; --i)
            if (s[i] == ':' && s[i + 1] == ':') return i;
        return -1;
    });
}

inline Ref empty_text() {
    return own(PyUnicode_New(0, 0));
}

}  // namespace detail

// The normal form: no empty parts, one leading "::" when absolute, no trailing "::"; the global
// namespace is "". A name already in normal form is returned as it is.
inline Ref normalize_name(Borrowed text) {
    StrView view(text);
    return with_chars(view, [&](auto* s) -> Ref {
        Py_ssize_t n = view.length, parts = 0, chars = 0;
        if (!detail::for_each_part(s, n, [&](Py_ssize_t a, Py_ssize_t b) {
                ++parts;
                chars += b - a;
            }))
            invalid_name(text);
        bool absolute = detail::is_absolute_name(s, n);
        Py_ssize_t length = parts ? chars + 2 * (parts - 1) + (absolute ? 2 : 0) : 0;
        // Only colons are ever dropped, so an unchanged length means an unchanged name.
        if (length == n) return Ref::borrow(text);
        StrBuilder out(length, max_char_bound(text));
        out.write([&](auto* o) {
            bool first = true;
            detail::for_each_part(s, n, [&](Py_ssize_t a, Py_ssize_t b) {
                if (!first || absolute) {
                    *o++ = ':';
                    *o++ = ':';
                }
                first = false;
                for (Py_ssize_t i = a; i < b; ++i)
                    *o++ = s[i];
            });
            return o;
        });
        return out.finish();
    });
}

// The parts of a name; an absolute name starts with the part "".
inline Ref split_name(Borrowed text) {
    StrView view(text);
    Ref parts = new_list();
    with_chars(view, [&](auto* s) {
        if (detail::is_absolute_name(s, view.length)) append(parts, detail::empty_text());
        bool valid = detail::for_each_part(s, view.length, [&](Py_ssize_t a, Py_ssize_t b) {
            append(parts, own(PyUnicode_Substring(text, a, b)));
        });
        if (!valid) invalid_name(text);
    });
    return parts;
}

// The leading qualifiers, as Tcl's `namespace qualifiers` gives them: everything before the last
// "::", backing over the extra colons of a longer run.
inline Ref qualifiers_of(Borrowed text) {
    Py_ssize_t p = detail::last_separator(text);
    if (p == -1) return detail::empty_text();
    while (p > 0 && PyUnicode_READ_CHAR(text, p - 1) == ':')
        --p;
    return own(PyUnicode_Substring(text, 0, p));
}

inline Ref tail_of(Borrowed text) {
    Py_ssize_t p = detail::last_separator(text);
    if (p == -1) return Ref::borrow(text);
    return own(PyUnicode_Substring(text, p + 2, PyUnicode_GET_LENGTH(text)));
}

// Joins names in order: an absolute name discards everything before it, an empty one is skipped.
// The joined text is then normalised (and validated as a whole, so the error names all of it).
// `text_of(i)` gives the i-th name as a str that stays alive until the join returns.
template <class TextOf>
Ref join_names(Py_ssize_t count, TextOf&& text_of) {
    PyObject* few[8];
    std::vector<PyObject*> many;
    PyObject** pieces = count <= 8 ? few : (many.resize(size_t(count)), many.data());
    Py_ssize_t used = 0, length = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* piece = text_of(i);
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (i == 0 || length == 0 || starts_with_separator(piece)) {
            pieces[0] = piece;
            used = 1;
            length = n;
        } else if (n) {
            pieces[used++] = piece;
            length += 2 + n;
        }
    }
    if (used == 1) return normalize_name(pieces[0]);
    Py_UCS4 maxchar = 0x7F;
    for (Py_ssize_t i = 0; i < used; ++i)
        maxchar = std::max(maxchar, max_char_bound(pieces[i]));
    StrBuilder joined(length, maxchar);
    for (Py_ssize_t i = 0; i < used; ++i) {
        if (i) {
            joined.put(':');
            joined.put(':');
        }
        joined.append(pieces[i]);
    }
    return normalize_name(joined.finish());
}

// The parent of a name in normal form, worked out as Tcl's `namespace parent` answers for an
// absolute name: its qualifiers, "::" for a child of the global namespace, and "" for the global
// namespace itself.
inline Ref parent_of_normal(Borrowed name) {
    Py_ssize_t p = detail::last_separator(name);
    if (p == -1) return detail::empty_text();
    return own(PyUnicode_Substring(name, 0, p == 0 ? 2 : p));
}

}  // namespace tarvik::tcl
