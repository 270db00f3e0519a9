// Tcl list-element quoting on raw character storage.
//
// Tcl reads a list as words separated by white space. An element that holds white space, brackets,
// a dollar sign, a semicolon, a backslash, or starts with a brace or a double quote must be quoted
// so that Tcl splits the list back into exactly the strings that went in. Two forms exist:
//
//   braces     `{...}` with the content copied unchanged. Tcl substitutes nothing inside braces,
//              so this is the readable form, but only usable when the braces inside the element
//              pair up the way Tcl's own brace matcher pairs them;
//   backslash  every special character preceded by a backslash (control characters written as
//              `\n`, `\t`, ...), which can quote anything.
//
// The scan decides between them and the conversion writes the chosen form.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "unicode.hpp"

namespace tarvik::tcl {

enum QuoteFlags : unsigned {
    USE_BRACES = 1,           // something needs quoting and braces may hold it
    TCL_DONT_USE_BRACES = 2,  // braces cannot hold the element: quote with backslashes
    BRACES_UNMATCHED = 4,     // in backslash form, every brace of the element is backslashed
};

constexpr unsigned BRACES_IMPOSSIBLE = TCL_DONT_USE_BRACES | BRACES_UNMATCHED;

struct ElementScan {
    unsigned flags = 0;
    Py_ssize_t escapes = 0;  // characters that gain a backslash in backslash form, braces aside
    Py_ssize_t braces = 0;   // braces, which gain one only when they are unmatched
};

// What each ASCII character means to the quoting; everything else is plain.
enum CharClass : uint8_t {
    PLAIN = 0,
    OPEN_BRACE,
    CLOSE_BRACE,
    NEEDS_QUOTING,  // `[ $ ;` and space: braces or a backslash
    BLANK_ESCAPE,   // form feed, newline, carriage return, tab, vertical tab: `\f` ... in backslash
                    // form
    BACKSLASHED,    // `]` and `"`: harmless inside a word, backslashed in backslash form
    BACKSLASH,
};

struct CharClasses {
    uint8_t of[128] = {};
    constexpr CharClasses() {
        of[int('{')] = OPEN_BRACE;
        of[int('}')] = CLOSE_BRACE;
        for (char c : {'[', '$', ';', ' '})
            of[int(c)] = NEEDS_QUOTING;
        for (char c : {'\f', '\n', '\r', '\t', '\v'})
            of[int(c)] = BLANK_ESCAPE;
        of[int(']')] = BACKSLASHED;
        of[int('"')] = BACKSLASHED;
        of[int('\\')] = BACKSLASH;
    }
};
inline constexpr CharClasses char_classes{};

template <class Char>
inline uint8_t char_class(Char c) {
    return c < 128 ? char_classes.of[c] : uint8_t(PLAIN);
}

// What a special character adds to the length of the backslash form, whatever role it plays in
// the scan.
inline void count_escape(ElementScan& scan, uint8_t cls) {
    if (cls == OPEN_BRACE || cls == CLOSE_BRACE)
        ++scan.braces;
    else
        ++scan.escapes;
}

// Scans an element whose first `start` characters are known to be plain.
//
// Nesting is counted the way Tcl's brace matcher counts it: a backslash and the character after
// it are one unit, so an escaped brace does not count and an escaped backslash escapes nothing.
// Braces can then hold every element whose unescaped braces pair up, which keeps a quoted list
// quotable in braces by the list around it: the text grows by two characters per level instead
// of doubling.
template <class Char>
ElementScan scan_element(const Char* s, Py_ssize_t n, Py_ssize_t start = 0) {
    ElementScan scan;
    // A leading brace or quote would be read as the start of a quoted word.
    if (n == 0 || s[0] == '{' || s[0] == '"') scan.flags |= USE_BRACES;
    Py_ssize_t level = 0;
    for (Py_ssize_t p = start; p < n; ++p) {
        uint8_t cls = char_class(s[p]);
        if (cls == PLAIN) continue;
        count_escape(scan, cls);
        switch (cls) {
            case OPEN_BRACE:
                ++level;
                break;
            case CLOSE_BRACE:
                // A brace closing more than was opened would end a braced word early.
                if (--level < 0) scan.flags |= BRACES_IMPOSSIBLE;
                break;
            case NEEDS_QUOTING:
            case BLANK_ESCAPE:
                scan.flags |= USE_BRACES;
                break;
            case BACKSLASH:
                // Inside braces a backslash-newline is still substituted, and a trailing backslash
                // would escape the closing brace: only backslashes can quote these.
                if (p + 1 == n || s[p + 1] == '\n') {
                    scan.flags = BRACES_IMPOSSIBLE;
                    break;
                }
                scan.flags |= USE_BRACES;
                if (uint8_t next = char_class(s[++p]); next != PLAIN) count_escape(scan, next);
                break;
            default:
                break;
        }
    }
    if (level != 0) scan.flags = BRACES_IMPOSSIBLE;
    return scan;
}

inline bool uses_braces(unsigned flags) {
    return (flags & USE_BRACES) && !(flags & TCL_DONT_USE_BRACES);
}

// How an element is written.
enum class Form : uint8_t {
    EMPTY,              // `{}`
    COPY,               // unchanged: nothing in it needs quoting
    BRACES,             // `{...}`, content unchanged
    BACKSLASHES,        // special characters backslashed, braces as they are
    BACKSLASHES_BRACES  // the same with every brace backslashed too
};

// The form that `flags` select. In backslash form a leading `{` is backslashed, which would upset
// the balance of the rest, so it makes every brace backslashed (as BRACES_UNMATCHED does).
inline Form form_of(const ElementScan& scan, Py_ssize_t n, unsigned flags, bool leading_brace) {
    if (n == 0) return Form::EMPTY;
    if (uses_braces(flags)) return Form::BRACES;
    bool all_braces = (flags & BRACES_UNMATCHED) || leading_brace;
    if (all_braces && scan.braces) return Form::BACKSLASHES_BRACES;
    return scan.escapes ? Form::BACKSLASHES : Form::COPY;
}

inline Py_ssize_t quoted_length(Form form, const ElementScan& scan, Py_ssize_t n) {
    switch (form) {
        case Form::EMPTY:
            return 2;
        case Form::COPY:
            return n;
        case Form::BRACES:
            return n + 2;
        case Form::BACKSLASHES:
            return n + scan.escapes;
        default:
            return n + scan.escapes + scan.braces;
    }
}

// What a character can ask of the quoting, as bits that a scan ORs together without branching.
enum CharBits : uint8_t {
    QUOTING_BIT = 1,    // `[ $ ;`, space and the blank escapes
    BRACE_BIT = 2,      // `{ }`: needs the full scan, which tracks nesting
    BACKSLASH_BIT = 4,  // `\`: needs the full scan, which tracks escapes
    ESCAPE_BIT = 8,     // gains a backslash in backslash form (braces aside)
};

struct CharBitTable {
    uint8_t of[256] = {};
    constexpr CharBitTable() {
        for (int c = 0; c < 128; ++c) {
            switch (char_classes.of[c]) {
                case OPEN_BRACE:
                case CLOSE_BRACE:
                    of[c] = BRACE_BIT;
                    break;
                case NEEDS_QUOTING:
                case BLANK_ESCAPE:
                    of[c] = QUOTING_BIT | ESCAPE_BIT;
                    break;
                case BACKSLASHED:
                    of[c] = ESCAPE_BIT;
                    break;
                case BACKSLASH:
                    of[c] = BACKSLASH_BIT | ESCAPE_BIT;
                    break;
                default:
                    break;
            }
        }
    }
};
inline constexpr CharBitTable char_bits{};

template <class Char>
inline uint8_t bits_of(Char c) {
    if constexpr (sizeof(Char) == 1)
        return char_bits.of[c];
    else
        return c < 256 ? char_bits.of[c] : uint8_t(0);
}

// The scan for a list being built. Most elements hold no brace and no backslash; for them one
// branch-free pass decides the form, which matters when plain and quoted words are mixed at
// random and every data-dependent branch would be mispredicted.
template <class Char>
ElementScan scan_for_list(const Char* s, Py_ssize_t n, Form& form) {
    unsigned seen = 0;
    Py_ssize_t escapes = 0;
    for (Py_ssize_t p = 0; p < n; ++p) {
        unsigned bits = bits_of(s[p]);
        seen |= bits;
        escapes += bits >> 3;
    }
    if (n == 0) {
        form = Form::EMPTY;
        return ElementScan{USE_BRACES, 0, 0};
    }
    if (seen & (BRACE_BIT | BACKSLASH_BIT)) {
        ElementScan scan = scan_element(s, n);
        form = form_of(scan, n, scan.flags, s[0] == '{');
        return scan;
    }
    bool quote = (seen & QUOTING_BIT) || s[0] == '"';
    form = quote ? Form::BRACES : escapes ? Form::BACKSLASHES : Form::COPY;
    return ElementScan{quote ? USE_BRACES : 0u, escapes, 0};
}

inline char blank_escape_letter(Py_UCS4 c) {
    switch (c) {
        case '\f':
            return 'f';
        case '\n':
            return 'n';
        case '\r':
            return 'r';
        case '\t':
            return 't';
        default:
            return 'v';
    }
}

template <class In, class Out>
Out* copy_chars(const In* s, Py_ssize_t n, Out* out) {
    if constexpr (sizeof(In) == sizeof(Out)) {
        // Most elements are short words, for which a library call costs more than the copy.
        if (n > 32) {
            std::memcpy(out, s, size_t(n) * sizeof(Out));
            return out + n;
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        *out++ = Out(s[i]);
    return out;
}

// Writes the element in `form`; returns the end of what was written.
template <class In, class Out>
Out* write_element(const In* s, Py_ssize_t n, Form form, Out* out) {
    switch (form) {
        case Form::EMPTY:
            *out++ = '{';
            *out++ = '}';
            return out;
        case Form::COPY:
            return copy_chars(s, n, out);
        case Form::BRACES:
            *out++ = '{';
            out = copy_chars(s, n, out);
            *out++ = '}';
            return out;
        default:
            break;
    }
    bool all_braces = form == Form::BACKSLASHES_BRACES;
    for (Py_ssize_t i = 0; i < n; ++i) {
        In c = s[i];
        switch (char_class(c)) {
            case PLAIN:
                *out++ = Out(c);
                break;
            case OPEN_BRACE:
            case CLOSE_BRACE:
                if (all_braces) *out++ = '\\';
                *out++ = Out(c);
                break;
            case BLANK_ESCAPE:
                *out++ = '\\';
                *out++ = Out(blank_escape_letter(c));
                break;
            default:
                *out++ = '\\';
                *out++ = Out(c);
                break;
        }
    }
    return out;
}

// Builds a Tcl list string in one pass over its elements: each element is scanned and written
// at once into a growing buffer of the widest character kind seen so far, which becomes the str.
class ListWriter {
  public:
    ListWriter() = default;
    ListWriter(const ListWriter&) = delete;
    ListWriter& operator=(const ListWriter&) = delete;
    ~ListWriter() { std::free(buffer_); }

    // Appends the str `text` as one element, quoted as its scan decides.
    void add(PyObject* text) {
        if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND && kind_ == PyUnicode_1BYTE_KIND) {
            add_narrow(text);
            return;
        }
        StrView view(text);
        prepare(text, view);
        with_chars(view, [&](auto* s) {
            Form form;
            scan_for_list(s, view.length, form);
            write(s, view.length, form);
        });
    }

    // Appends `text` in a form chosen by the caller.
    void add(PyObject* text, Form form) {
        StrView view(text);
        prepare(text, view);
        with_chars(view, [&](auto* s) { write(s, view.length, form); });
    }

    Ref finish() {
        Ref result = own(PyUnicode_New(used_, maxchar_));
        if (used_) std::memcpy(PyUnicode_DATA(result.get()), buffer_, size_t(used_) * kind_);
#ifdef TARVIK_DELIBERATE_LEAK
        // The one decref skipped on purpose in a leak-proof build (see CMakeLists.txt).
        Py_INCREF(result.get());
#endif
        return result;
    }

  private:
    // The common case, one-byte text into a one-byte list, without dispatching on kinds.
    void add_narrow(PyObject* text) {
        if (!PyUnicode_IS_ASCII(text)) maxchar_ = std::max<Py_UCS4>(maxchar_, 0xFF);
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        reserve(n);
        auto* out = reinterpret_cast<Py_UCS1*>(buffer_) + used_;
        if (count_++) *out++ = ' ';
        const Py_UCS1* s = PyUnicode_1BYTE_DATA(text);
        Form form;
        scan_for_list(s, n, form);
        used_ = write_element(s, n, form, out) - reinterpret_cast<Py_UCS1*>(buffer_);
    }

    void reserve(Py_ssize_t length) {
        Py_ssize_t needed = used_ + 2 * length + 3;
        if (needed > capacity_) grow(std::max(needed, 2 * capacity_ + 64));
    }

    // Room for the separator and the worst case (every character backslashed, or braces).
    void prepare(PyObject* text, const StrView& view) {
        maxchar_ = std::max(maxchar_, max_char_bound(text));
        if (view.kind > kind_) widen(view.kind);
        reserve(view.length);
        if (count_++) put(' ');
    }

    template <class In>
    void write(const In* s, Py_ssize_t n, Form form) {
        switch (kind_) {
            case PyUnicode_1BYTE_KIND:
                advance(write_element(s, n, form, at<Py_UCS1>()));
                break;
            case PyUnicode_2BYTE_KIND:
                advance(write_element(s, n, form, at<Py_UCS2>()));
                break;
            default:
                advance(write_element(s, n, form, at<Py_UCS4>()));
                break;
        }
    }

    void put(Py_UCS4 c) { PyUnicode_WRITE(kind_, buffer_, used_++, c); }

    template <class Char>
    Char* at() {
        return reinterpret_cast<Char*>(buffer_) + used_;
    }
    template <class Char>
    void advance(Char* end) {
        used_ = end - reinterpret_cast<Char*>(buffer_);
    }

    void grow(Py_ssize_t capacity) {
        void* bigger = std::realloc(buffer_, size_t(capacity) * kind_);
        if (!bigger) throw std::bad_alloc();
        buffer_ = static_cast<char*>(bigger);
        capacity_ = capacity;
    }

    // A wider element arrived: the characters written so far move to the wider kind.
    void widen(int kind) {
        auto* wider =
            static_cast<char*>(std::malloc(size_t(std::max<Py_ssize_t>(capacity_, 1)) * kind));
        if (!wider) throw std::bad_alloc();
        for (Py_ssize_t i = 0; i < used_; ++i)
            PyUnicode_WRITE(kind, wider, i, PyUnicode_READ(kind_, buffer_, i));
        std::free(buffer_);
        buffer_ = wider;
        kind_ = kind;
    }

    char* buffer_ = nullptr;
    Py_ssize_t capacity_ = 0;  // in characters
    Py_ssize_t used_ = 0;
    size_t count_ = 0;
    int kind_ = PyUnicode_1BYTE_KIND;
    Py_UCS4 maxchar_ = 0x7F;
};

}  // namespace tarvik::tcl
