// Commands written as the lines of a Tcl script that reads back as exactly the words that went
// in, whoever reads it: Tcl's eval, or `source` of the script's file by a tool whose system
// encoding is not UTF-8 and which stops reading a file at a Ctrl-Z.
//
// A word of printable ASCII (tabs and newlines included) is written as a list element, so the
// usual words stay as readable as in a Tcl list. Any other word is written with backslashes, each
// character outside printable ASCII as a \uXXXX escape, so the whole script is ASCII. A character
// beyond the BMP becomes a surrogate pair: what _tkinter hands a Tcl 8.6 for it, and what Tcl 9
// reads back as the one character.
#pragma once

#include "tcl_quote.hpp"

#include <string>

namespace tarvik::tcl {

template <class Char>
bool is_printable_ascii(const Char* s, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        Char c = s[i];
        if ((c < 0x20 || c >= 0x7F) && c != '\t' && c != '\n') return false;
    }
    return true;
}

class ScriptWriter {
  public:
    // Appends the str `text` as the next word of the command being written; `first` starts it.
    void word(PyObject* text, bool first) {
        if (!first) out_ += ' ';
        StrView view(text);
        with_chars(view, [&](auto* s) {
            if (is_printable_ascii(s, view.length))
                write_listed(s, view.length, first);
            else
                write_escaped(s, view.length);
        });
    }

    void end_command() { out_ += '\n'; }

    // A comment line. Its text is a note for people, so what could end or extend the comment, or
    // upset the braces of a script that wraps this one, is replaced by "?".
    void comment(PyObject* text) {
        out_ += "# ";
        with_chars(StrView(text), [&](auto* s) {
            for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
                Py_UCS4 c = s[i];
                bool kept = c >= 0x20 && c < 0x7F && c != '\\' && c != '{' && c != '}';
                out_ += kept ? char(c) : '?';
            }
        });
        out_ += '\n';
    }

    Ref finish() const {
        return own(PyUnicode_DecodeASCII(out_.data(), Py_ssize_t(out_.size()), nullptr));
    }

  private:
    template <class Char>
    void write_listed(const Char* s, Py_ssize_t n, bool first) {
        Form form;
        scan_for_list(s, n, form);
        // A command whose first word starts with "#" would be read as a comment; a braced word
        // starts with its brace.
        if (first && n > 0 && s[0] == '#' && form != Form::BRACES) out_ += '\\';
        size_t at = out_.size();
        out_.resize(at + 2 * size_t(n) + 2);  // the longest form: every character backslashed
        char* end = write_element(s, n, form, out_.data() + at);
        out_.resize(size_t(end - out_.data()));
    }

    // Backslashes for every character Tcl would read as syntax, escapes for the others outside
    // printable ASCII. A leading "#" is backslashed too, for the first word of a command.
    template <class Char>
    void write_escaped(const Char* s, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = s[i];
            if (c >= 0x20 && c < 0x7F) {
                if (char_class(c) != PLAIN || (i == 0 && c == '#')) out_ += '\\';
                out_ += char(c);
            } else if (c < 0x80 && char_class(c) == BLANK_ESCAPE) {
                out_ += '\\';
                out_ += blank_escape_letter(c);
            } else if (c > 0xFFFF) {
                c -= 0x10000;
                escape(0xD800 + (c >> 10));
                escape(0xDC00 + (c & 0x3FF));
            } else {
                escape(c);
            }
        }
    }

    // \uXXXX with all four digits, so that a hex digit after it is not read as part of it.
    void escape(Py_UCS4 c) {
        static constexpr char digits[] = "0123456789ABCDEF";
        out_ += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            out_ += digits[(c >> shift) & 0xF];
    }

    std::string out_;
};

}  // namespace tarvik::tcl
