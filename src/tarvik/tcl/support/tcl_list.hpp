// Tcl's list syntax, read on raw character storage.
//
// A Tcl list is a string of elements separated by white space (space, \t, \n, \v, \f, \r). An
// element in braces is taken literally: nested braces must balance, and a backslash only keeps the
// character after it from counting. An element in double quotes, or a bare one, has its backslash
// sequences replaced by what they stand for. Anything but white space straight after a closing
// brace or quote, or a brace or quote never closed, makes the string no list at all.
//
// The reader follows Tcl's own list parser character by character, so it splits every string the
// way the interpreter does. Two kinds of text it leaves to the interpreter, whose answer callers
// then ask for: malformed lists, so that the error is Tcl's own, and, outside braces, backslash
// sequences whose value lies outside the Basic Multilingual Plane or among the surrogates (a
// backslash before such a character, `\u` or `\U` naming one): what they become depends on the
// Tcl version and build.
#pragma once

#include "unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tarvik::tcl {

template <class Char>
inline bool is_list_space(Char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The characters that end an element or change its reading, by the way the element is written;
// all others are taken as they are.
enum ListStop : uint8_t { IN_BRACES = 1, IN_QUOTES = 2, IN_WORD = 4 };

struct ListStops {
    uint8_t of[128] = {};
    constexpr ListStops() {
        of[int('{')] = of[int('}')] = IN_BRACES;
        of[int('"')] = IN_QUOTES;
        of[int('\\')] = IN_BRACES | IN_QUOTES | IN_WORD;
        for (char c : {' ', '\t', '\n', '\v', '\f', '\r'})
            of[int(c)] = IN_WORD;
    }
};
inline constexpr ListStops list_stops{};

// Braced elements hold most of a nested list's text, and in them only braces and backslashes
// matter: one-byte text is searched for them sixteen characters at a time. Returns the position
// of the first one, or where fewer than sixteen characters are left.
inline Py_ssize_t skip_braced_blocks(const Py_UCS1* s, Py_ssize_t p, Py_ssize_t n) {
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    using Block = uint8_t __attribute__((vector_size(16)));
    for (; p + 16 <= n; p += 16) {
        Block block;
        std::memcpy(&block, s + p, sizeof block);
        auto hits = (block == '{') | (block == '}') | (block == '\\');
        uint64_t halves[2];
        std::memcpy(halves, &hits, sizeof halves);
        if (halves[0]) return p + (__builtin_ctzll(halves[0]) >> 3);
        if (halves[1]) return p + 8 + (__builtin_ctzll(halves[1]) >> 3);
    }
#endif
    return p;
}

// Where one element's value lies in the text.
struct Element {
    Py_ssize_t start = 0;  // inside the braces or quotes, if any
    Py_ssize_t end = 0;
    bool literal = true;  // false: backslash sequences to replace
    bool bare = true;     // neither braced nor quoted
};

enum class Found : uint8_t { ELEMENT, END, MALFORMED, LEFT_TO_TCL };

// The length of the backslash sequence at `p`, in characters, as Tcl skips it while it looks for
// the end of an element.
template <class Char>
Py_ssize_t backslash_length(const Char* s, Py_ssize_t p, Py_ssize_t n) {
    if (p + 1 >= n) return 1;
    if (s[p + 1] != '\n') return 2;
    // A backslash-newline swallows the blanks that indent the next line.
    Py_ssize_t q = p + 2;
    while (q < n && (s[q] == ' ' || s[q] == '\t'))
        ++q;
    return q - p;
}

inline int hex_value(Py_UCS4 c) {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    return -1;
}

// What a backslash sequence stands for, and how many characters it takes.
struct Escape {
    Py_UCS4 value;
    Py_ssize_t length;
};

// Up to `most` hex digits from `p`, stopping before a digit that would take the value past
// `limit`; no digit at all stands for the letter that introduced them.
template <class Char>
Escape hex_escape(const Char* s, Py_ssize_t p, Py_ssize_t n, int most, Py_UCS4 limit) {
    Py_UCS4 value = 0;
    int digits = 0;
    for (; digits < most && p + digits < n; ++digits) {
        int d = hex_value(s[p + digits]);
        if (d < 0 || ((value << 4) | Py_UCS4(d)) > limit) break;
        value = (value << 4) | Py_UCS4(d);
    }
    if (digits == 0) return {s[p - 1], 2};
    return {value, 2 + digits};
}

inline bool is_octal(Py_UCS4 c) {
    return c >= '0' && c <= '7';
}

// The backslash sequence at `p`, read as Tcl 8.6 reads it: `\x` takes up to two hex digits, `\u`
// four, `\U` eight as long as the value stays a code point, an octal number up to three digits
// as long as it stays a byte; a backslash-newline and the blanks after it are one space; before
// any other character, or at the end, the backslash stands for that character or itself.
template <class Char>
Escape read_backslash(const Char* s, Py_ssize_t p, Py_ssize_t n) {
    if (p + 1 >= n) return {'\\', 1};
    Py_UCS4 c = s[p + 1];
    switch (c) {
        case 'a':
            return {0x07, 2};
        case 'b':
            return {0x08, 2};
        case 'f':
            return {0x0C, 2};
        case 'n':
            return {0x0A, 2};
        case 'r':
            return {0x0D, 2};
        case 't':
            return {0x09, 2};
        case 'v':
            return {0x0B, 2};
        case 'x':
            return hex_escape(s, p + 2, n, 2, 0xFF);
        case 'u':
            return hex_escape(s, p + 2, n, 4, 0xFFFF);
        case 'U':
            return hex_escape(s, p + 2, n, 8, 0x10FFFF);
        case '\n':
            return {' ', backslash_length(s, p, n)};
        default:
            break;
    }
    if (!is_octal(c)) return {c, 2};
    Py_UCS4 value = c - '0';
    Py_ssize_t length = 2;
    for (; length < 4 && p + length < n && is_octal(s[p + length]); ++length) {
        Py_UCS4 wider = (value << 3) | (s[p + length] - '0');
        if (wider > 0xFF) break;
        value = wider;
    }
    return {value, length};
}

// Whether Tcl must read the backslash sequence at `p`: its value is outside the Basic
// Multilingual Plane or a surrogate.
template <class Char>
bool left_to_tcl(const Char* s, Py_ssize_t p, Py_ssize_t n) {
    if (p + 1 >= n) return false;
    Py_UCS4 c = s[p + 1];
    if (c > 0xFFFF) return true;
    if (c != 'u' && c != 'U') return false;
    Py_UCS4 value = read_backslash(s, p, n).value;
    return value > 0xFFFF || (value >= 0xD800 && value <= 0xDFFF);
}

// Where each brace of a text closes, found in one pass, for readers that take the same text
// apart level by level: without it every level would scan again all the levels inside it.
// A brace closes where Tcl's brace matching closes it from any reading position: every reading
// steps over a backslash sequence the same way, and an element starts only between them.
class BraceMatches {
  public:
    template <class Char>
    BraceMatches(const Char* s, Py_ssize_t n) {
        std::vector<size_t> open;
        for (Py_ssize_t p = 0; p < n; ++p) {
            if constexpr (sizeof(Char) == 1) {
                p = skip_braced_blocks(s, p, n);
                if (p == n) break;
            }
            Char c = s[p];
            if (c == '\\') {
                p += backslash_length(s, p, n) - 1;
            } else if (c == '{') {
                open.push_back(opens_.size());
                opens_.push_back(p);
                closes_.push_back(-1);
            } else if (c == '}' && !open.empty()) {
                closes_[open.back()] = p;
                open.pop_back();
            }
        }
    }

    // Where the brace at `p` closes, or -1 when it never does.
    Py_ssize_t close_of(Py_ssize_t p) const {
        auto it = std::lower_bound(opens_.begin(), opens_.end(), p);
        if (it == opens_.end() || *it != p) return -1;
        return closes_[size_t(it - opens_.begin())];
    }

  private:
    std::vector<Py_ssize_t> opens_, closes_;
};

// Finds the elements of a list one after the other. With brace matches of the whole text, the
// list being the part of it from `base` on, a braced element is found without scanning it.
template <class Char>
class ListReader {
  public:
    ListReader(const Char* s, Py_ssize_t n, const BraceMatches* matches = nullptr,
               Py_ssize_t base = 0)
        : s_(s), n_(n), matches_(matches), base_(base) {
        skip_spaces();
    }

    Found next(Element& e) {
        if (pos_ >= n_) return Found::END;
        if (s_[pos_] == '{') return braced(e);
        if (s_[pos_] == '"') return quoted(e);
        return bare(e);
    }

  private:
    // Nested braces count until the one that closes the element; a backslash keeps the character
    // after it from counting, but the element's characters stay as they are.
    Found braced(Element& e) {
        Py_ssize_t p = pos_ + 1;
        e = Element{p, p, true, false};
        if (matches_) {
            Py_ssize_t close_at = matches_->close_of(base_ + pos_) - base_;
            if (close_at < 0 || close_at >= n_) return Found::MALFORMED;
            return close(e, close_at);
        }
        for (Py_ssize_t depth = 1;;) {
            p = skip<IN_BRACES>(p);
            if (p == n_) return Found::MALFORMED;
            if (s_[p] == '{') {
                ++depth;
            } else if (s_[p] == '}') {
                if (--depth == 0) return close(e, p);
            } else {
                p += backslash_length(s_, p, n_) - 1;
            }
            ++p;
        }
    }

    Found quoted(Element& e) {
        Py_ssize_t p = pos_ + 1;
        e = Element{p, p, true, false};
        for (;;) {
            p = skip<IN_QUOTES>(p);
            if (p == n_) return Found::MALFORMED;
            if (s_[p] == '"') return close(e, p);
            if (!backslash(e, p)) return Found::LEFT_TO_TCL;
        }
    }

    Found bare(Element& e) {
        Py_ssize_t p = pos_;
        e = Element{p, p, true, true};
        for (;;) {
            p = skip<IN_WORD>(p);
            if (p == n_ || s_[p] != '\\') break;
            if (!backslash(e, p)) return Found::LEFT_TO_TCL;
        }
        e.end = pos_ = p;
        skip_spaces();
        return Found::ELEMENT;
    }

    // The first position from `p` on that holds a character that matters in `mode`, or the end.
    template <uint8_t mode>
    Py_ssize_t skip(Py_ssize_t p) const {
        if constexpr (mode == IN_BRACES && sizeof(Char) == 1) p = skip_braced_blocks(s_, p, n_);
        while (p < n_ && !(s_[p] < 128 && (list_stops.of[s_[p]] & mode)))
            ++p;
        return p;
    }

    // Steps over a backslash sequence to be replaced; false when its value is left to Tcl.
    bool backslash(Element& e, Py_ssize_t& p) const {
        e.literal = false;
        if (left_to_tcl(s_, p, n_)) return false;
        p += backslash_length(s_, p, n_);
        return true;
    }

    // The closing brace or quote at `p` ends the element; only white space may follow it.
    Found close(Element& e, Py_ssize_t p) {
        e.end = p++;
        if (p < n_ && !is_list_space(s_[p])) return Found::MALFORMED;
        pos_ = p;
        skip_spaces();
        return Found::ELEMENT;
    }

    void skip_spaces() {
        while (pos_ < n_ && is_list_space(s_[pos_]))
            ++pos_;
    }

    const Char* s_;
    Py_ssize_t n_;
    const BraceMatches* matches_;
    Py_ssize_t base_;
    Py_ssize_t pos_ = 0;
};

// Writes the value of s[start:end] with its backslash sequences replaced; returns the end of what
// was written, which is never longer than the input, or nullptr when a value does not fit `Out`.
template <class Char, class Out>
Out* collapse(const Char* s, Py_ssize_t start, Py_ssize_t end, Out* out) {
    constexpr Py_UCS4 widest = sizeof(Out) == 1 ? 0xFF : sizeof(Out) == 2 ? 0xFFFF : 0x10FFFF;
    for (Py_ssize_t p = start; p < end;) {
        if (s[p] != '\\') {
            *out++ = Out(s[p++]);
            continue;
        }
        Escape escape = read_backslash(s, p, end);
        if (escape.value > widest) return nullptr;
        *out++ = Out(escape.value);
        p += escape.length;
    }
    return out;
}

template <class Char>
constexpr int kind_of() {
    return sizeof(Char) == 1   ? PyUnicode_1BYTE_KIND
           : sizeof(Char) == 2 ? PyUnicode_2BYTE_KIND
                               : PyUnicode_4BYTE_KIND;
}

// The value of element `e` of `text` (whose characters are `s`) as a new str. An escape may name a
// character wider than the text's own kind: the value is then written four bytes a character.
template <class Char>
Ref element_value(PyObject* text, const Char* s, const Element& e, std::vector<Char>& scratch) {
    if (e.literal) return own(PyUnicode_Substring(text, e.start, e.end));
    scratch.resize(size_t(e.end - e.start));
    if (Char* end = collapse(s, e.start, e.end, scratch.data()))
        return own(
            PyUnicode_FromKindAndData(kind_of<Char>(), scratch.data(), end - scratch.data()));
    std::vector<Py_UCS4> wide(size_t(e.end - e.start));
    Py_UCS4* end = collapse(s, e.start, e.end, wide.data());
    return own(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, wide.data(), end - wide.data()));
}

