// What the call history offers the quick calls in C, through a capsule of the history module:
// appending the words of one call straight from the caller's array, so that a quick call makes
// no list for a history that would neither record nor log it.
#pragma once

#include <Python.h>

#include <cstddef>

namespace tarvik::history_api {

inline constexpr const char* capsule_name = "tarvik.tcl.history.__c_api__";

struct Api {
    // sizeof(Api) as the history module was built: a reader checks that it covers every field it
    // uses, so a history built with an older layout is refused at import instead of misread.
    size_t size;
    // History.append as the class defines it: `append_words` stands only for a history whose
    // append is this function.
    PyObject* append;
    // What `append_words` is given first: the history module's own state.
    void* context;
    // history.append(list(words[:count])), decided and done in one call: the debug line when the
    // logger would emit it, and the entry unless the history is disabled. 0, or -1 with an
    // exception set.
    int (*append_words)(void* context, PyObject* history, PyObject* const* words, Py_ssize_t count);
};

// The capsule's struct, checked to be one this build can read.
inline const Api* from_capsule(PyObject* capsule) {
    auto* api = static_cast<const Api*>(PyCapsule_GetPointer(capsule, capsule_name));
    if (api == nullptr) return nullptr;
    if (api->size < sizeof(Api)) {
        PyErr_SetString(PyExc_ImportError, "the history module's C interface is too old");
        return nullptr;
    }
    return api;
}

}  // namespace tarvik::history_api
