// Working on a `str` object's own storage (its 1-, 2- or 4-byte kind), without per-character
// Python objects.
#pragma once

#include "errors.hpp"

#include <cstring>

namespace tarvik {

// The characters of a str, as CPython stores them.
struct StrView {
    int kind;
    const void* data;
    Py_ssize_t length;

    explicit StrView(PyObject* s)
        : kind(PyUnicode_KIND(s)), data(PyUnicode_DATA(s)), length(PyUnicode_GET_LENGTH(s)) {}
};

// Calls `f` with a typed pointer to the characters (Py_UCS1, Py_UCS2 or Py_UCS4 const*).
template <class F>
decltype(auto) with_chars(const StrView& s, F&& f) {
    switch (s.kind) {
        case PyUnicode_1BYTE_KIND:
            return f(static_cast<const Py_UCS1*>(s.data));
        case PyUnicode_2BYTE_KIND:
            return f(static_cast<const Py_UCS2*>(s.data));
        default:
            return f(static_cast<const Py_UCS4*>(s.data));
    }
}

// A new str of known length whose characters are written in place. `maxchar` must bound every
// character written (CPython's canonical form then holds without a rescan).
class StrBuilder {
  public:
    StrBuilder(Py_ssize_t length, Py_UCS4 maxchar)
        : result_(own(PyUnicode_New(length, maxchar))),
          kind_(PyUnicode_KIND(result_.get())),
          data_(PyUnicode_DATA(result_.get())) {}

    // Calls `f` with a typed pointer to the next free character; `f` returns the pointer past
    // what it wrote.
    template <class F>
    void write(F&& f) {
        switch (kind_) {
            case PyUnicode_1BYTE_KIND:
                advance(f(static_cast<Py_UCS1*>(data_) + position_));
                break;
            case PyUnicode_2BYTE_KIND:
                advance(f(static_cast<Py_UCS2*>(data_) + position_));
                break;
            default:
                advance(f(static_cast<Py_UCS4*>(data_) + position_));
                break;
        }
    }

    void put(Py_UCS4 c) { PyUnicode_WRITE(kind_, data_, position_++, c); }

    // Copies all of the str `text`, whose characters `maxchar` must bound.
    void append(PyObject* text) {
        Py_ssize_t size = PyUnicode_GET_LENGTH(text);
        if (PyUnicode_KIND(text) == kind_)
            std::memcpy(static_cast<char*>(data_) + position_ * kind_, PyUnicode_DATA(text),
                        size_t(size) * kind_);
        else
            check_size(PyUnicode_CopyCharacters(result_, position_, text, 0, size));
        position_ += size;
    }

    Ref finish() {
        if (position_ != PyUnicode_GET_LENGTH(result_.get()))
            raise(PyExc_SystemError, "string length changed while it was built");
        return std::move(result_);
    }

  private:
    template <class Char>
    void advance(Char* end) {
        position_ = end - static_cast<Char*>(data_);
    }

    Ref result_;
    int kind_;
    void* data_;
    Py_ssize_t position_ = 0;
};

// The largest character a str may hold, from its kind and ASCII flag (exact up to the kind, which
// is all PyUnicode_New needs).
inline Py_UCS4 max_char_bound(PyObject* s) {
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return PyUnicode_IS_ASCII(s) ? 0x7F : 0xFF;
        case PyUnicode_2BYTE_KIND:
            return 0xFFFF;
        default:
            return 0x10FFFF;
    }
}

// str() of an exact int. Machine-size values, the usual case, are written here: the general
// conversion is built for integers of any size and costs several times as much.
inline Ref int_text(PyObject* value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow) return str(value);
    if (v == -1 && PyErr_Occurred()) raise_current();
    if (v >= 0 && v <= 9) return own(PyUnicode_FromOrdinal('0' + int(v)));  // cached strings
    char digits[24];
    char* end = digits + sizeof digits;
    char* first = end;
    unsigned long long magnitude = v < 0 ? 0ull - static_cast<unsigned long long>(v) : v;
    do {
        *--first = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (v < 0) *--first = '-';
    Ref text = own(PyUnicode_New(end - first, 0x7F));
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), first, size_t(end - first));
    return text;
}

}  // namespace tarvik
