// What the call history offers the quick calls in C, through a capsule of the history module: a
// quick call asks whether the history would do anything with a call before it builds the list
// of words to append.
#pragma once

#include <Python.h>

namespace tarvik::history_api {

inline constexpr const char* capsule_name = "tarvik.tcl.history.__c_api__";

struct Api {
    // History.append as the class defines it: `ignores_calls` speaks only for a history whose
    // append is this function.
    PyObject* append;
    // What `ignores_calls` is given first.
    void* context;
    // 1 when history.append(words), for a list of words, would neither record nor log; 0 when it
    // would; -1 with an exception set.
    int (*ignores_calls)(void* context, PyObject* history);
};

}  // namespace tarvik::history_api
