// The elements of a Tcl list that _tkinter handed back as a tuple, as the strings Tcl lists.
//
// When Tcl holds a value as a list object, _tkinter gives it as a tuple whose items follow the
// elements' internal forms: a nested tuple for a list, an int, a float, a bool, bytes for a byte
// array, a Tcl_Obj for any other type. The element of a Tcl list is a string: a nested list is
// its list text, a number the text Tcl writes for it, a byte array one character per byte.
#pragma once

#include "tcl_quote.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace tarvik::tcl {

// Digits and decimal exponent of |x| in 'e' format with `precision` digits after the point.
inline std::pair<std::string, int> e_digits(double x, int precision) {
    char* text = PyOS_double_to_string(std::fabs(x), 'e', precision, 0, nullptr);
    if (text == nullptr) raise_current();
    std::string e_form(text);
    PyMem_Free(text);
    size_t e = e_form.find('e');
    std::string digits = e_form.substr(0, 1) + (e > 2 ? e_form.substr(2, e - 2) : "");
    return {digits, std::atoi(e_form.c_str() + e + 1)};
}

// The shortest digits that read back as |x|, and the decimal exponent of the first. Of two
// equally near candidates Tcl takes the one with an even last digit, where Python's repr may
// take the other.
inline std::pair<std::string, int> shortest_digits(double x) {
    char* repr = PyOS_double_to_string(std::fabs(x), 'r', 0, 0, nullptr);
    if (repr == nullptr) raise_current();
    std::string shortest(repr);
    PyMem_Free(repr);
    if (x == 0) return {"0", 0};
    // The number of significant digits of the shortest form.
    size_t lead = shortest.find_first_not_of("0.");
    size_t stop = shortest.find('e');
    size_t count = 0;
    for (size_t i = lead; i < std::min(stop, shortest.size()); ++i)
        count += shortest[i] >= '0' && shortest[i] <= '9';
    auto [digits, exponent] = e_digits(x, int(count) - 1);
    auto [midpoint, mid_exponent] = e_digits(x, int(count));
    if (midpoint.back() == '5') {
        auto [exact, exact_exponent] = e_digits(x, 800);
        if (exact_exponent == mid_exponent &&
            exact.find_first_not_of('0', midpoint.size()) == std::string::npos &&
            exact.compare(0, midpoint.size(), midpoint) == 0) {
            std::string lower = midpoint.substr(0, midpoint.size() - 1);
            int lower_exponent = mid_exponent;
            if ((lower.back() - '0') % 2 == 0) return {lower, lower_exponent};
            std::string upper = lower;
            size_t i = upper.size();
            while (i > 0 && upper[i - 1] == '9')
                upper[--i] = '0';
            if (i == 0) return {"1", lower_exponent + 1};
            ++upper[i - 1];
            return {upper, lower_exponent};
        }
    }
    return {digits, exponent};
}

// The text Tcl writes for a double: the shortest digits that read back as the same value, in
// fixed notation for decimal exponents -4..16 (always with a fraction) and in exponential
// notation otherwise, with an exponent of as few digits as it takes; Inf and NaN by name.
inline std::string double_text(double x) {
    if (std::isinf(x)) return x < 0 ? "-Inf" : "Inf";
    if (std::isnan(x)) {
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        std::string text = (bits >> 63) ? "-NaN" : "NaN";
        bits &= (uint64_t(1) << 51) - 1;
        if (bits) {
            char hex[24];
            std::snprintf(hex, sizeof hex, "(%llx)", static_cast<unsigned long long>(bits));
            text += hex;
        }
        return text;
    }
    std::string text = std::signbit(x) ? "-" : "";
    auto [digits, exponent] = shortest_digits(x);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    if (exponent < -4 || exponent > 16) {
        text += digits[0];
        if (digits.size() > 1) {
            // Appended in place: `"." + digits.substr(1)` trips a false -Wrestrict in GCC 12.
            text += '.';
            text.append(digits, 1);
        }
        char tail[16];
        std::snprintf(tail, sizeof tail, "e%+d", exponent);
        return text + tail;
    }
    if (exponent < 0) return text + "0." + std::string(size_t(-exponent - 1), '0') + digits;
    size_t integer_digits = size_t(exponent) + 1;
    if (digits.size() <= integer_digits)
        return text + digits + std::string(integer_digits - digits.size(), '0') + ".0";
    return text + digits.substr(0, integer_digits) + "." + digits.substr(integer_digits);
}

// The string of one item of a tuple from _tkinter, or an empty Ref for an object _tkinter never
// gives (such an item is left as it is).
inline Ref element_text(PyObject* item, PyTypeObject* tcl_obj_type);

// The list text of a nested tuple, or an empty Ref when an item is of no type _tkinter gives.
inline Ref list_text(PyObject* items, PyTypeObject* tcl_obj_type) {
    RecursionGuard guard(" while reading a Tcl list");
    Py_ssize_t n = PyTuple_GET_SIZE(items);
    if (n == 1 && PyUnicode_CheckExact(PyTuple_GET_ITEM(items, 0))) {
        // The most common nesting: a word that Tcl shimmered into a one-element list.
        ListWriter out;
        out.add(PyTuple_GET_ITEM(items, 0));
        return out.finish();
    }
    std::vector<Ref> texts;
    texts.reserve(size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref text = element_text(PyTuple_GET_ITEM(items, i), tcl_obj_type);
        if (!text) return Ref();
        texts.push_back(std::move(text));
    }
    ListWriter out;
    for (const Ref& text : texts)
        out.add(text);
    return out.finish();
}

inline Ref element_text(PyObject* item, PyTypeObject* tcl_obj_type) {
    if (PyUnicode_Check(item)) return Ref::borrow(item);
    if (PyTuple_Check(item)) return list_text(item, tcl_obj_type);
    // _tkinter gives a bool only for a boolean-typed object, which Tcl makes only by reading a
    // word such as "true" or "off" as a boolean; the word itself is lost, "true" is the common one.
    if (PyBool_Check(item)) return from_utf8(item == Py_True ? "true" : "false");
    if (PyLong_Check(item)) return own(PyLong_Type.tp_repr(item));
    if (PyFloat_Check(item)) return from_utf8(double_text(PyFloat_AS_DOUBLE(item)).c_str());
    if (PyBytes_Check(item))
        return own(
            PyUnicode_DecodeLatin1(PyBytes_AS_STRING(item), PyBytes_GET_SIZE(item), nullptr));
    if (Py_TYPE(item) == tcl_obj_type) return str(item);
    return Ref();
}

// The tuple `items` with every item that _tkinter gives as something else than a str replaced
// by its string; the tuple itself when all are str already.
inline Ref element_texts(PyObject* items, PyTypeObject* tcl_obj_type) {
    Py_ssize_t n = PyTuple_GET_SIZE(items);
    Py_ssize_t i = 0;
    while (i < n && PyUnicode_CheckExact(PyTuple_GET_ITEM(items, i)))
        ++i;
    if (i == n) return Ref::borrow(items);
    Ref result = own(PyTuple_New(n));
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* item = PyTuple_GET_ITEM(items, j);
        Ref text = j < i ? Ref::borrow(item) : element_text(item, tcl_obj_type);
        if (!text) text = Ref::borrow(item);
        PyTuple_SET_ITEM(result.get(), j, text.release());
    }
    return result;
}

}  // namespace tarvik::tcl
