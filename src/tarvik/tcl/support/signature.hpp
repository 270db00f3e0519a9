// Parameter tables read from a function's text signature, and argument parsing against them.
//
// The text signature that `inspect.signature` shows ("(self, name, index=None, *args)") is also
// the table that calls are parsed with, so the two can never disagree. Arguments are accepted by
// position or by keyword, and mistakes raise TypeError with Python's own wording.
#pragma once

#include "errors.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

struct Parameter {
    Ref name;           // interned
    Ref default_value;  // empty with `required` false: an `...` default the body supplies itself
    bool required = false;
    bool keyword_only = false;
    bool positional_only = false;  // before a `/`: a keyword of the same name goes to **kwargs

    // A default the body works out itself, which the signature shows as `...` (Ellipsis).
    bool has_own_default() const { return !required && !default_value; }
};

struct ParameterTable {
    std::vector<Parameter> parameters;
    size_t positional = 0;  // leading positional-or-keyword parameters
    bool varargs = false;
    bool varkw = false;
    bool own_defaults = false;  // a parameter has an `...` default
};

namespace detail {

inline std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

// Splits "a, b='x, y', c" at the commas outside quotes.
inline std::vector<std::string_view> split_parameters(std::string_view s) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    char quote = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == '\\')
                ++i;
            else if (c == quote)
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == ',') {
            parts.push_back(trim(s.substr(start, i - start)));
            start = i + 1;
        }
    }
    std::string_view last = trim(s.substr(start));
    if (!last.empty()) parts.push_back(last);
    return parts;
}

[[noreturn]] inline void bad_signature(std::string_view text) {
    raise_format(PyExc_SystemError, "invalid text signature: %.*s", int(text.size()), text.data());
}

// The literal defaults a text signature may hold. `...` stands for a default that the body works
// out itself (such as a private sentinel) and is returned as an empty Ref.
inline Ref parse_default(std::string_view text) {
    if (text == "...") return Ref();
    if (text == "None") return none();
    if (text == "True") return boolean(true);
    if (text == "False") return boolean(false);
    if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') &&
        text.back() == text.front()) {
        std::string value;
        for (size_t i = 1; i + 1 < text.size(); ++i) {
            if (text[i] == '\\') ++i;
            value += text[i];
        }
        return own(PyUnicode_FromStringAndSize(value.data(), Py_ssize_t(value.size())));
    }
    std::string digits(text);
    char* end = nullptr;
    long long number = std::strtoll(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0') bad_signature(text);
    return own(PyLong_FromLongLong(number));
}

}  // namespace detail

inline ParameterTable parse_signature(std::string_view text) {
    ParameterTable table;
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') detail::bad_signature(text);
    bool keyword_only = false;
    for (std::string_view part : detail::split_parameters(text.substr(1, text.size() - 2))) {
        if (part == "*") {
            keyword_only = true;
        } else if (part.starts_with("**")) {
            table.varkw = true;
        } else if (part.starts_with("*")) {
            table.varargs = true;
            keyword_only = true;
        } else if (part == "/") {
            for (Parameter& earlier : table.parameters)
                earlier.positional_only = true;
        } else {
            Parameter p;
            size_t eq = part.find('=');
            std::string name(detail::trim(part.substr(0, eq)));
            p.name = intern(name.c_str());
            p.keyword_only = keyword_only;
            if (eq == std::string_view::npos)
                p.required = true;
            else
                p.default_value = detail::parse_default(detail::trim(part.substr(eq + 1)));
            if (!keyword_only) ++table.positional;
            table.own_defaults = table.own_defaults || p.has_own_default();
            table.parameters.push_back(std::move(p));
        }
    }
    return table;
}

// The parsed arguments of one call. `named` holds one borrowed reference per parameter of the
// table, in order, with the defaults filled in (NULL for an `...` default not given).
template <size_t N>
struct Arguments {
    std::array<PyObject*, N> named{};
    PyObject* const* rest = nullptr;  // *args beyond the named positional parameters
    Py_ssize_t rest_count = 0;
    Ref kwargs;  // **kwargs, in call order; empty when no extra keyword was given
};

