// Mappings shown as HTML tables in a notebook (their _repr_html_): every text escaped, so that a
// value holding markup shows as that text; a cell may hold a nested table; a table shows at most
// `max_rows` rows and says how many more there are.
#pragma once

#include "unicode.hpp"

#include <initializer_list>

namespace tarvik::html {

inline constexpr Py_ssize_t max_rows = 500;

inline const char* entity(Py_UCS4 c) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return "&#x27;";
        default:
            return nullptr;
    }
}

// `text` (a str) with the characters that mean something in HTML written as entities, as
// html.escape() writes them.
inline Ref escape(Borrowed text) {
    StrView view(text);
    Py_ssize_t extra = 0;
    with_chars(view, [&](auto* s) {
        for (Py_ssize_t i = 0; i < view.length; ++i)
            if (const char* e = entity(s[i])) extra += Py_ssize_t(std::strlen(e)) - 1;
    });
    if (extra == 0) return Ref::borrow(text);
    StrBuilder out(view.length + extra, max_char_bound(text));
    with_chars(view, [&](auto* s) {
        for (Py_ssize_t i = 0; i < view.length; ++i) {
            if (const char* e = entity(s[i]))
                for (; *e; ++e)
                    out.put(Py_UCS4(*e));
            else
                out.put(s[i]);
        }
    });
    return out.finish();
}

// A cell showing str(value).
inline Ref text(Borrowed value) {
    Ref shown = own(PyObject_Str(value));
    return escape(shown);
}

// A table built row by row from cells that are HTML already (escaped text or nested tables).
class Table {
  public:
    // `headings` name the columns; `caption`, when not NULL, is a str shown above the table.
    Table(std::initializer_list<const char*> headings, PyObject* caption = nullptr)
        : pieces_(own(PyList_New(0))), columns_(Py_ssize_t(headings.size())) {
        add("<table style=\"text-align: left\">");
        if (caption) {
            add("<caption>");
            add(escape(caption));
            add("</caption>");
        }
        add("<thead><tr>");
        for (const char* heading : headings) {
            add("<th style=\"text-align: left\">");
            add(heading);
            add("</th>");
        }
        add("</tr></thead><tbody>");
    }

    // Whether the table takes another row.
    bool full() const { return rows_ == max_rows; }

    void row(std::initializer_list<PyObject*> cells) {
        ++rows_;
        add("<tr>");
        for (PyObject* cell : cells) {
            add("<td style=\"text-align: left; vertical-align: top; white-space: pre-wrap\">");
            add(cell);
            add("</td>");
        }
        add("</tr>");
    }

    // The last row: the number of rows left out, or a word that the table is empty.
    Ref finish(Py_ssize_t total) {
        if (total == 0 || total > rows_) {
            Ref note = total == 0
                           ? from_utf8("empty")
                           : own(PyUnicode_FromFormat("&hellip; and %zd more", total - rows_));
            add(own(PyUnicode_FromFormat("<tr><td colspan=\"%zd\"><i>", columns_)));
            add(note);
            add("</i></td></tr>");
        }
        add("</tbody></table>");
        Ref empty = own(PyUnicode_New(0, 0));
        return own(PyUnicode_Join(empty, pieces_));
    }

  private:
    void add(PyObject* piece) { check(PyList_Append(pieces_, piece)); }
    void add(const Ref& piece) { add(piece.get()); }
    void add(const char* piece) { add(from_utf8(piece)); }

    Ref pieces_;
    Py_ssize_t columns_;
    Py_ssize_t rows_ = 0;
};

}  // namespace tarvik::html
