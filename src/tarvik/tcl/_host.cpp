// tarvik.tcl._host: native helpers of the host layer (the package module tarvik.tcl and
// tarvik.utils), for the work it does on every Tcl call: splitting Tcl lists, casting results and
// reading the clock of the call history.
#include "support/casts.hpp"
#include "support/deferred.hpp"
#include "support/function.hpp"
#include "support/tcl_elements.hpp"
#include "support/tcl_list.hpp"

#include <datetime.h>

#include <cerrno>
#include <ctime>

namespace tarvik {
namespace {

// A local time broken down to the second, as datetime keeps it (fold = 1 for the second of two
// readings of the same wall-clock time, after the clocks went back).
struct LocalTime {
    int year, month, day, hour, minute, second, fold;
};

// Interned names, and the words of Tcl's own list reading.
struct Names : InternedNames {
    const Ref tk = name("tk");
    const Ref call = name("call");
    const Ref splitlist = name("splitlist");
    const Ref default_interpreter = name("default_interpreter");
    const Ref package_name = name("tarvik.tcl");
    const Ref w_lrange = name("lrange");
    const Ref w_zero = name("0");
    const Ref w_end = name("end");
    const Ref tcl_result = name("_tcl_result");
};

struct State : ModuleState {
    PyDateTime_CAPI* datetime_api;  // datetime's C interface, which lives as long as datetime
    Names name;
    Ref Tcl_Obj;  // empty where this Python has no _tkinter: nothing is a Tcl object there
    Ref TclError;

    auto owned() { return std::array{&Tcl_Obj, &TclError}; }

    // The local time of the second that now() last read: it changes only when the second does, and
    // converting it is what makes datetime.now() dear.
    time_t cached_second;
    bool cached = false;
    LocalTime cached_time;

    void init(PyObject* module);
};

State& state_of(const Call& c) {
    return c.state<State>();
}

// ---------------------------------------------------------------------------------------------
// Tcl lists

Ref host_splitlist(const Call&, Named<1> named) {
    PyObject* text = named[0];
    if (!PyUnicode_Check(text))
        raise_format(PyExc_TypeError, "splitlist() argument must be str, not %.200s",
                     Py_TYPE(text)->tp_name);
    std::vector<Ref> items;
    if (tcl::split_list(text, items) != tcl::Split::OK) return none();
    return tuple_taking(items);
}

constexpr FunctionDef splitlist_def{
    "splitlist", invoke<host_splitlist>, "(string)",
    "Split a str into the elements of the Tcl list it holds, as Tcl itself would.\n\n"
    "Returns a tuple of str, or None when the text is left to the interpreter: a malformed\n"
    "list (so that the error is Tcl's own) or, outside braces, a backslash sequence whose\n"
    "value lies outside the Basic Multilingual Plane or among the surrogates."};

// A command's words as the Tcl list a remote runs, in one pass, when every word is a str (as
// quick calls send them): the commonest payload of a Tcl in another process.
Ref host_words_text(const Call&, Named<1> named) {
    PyObject* words = named[0];
    if (!PyTuple_CheckExact(words)) return none();
    Py_ssize_t count = PyTuple_GET_SIZE(words);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(words, i))) return none();
    tcl::ListWriter out;
    for (Py_ssize_t i = 0; i < count; ++i)
        out.add(PyTuple_GET_ITEM(words, i));
    return out.finish();
}

constexpr FunctionDef words_text_def{
    "words_text", invoke<host_words_text>, "(words)",
    "The canonical Tcl list whose elements are the words, when words is a tuple of str;\n"
    "None for anything else (whose words the caller converts first)."};

// The interpreter that reads what the native reader leaves to Tcl: the host, or the package's
// default interpreter when there is none.
Ref reading_host(const State& st, PyObject* host) {
    if (host != Py_None) return Ref::borrow(host);
    return call_method(import_cached(st.name.package_name), st.name.default_interpreter);
}