namespace detail {

inline const char* plural(Py_ssize_t n) {
    return n == 1 ? "" : "s";
}

[[noreturn]] inline void too_many_positional(PyObject* qualname, const ParameterTable& table,
                                             Py_ssize_t given) {
    size_t required = 0;
    for (size_t i = 0; i < table.positional; ++i)
        required += table.parameters[i].required;
    const char* were = given == 1 ? "was" : "were";
    if (required == table.positional)
        raise_format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                     qualname, Py_ssize_t(table.positional), plural(Py_ssize_t(table.positional)),
                     given, were);
    raise_format(PyExc_TypeError,
                 "%U() takes from %zd to %zd positional arguments but %zd %s given", qualname,
                 Py_ssize_t(required), Py_ssize_t(table.positional), given, were);
}

// "missing 2 required positional arguments: 'a' and 'b'", as Python words it.
[[noreturn]] inline void missing(PyObject* qualname, const std::vector<PyObject*>& names,
                                 const char* kind) {
    Ref listing = own(PyUnicode_FromString(""));
    for (size_t i = 0; i < names.size(); ++i) {
        const char* separator = i == 0                 ? ""
                                : i + 1 < names.size() ? ", "
                                : names.size() == 2    ? " and "
                                                       : ", and ";
        listing = own(PyUnicode_FromFormat("%U%s'%U'", listing.get(), separator, names[i]));
    }
    raise_format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", qualname,
                 Py_ssize_t(names.size()), kind, plural(Py_ssize_t(names.size())), listing.get());
}

inline bool same_name(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_Check(a) && PyUnicode_Compare(a, b) == 0);
}

}  // namespace detail

// The table holds N parameters: a function is only made when its body's count and its text
// signature's agree.
template <size_t N>
Arguments<N> parse_arguments(const ParameterTable& table, PyObject* qualname, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<N> out;
    Py_ssize_t positional = Py_ssize_t(table.positional);
    if (nargs > positional) {
        if (!table.varargs) detail::too_many_positional(qualname, table, nargs);
        out.rest = args + positional;
        out.rest_count = nargs - positional;
    }
    for (Py_ssize_t i = 0; i < std::min(nargs, positional); ++i)
        out.named[i] = args[i];

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        size_t j = 0;
        while (j < N && !detail::same_name(key, table.parameters[j].name))
            ++j;
        if (j < N && table.parameters[j].positional_only && !table.varkw)
            raise_format(PyExc_TypeError,
                         "%U() got some positional-only arguments passed as keyword arguments: "
                         "'%U'",
                         qualname, key);
        if (j < N && !table.parameters[j].positional_only) {
            if (out.named[j])
                raise_format(PyExc_TypeError, "%U() got multiple values for argument '%U'",
                             qualname, key);
            out.named[j] = value;
        } else if (table.varkw) {
            if (!out.kwargs) out.kwargs = new_dict();
            set_item(out.kwargs, key, value);
        } else {
            raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", qualname,
                         key);
        }
    }

    std::vector<PyObject*> missing_positional, missing_keyword;
    for (size_t j = 0; j < N; ++j) {
        const Parameter& p = table.parameters[j];
        // What inspect.signature shows as the default is accepted as leaving it out.
        if (out.named[j] == Py_Ellipsis && p.has_own_default()) out.named[j] = nullptr;
        if (out.named[j]) continue;
        if (p.required)
            (p.keyword_only ? missing_keyword : missing_positional).push_back(p.name);
        else
            out.named[j] = p.default_value.get();
    }
    if (!missing_positional.empty()) detail::missing(qualname, missing_positional, "positional");
    if (!missing_keyword.empty()) detail::missing(qualname, missing_keyword, "keyword-only");
    return out;
}

}  // namespace tarvik