enum class Split : uint8_t { OK, MALFORMED, LEFT_TO_TCL };

inline Split split_outcome(Found found) {
    return found == Found::MALFORMED ? Split::MALFORMED : Split::LEFT_TO_TCL;
}

// Appends the elements of the list held in text[start:end] to `out`.
template <class Char>
Split split_span(PyObject* text, const Char* s, Py_ssize_t start, Py_ssize_t end,
                 std::vector<Ref>& out) {
    ListReader<Char> reader(s + start, end - start);
    std::vector<Char> scratch;
    Element e;
    for (;;) {
        Found found = reader.next(e);
        if (found == Found::END) return Split::OK;
        if (found != Found::ELEMENT) return split_outcome(found);
        e.start += start;
        e.end += start;
        out.push_back(element_value(text, s, e, scratch));
    }
}

// Appends the elements of the str `text` to `out`. Unless the outcome is OK, what was appended is
// incomplete and the interpreter must split the text instead.
inline Split split_list(PyObject* text, std::vector<Ref>& out) {
    StrView view(text);
    return with_chars(view, [&](auto* s) { return split_span(text, s, 0, view.length, out); });
}

// Appends the items of element `e` of `text`, itself read as a list: in place when its characters
// are its value, else from its value.
template <class Char>
Split split_element(PyObject* text, const Char* s, const Element& e, std::vector<Ref>& out) {
    // A bare word holds no white space: read as a list, it is one element, itself.
    if (e.bare && e.literal) {
        out.push_back(own(PyUnicode_Substring(text, e.start, e.end)));
        return Split::OK;
    }
    if (e.literal) return split_span(text, s, e.start, e.end, out);
    std::vector<Char> scratch;
    return split_list(element_value(text, s, e, scratch).get(), out);
}

}  // namespace tarvik::tcl