// Tcl's own reading of `value` (a str or Tcl object, given to Tcl as one word, so any character
// travels, NUL too); a malformed list raises Tcl's own TclError.
Ref split_by_tcl(const State& st, PyObject* host, PyObject* value) {
    Ref tk = getattr(reading_host(st, host), st.name.tk);
    Ref items =
        call_method(tk, st.name.call, st.name.w_lrange, value, st.name.w_zero, st.name.w_end);
    if (!PyTuple_Check(items)) {
        // An empty list comes back as its empty string.
        if (PyUnicode_Check(items) && PyUnicode_GET_LENGTH(items) == 0) return own(PyTuple_New(0));
        items = call_method(tk, st.name.splitlist, items.get());
    }
    return tcl::element_texts(items, as_type(st.Tcl_Obj));
}

// What the native reader leaves to Tcl, where there is no Tcl to ask: the package's default
// interpreter needs tkinter, and a Tcl in another process reads its own lists. A malformed list is
// the TclError that Tcl would raise; an escape whose character depends on Tcl's build says so.
[[noreturn]] void unreadable_without_tcl(const State& st, tcl::Split outcome, PyObject* text) {
    constexpr Py_ssize_t shown = 80;
    Ref start = own(PyUnicode_Substring(text, 0, shown));
    const char* more = PyUnicode_GET_LENGTH(text) > shown ? "..." : "";
    if (outcome == tcl::Split::MALFORMED)
        raise_format(st.TclError, "malformed Tcl list %R%s", start.get(), more);
    raise_format(st.TclError,
                 "the Tcl list %R%s holds a backslash escape of a character beyond the Basic "
                 "Multilingual Plane, which only a Tcl interpreter reads, and this Python has no "
                 "tkinter to run one: read it with the cast_list of a TclProcess",
                 start.get(), more);
}

Ref cast_list(const State& st, PyObject* host, PyObject* result) {
    if (PyTuple_Check(result)) return tcl::element_texts(result, as_type(st.Tcl_Obj));
    if (PyList_Check(result)) return own(PyList_AsTuple(result));
    Ref text = PyUnicode_Check(result) ? Ref::borrow(result)
               : PyBytes_Check(result) ? tcl::element_text(result, as_type(st.Tcl_Obj))
                                       : str(result);
    std::vector<Ref> items;
    tcl::Split outcome = tcl::split_list(text, items);
    if (outcome == tcl::Split::OK) return tuple_taking(items);
    if (host == Py_None && !st.Tcl_Obj) unreadable_without_tcl(st, outcome, text);
    return split_by_tcl(st, host, Py_TYPE(result) == as_type(st.Tcl_Obj) ? result : text.get());
}

// A result that comes later (a pipeline's Pending) is waited for: a cast needs the answer.
Ref answer_of(const State& st, PyObject* result) {
    if (!deferred::is_pending(result, st.name.tcl_result, as_type(st.Tcl_Obj)))
        return Ref::borrow(result);
    return call_method(result, st.name.tcl_result);
}

Ref host_cast_list(const Call& c, Named<2> named) {
    const State& st = state_of(c);
    auto [self, result] = named;
    Ref answer = answer_of(st, result);
    return cast_list(st, self, answer);
}

constexpr FunctionDef cast_list_def{
    "cast_list", invoke<host_cast_list>, "(self, result)",
    "The elements of a Tcl list as a tuple of str; \"\" gives ().\n\n"
    "A str (or the str() of any other object) is split natively by Tcl's list syntax; the\n"
    "interpreter self (the package's default interpreter when self is None) reads only what\n"
    "the native reader leaves to it, so a malformed list raises Tcl's own TclError (on a\n"
    "Python without tkinter, where self is None, a TclError of its own). A tuple, as\n"
    "_tkinter gives a Tcl list object, has each item made the string Tcl lists: a nested\n"
    "tuple its list text, a number its Tcl text, bytes one character per byte, a Tcl object\n"
    "its str(). A list is taken as the tuple of its items; a pipeline's Pending as its\n"
    "result, waited for."};

// ---------------------------------------------------------------------------------------------
// Results

Ref host_cast_any(const Call& c, Named<2> named) {
    auto [self, result] = named;
    Ref answer = answer_of(state_of(c), result);
    return casts::cast_any(answer);
}

constexpr FunctionDef cast_any_def{
    "cast_any", invoke<host_cast_any>, "(self, result)",
    "A Tcl result as a natural Python value: str, int, float, bool and bytes stay as they\n"
    "are, a tuple is cast element by element, a pipeline's Pending is its result (waited\n"
    "for), any other object (a Tcl object) becomes its str(). Bound as the method cast_any\n"
    "of the host interpreter; self is not used."};

// ---------------------------------------------------------------------------------------------
// Clock

[[noreturn]] void raise_time_error() {
    if (errno == 0) errno = EOVERFLOW;
    PyErr_SetFromErrno(PyExc_OverflowError);
    raise_current();
}

std::tm local_fields(time_t t) {
    std::tm fields{};
    errno = 0;
    if (localtime_r(&t, &fields) == nullptr) raise_time_error();
    return fields;
}

long utc_offset(time_t t) {
    return local_fields(t).tm_gmtoff;
}

// The local time of `t`, with the fold that datetime.fromtimestamp() gives it: a time is the
// second of two readings when the offset dropped (clocks went back) within the last day and the
// earlier offset maps an earlier instant onto the same wall-clock time.
LocalTime local_time(time_t t) {
    std::tm fields = local_fields(t);
    constexpr time_t day = 24 * 60 * 60;
    int fold = 0;
    long transition = fields.tm_gmtoff - utc_offset(t - day);
    if (transition < 0 && utc_offset(t + transition) + transition == fields.tm_gmtoff) fold = 1;
    // A leap second shows as the last ordinary second, as datetime shows it.
    int second = fields.tm_sec > 59 ? 59 : fields.tm_sec;
    return {fields.tm_year + 1900,
            fields.tm_mon + 1,
            fields.tm_mday,
            fields.tm_hour,
            fields.tm_min,
            second,
            fold};
}

Ref make_datetime(const State& st, const LocalTime& time, int microsecond) {
    const PyDateTime_CAPI* api = st.datetime_api;
    return own(api->DateTime_FromDateAndTimeAndFold(time.year, time.month, time.day, time.hour,
                                                    time.minute, time.second, microsecond, Py_None,
                                                    time.fold, api->DateTimeType));
}

Ref host_now(const Call& c, Named<0>) {
    State& st = state_of(c);
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) raise_time_error();
    if (!st.cached || now.tv_sec != st.cached_second) {
        st.cached_time = local_time(now.tv_sec);
        st.cached_second = now.tv_sec;
        st.cached = true;
    }
    return make_datetime(st, st.cached_time, int(now.tv_nsec / 1000));
}

constexpr FunctionDef now_def{
    "now", invoke<host_now>, "()",
    "The current local time as a naive datetime, as datetime.now() gives it.\n\n"
    "The local time of the current second is converted once and kept, so a reading costs\n"
    "little more than the clock itself."};

Ref host_local_datetime(const Call& c, Named<2> named) {
    auto [seconds, microsecond] = named;
    long long t = PyLong_AsLongLong(seconds);
    if (t == -1 && PyErr_Occurred()) raise_current();
    long us = PyLong_AsLong(microsecond);
    if (us == -1 && PyErr_Occurred()) raise_current();
    if (us < 0 || us > 999999) raise(PyExc_ValueError, "microsecond must be in 0..999999");
    if (time_t(t) != t) raise(PyExc_OverflowError, "timestamp out of range for platform time_t");
    return make_datetime(state_of(c), local_time(time_t(t)), int(us));
}

constexpr FunctionDef local_datetime_def{
    "local_datetime", invoke<host_local_datetime>, "(seconds, microsecond=0)",
    "The naive local datetime of a POSIX time in whole seconds plus microsecond, with the\n"
    "fold that datetime.fromtimestamp() gives it: the conversion that now() makes."};

// ---------------------------------------------------------------------------------------------
// Module

void State::init(PyObject* module) {
    datetime_api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (datetime_api == nullptr) raise_current();
    Tcl_Obj = tkinter_name("Tcl_Obj");
    TclError = tkinter_name("TclError");
    add_function(module, splitlist_def);
    add_function(module, words_text_def);
    add_function(module, cast_list_def);
    add_function(module, cast_any_def);
    add_function(module, now_def);
    add_function(module, local_datetime_def);
}

}  // namespace
}  // namespace tarvik

PyMODINIT_FUNC PyInit__host() {
    return tarvik::ModuleDefinition<tarvik::State>::init(
        "tarvik.tcl._host",
        "Native helpers of the host layer: Tcl lists split by Tcl's own list syntax, the cast\n"
        "of quick-call results, and the clock of the call history.");
}
