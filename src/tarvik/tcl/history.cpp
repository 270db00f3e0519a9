// tarvik.tcl.history: a bounded, timestamped record of the Tcl calls a program makes, with named
// markers that bracket parts of a run.
//
// `History.append` runs once per Tcl call, so it avoids what a Python version pays for: the debug
// message is formatted only when the logger would emit it, the logger's answer is read from its own
// cache, and the text of a word list is written straight into one string. `Entry` is a native
// class (C fields, no instance dict write per entry): one is made, and once the record is full one
// is freed, on every recorded call.
#include "support/native_classes.hpp"
#include "support/tcl_script.hpp"
#include "support/unicode.hpp"

#include <algorithm>

namespace tarvik {
namespace {

// Interned attribute and method names, and the texts the module writes.
struct Names : InternedNames {
    const Ref get_time = name("get_time");
    const Ref timestamp = name("timestamp");
    const Ref api = name("api");
    const Ref history = name("__history__");
    const Ref markers = name("__markers__");
    const Ref active_markers = name("__activeMarkers__");
    const Ref enabled = name("enabled");
    const Ref maxlen = name("maxlen");
    const Ref append = name("append");
    const Ref clear = name("clear");
    const Ref remove = name("remove");
    const Ref debug = name("debug");
    const Ref is_enabled_for = name("isEnabledFor");
    const Ref get_logger = name("getLogger");
    const Ref log = name("log");
    const Ref disabled = name("disabled");
    const Ref cache = name("_cache");
    const Ref enable = name("enable");
    const Ref strftime = name("strftime");
    const Ref str = name("__str__");
    const Ref compile = name("compile");
    const Ref search = name("search");
    const Ref words = name("words");
    const Ref script = name("script");
    const Ref open = name("open");
    const Ref write = name("write");
    const Ref close = name("close");
    const Ref w_eval = name("::eval");
    const Ref write_mode = name("w");
    const Ref utf_8 = name("utf-8");
    const Ref newline = name("\n");
    const Ref kw_encoding_newline = keyword_names({"encoding", "newline"});
    const Ref kw_maxlen = keyword_names({"maxlen"});  // deque(maxlen=...)

    const Ref call_format = from_utf8("%% %s");  // the debug line of one call
    const Ref time_format = from_utf8("%Y-%m-%dT%H:%M:%S.%f");
    const Ref enabled_message = from_utf8("TclHistory is enabled.");
    const Ref disabled_message = from_utf8("TclHistory is disabled.");
};

struct State : ModuleState {
    Ref re;
    Ref io;
    Ref deque;
    Ref Entry;
    Ref History;
    Ref debug_level;  // logging.DEBUG
    Ref Logger;       // logging.Logger

    Names name;

    auto owned() { return std::array{&re, &io, &deque, &Entry, &History, &debug_level, &Logger}; }

    void init(PyObject* module);
    void import_names(PyObject* module);
};

State& state_of(const Call& c) {
    return c.state<State>();
}

constexpr const char* getstate_doc =
    "Return (instance __dict__ or None, {field: value}), the state that copy and pickle\n"
    "restore.";

// ---------------------------------------------------------------------------------------------
// Entry

// The words of a call given as words, kept for the journal: exact str (which refer to nothing,
// so the collector need not see them), in an array of the entry's own. A tuple per entry would
// cost a recorded call more than a tenth of its time, most of it in freeing the tuple again.
// No array (what a new instance's zeroed memory holds) stands for a call given as a text.
struct Words {
    PyObject** items = nullptr;
    Py_ssize_t count = 0;

    void release() noexcept {
        for (Py_ssize_t i = 0; i < count; ++i)
            Py_DECREF(items[i]);
        PyMem_Free(items);
        items = nullptr;
        count = 0;
    }
};

struct EntryObject {
    PyObject_HEAD PyObject* timestamp;
    PyObject* api;
    PyObject* dict;
    PyObject* weakrefs;
    Words words;

    auto owned() { return std::array{&timestamp, &api, &dict}; }
};

using EntryInstance = NativeInstance<EntryObject>;

void Entry_dealloc(PyObject* self) {
    reinterpret_cast<EntryObject*>(self)->words.release();
    EntryInstance::dealloc(self);
}

bool has_space(PyObject* word) {
    if (PyUnicode_KIND(word) == PyUnicode_1BYTE_KIND)
        return std::memchr(PyUnicode_1BYTE_DATA(word), ' ', size_t(PyUnicode_GET_LENGTH(word)));
    Py_ssize_t at = PyUnicode_FindChar(word, ' ', 0, PyUnicode_GET_LENGTH(word), 1);
    if (at == -2) raise_current();
    return at >= 0;
}

// The words of a command as one line: words holding a space are wrapped in braces so that the line
// still shows where each word ends. Nothing else is quoted: the line is for people to read.
Ref join_words(PyObject* const* items, Py_ssize_t count) {
    // No Python code runs from here on, so the items stay as they are while they are copied.
    Py_ssize_t length = std::max<Py_ssize_t>(count - 1, 0);
    Py_ssize_t braced = 0;  // most calls have no word with a space: then none is looked at again
    Py_UCS4 maxchar = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* word = items[i];
        if (!PyUnicode_Check(word))
            raise_format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         i, Py_TYPE(word)->tp_name);
        bool braces = has_space(word);
        braced += braces;
        length += PyUnicode_GET_LENGTH(word) + 2 * braces;
        maxchar = std::max(maxchar, max_char_bound(word));
    }
    StrBuilder text(length, maxchar);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* word = items[i];
        bool braces = braced && has_space(word);
        if (i > 0) text.put(' ');
        if (braces) text.put('{');
        text.append(word);
        if (braces) text.put('}');
    }
    return text.finish();
}

// A copy of `count` words (str, as join_words has checked), each as an exact str.
Words copy_words(PyObject* const* words, Py_ssize_t count) {
    Words copy;
    copy.items = PyMem_New(PyObject*, size_t(std::max<Py_ssize_t>(count, 1)));
    if (copy.items == nullptr) throw std::bad_alloc();
    for (; copy.count < count; ++copy.count) {
        PyObject* word = words[copy.count];
        word = PyUnicode_CheckExact(word) ? Py_NewRef(word) : PyUnicode_FromObject(word);
        if (word == nullptr) {
            copy.release();
            raise_current();
        }
        copy.items[copy.count] = word;
    }
    return copy;
}

// Entry.__init__ proper, for a call given as its text (`count` -1) or as words. The clock is the
// module's `get_time` as it is at the time of the call, so a program or a test that substitutes
// its own clock is obeyed. The words are copied before the clock runs: it could change a list
// that they are the items of.
void fill_entry(State& st, PyObject* module, EntryObject* entry, Ref&& text, PyObject* const* words,
                Py_ssize_t count) {
    Words copy = count < 0 ? Words{} : copy_words(words, count);
    Ref now;
    try {
        now = call(module_global(module, st.name.get_time));
    } catch (const PythonError&) {
        copy.release();
        throw;
    }
    Py_XSETREF(entry->timestamp, now.release());
    Py_XSETREF(entry->api, text.release());
    entry->words.release();
    entry->words = copy;
}

// The same for a call given as a string, or as any sequence of words.
void fill_entry_from(State& st, PyObject* module, EntryObject* entry, PyObject* api) {
    if (PyUnicode_Check(api)) return fill_entry(st, module, entry, Ref::borrow(api), nullptr, -1);
    Ref sequence = PyList_CheckExact(api) || PyTuple_CheckExact(api) ? Ref::borrow(api)
                                                                     : own(PySequence_List(api));
    PyObject* const* items = PySequence_Fast_ITEMS(sequence.get());
    Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    fill_entry(st, module, entry, join_words(items, count), items, count);
}

Ref Entry_init(const Call& c, Named<2> named) {
    State& st = state_of(c);
    auto [self, api] = named;
    fill_entry_from(st, c.function->module, EntryInstance::from(as_type(st.Entry), self), api);
    return none();
}

constexpr FunctionDef Entry_init_def{"__init__", invoke<Entry_init>, "(self, api)",
                                     "Record api with the current time."};

Ref Entry_str(const Call& c, Named<1> named) {
    State& st = state_of(c);
    PyObject* self = named[0];
    EntryObject* entry = EntryInstance::from(as_type(st.Entry), self);
    Ref stamp = call_method(field(self, entry->timestamp, "timestamp").get(), st.name.strftime,
                            st.name.time_format);
    Ref api = field(self, entry->api, "api");
    return own(PyUnicode_FromFormat("%S: %S", stamp.get(), api.get()));
}

constexpr FunctionDef Entry_str_def{"__str__", invoke<Entry_str>, "(self)",
                                    "Return 'timestamp: api', the time with microseconds."};

Ref Entry_repr(const Call& c, Named<1> named) {
    State& st = state_of(c);
    PyObject* self = named[0];
    Ref text = call_method(self, st.name.str);
    Ref address = own(PyNumber_ToBase(own(PyLong_FromVoidPtr(self)).get(), 16));
    return own(PyUnicode_FromFormat("<Entry '%S' at %S>", text.get(), address.get()));
}

constexpr FunctionDef Entry_repr_def{"__repr__", invoke<Entry_repr>, "(self)",
                                     "Return \"<Entry '...' at 0x...>\"."};

Ref words_of(const Words& words) {
    if (words.items == nullptr) return none();
    Ref result = own(PyTuple_New(words.count));
    for (Py_ssize_t i = 0; i < words.count; ++i)
        PyTuple_SET_ITEM(result.get(), i, Py_NewRef(words.items[i]));
    return result;
}

PyObject* Entry_get_words(PyObject* self, void*) {
    return guarded([&] { return words_of(reinterpret_cast<EntryObject*>(self)->words); });
}

// None (or deleting the attribute) makes the entry a call given as a text.
int Entry_set_words(PyObject* self, PyObject* value, void*) {
    return guarded_status([&] {
        auto* entry = reinterpret_cast<EntryObject*>(self);
        Words copy;
        if (value != nullptr && value != Py_None) {
            Ref sequence = own(PySequence_Fast(value, "words must be a sequence of str or None"));
            PyObject* const* items = PySequence_Fast_ITEMS(sequence.get());
            Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
            for (Py_ssize_t i = 0; i < count; ++i)
                if (!PyUnicode_Check(items[i]))
                    raise_format(PyExc_TypeError, "words must be str, not %.100s",
                                 Py_TYPE(items[i])->tp_name);
            copy = copy_words(items, count);
        }
        entry->words.release();
        entry->words = copy;
    });
}

Ref Entry_getstate(const Call& c, Named<1> named) {
    State& st = state_of(c);
    EntryObject* entry = EntryInstance::from(as_type(st.Entry), named[0]);
    Ref words = words_of(entry->words);
    return fields_state(entry->dict,
                        {{"timestamp", entry->timestamp}, {"api", entry->api}, {"words", words}});
}

constexpr FunctionDef Entry_getstate_def{"__getstate__", invoke<Entry_getstate>, "(self)",
                                         getstate_doc};

// ---------------------------------------------------------------------------------------------
// History

// Its records are C fields too: append reads them on every call, and as instance attributes each
// read would cost a generic lookup.
struct HistoryObject {
    PyObject_HEAD PyObject* history;  // __history__
    PyObject* markers;                // __markers__
    PyObject* active_markers;         // __activeMarkers__
    PyObject* enabled;
    PyObject* dict;
    PyObject* weakrefs;

    auto owned() { return std::array{&history, &markers, &active_markers, &enabled, &dict}; }
};

using HistoryInstance = NativeInstance<HistoryObject>;

HistoryObject* as_history(State& st, PyObject* self) {
    return HistoryInstance::from(as_type(st.History), self);
}

Ref general_record(HistoryObject* h) {
    return field(reinterpret_cast<PyObject*>(h), h->history, "__history__");
}

Ref marker_records(HistoryObject* h) {
    return field(reinterpret_cast<PyObject*>(h), h->markers, "__markers__");
}

Ref active_markers(HistoryObject* h) {
    return field(reinterpret_cast<PyObject*>(h), h->active_markers, "__activeMarkers__");
}

Ref new_record(State& st, PyObject* capacity) {
    PyObject* args[] = {nullptr, capacity};
    return own(
        PyObject_Vectorcall(st.deque, args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, st.name.kw_maxlen));
}

// The module's `log`, read at the time of the call as a Python function reads its module's
// globals, so that a logger a program or a test puts in its place is the one used.
Ref logger(const Call& c) {
    return module_global(c.function->module, state_of(c).name.log);
}

// A plain Logger's answer to isEnabledFor(DEBUG), read where that logger keeps it, or NULL where
// it must be asked: `disabled`, then the per-level cache in its __dict__, which logging empties
// whenever a level changes. Nothing is remembered here; the logger is the module's `log` of the
// moment. (Asking costs a Python call, a fifth of an append.)
PyObject* cached_debug_answer(State& st, PyObject* log) {
    if (Py_TYPE(log) != as_type(st.Logger)) return nullptr;
    Ref dict = Ref::steal_maybe(PyObject_GenericGetDict(log, nullptr));
    if (!dict) return nullptr;
    // Borrowed from dicts with str and int keys: no Python code runs between the lookups.
    PyObject* disabled = PyDict_GetItemWithError(dict, st.name.disabled);
    if (disabled == Py_True) return Py_False;
    if (disabled != Py_False) return nullptr;
    PyObject* cache = PyDict_GetItemWithError(dict, st.name.cache);
    if (cache == nullptr || !PyDict_CheckExact(cache)) return nullptr;
    PyObject* cached = PyDict_GetItemWithError(cache, st.debug_level);
    return cached && PyBool_Check(cached) ? cached : nullptr;
}

bool debug_enabled(State& st, Borrowed log) {
    if (PyObject* answer = cached_debug_answer(st, log)) return answer == Py_True;
    if (PyErr_Occurred()) raise_current();
    return is_true(call_method(log, st.name.is_enabled_for, st.debug_level));
}

void log_debug(State& st, Borrowed log, Borrowed message) {
    call_method(log, st.name.debug, message);
}

// The debug line "% <item>". A tuple item is the argument tuple of the `%` formatting, so one of
// other than one element fails here, before anything is recorded, whether the logger is enabled
// or not; otherwise the line is formatted only when the logger would emit it.
void log_call(const Call& c, State& st, PyObject* item) {
    if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) != 1)
        own(PyUnicode_Format(st.name.call_format, item));
    Ref log = logger(c);
    if (!debug_enabled(st, log)) return;
    log_debug(st, log, own(PyUnicode_Format(st.name.call_format, item)));
}

Ref History_init(const Call& c, Named<2> named) {
    State& st = state_of(c);
    auto [self, max_history] = named;
    HistoryObject* h = as_history(st, self);
    Ref record = new_record(st, max_history);
    Py_XSETREF(h->history, record.release());
    Py_XSETREF(h->markers, new_dict().release());
    Py_XSETREF(h->active_markers, new_list().release());
    call_method(self, st.name.enable);
    return none();
}

constexpr FunctionDef History_init_def{
    "__init__", invoke<History_init>, "(self, max_history=9999)",
    "Start an empty, enabled history whose records keep max_history entries."};

Ref set_enabled(const Call& c, PyObject* self, bool enabled) {
    State& st = state_of(c);
    HistoryObject* h = as_history(st, self);
    Py_XSETREF(h->enabled, boolean(enabled).release());
    log_debug(st, logger(c), enabled ? st.name.enabled_message : st.name.disabled_message);
    return none();
}

Ref History_enable(const Call& c, Named<1> named) {
    return set_enabled(c, named[0], true);
}

constexpr FunctionDef History_enable_def{"enable", invoke<History_enable>, "(self)",
                                         "Record the calls appended from now on."};

Ref History_disable(const Call& c, Named<1> named) {
    return set_enabled(c, named[0], false);
}

constexpr FunctionDef History_disable_def{"disable", invoke<History_disable>, "(self)",
                                          "Stop recording; append() still writes its debug line."};

void append_to(State& st, Borrowed record, PyObject* entry) {
    call_method(record, st.name.append, entry);
}

// Stores `entry` once and shares it: the general record and every active marker (once per
// activation) hold the same object.
void record(State& st, HistoryObject* h, PyObject* entry) {
    append_to(st, general_record(h), entry);
    Ref active = active_markers(h);
    if (PyList_CheckExact(active) && PyList_GET_SIZE(active.get()) == 0) return;
    if (!PyList_CheckExact(active)) active = own(PySequence_List(active));
    Ref markers = marker_records(h);
    // By index, re-reading the size: a marker's __eq__ or __hash__ may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(active.get()); ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(active.get(), i));
        append_to(st, own(PyObject_GetItem(markers, name)), entry);
    }
}

bool is_enabled(HistoryObject* h) {
    Ref enabled = field(reinterpret_cast<PyObject*>(h), h->enabled, "enabled");
    return enabled == Py_True || (enabled != Py_False && is_true(enabled));
}

// A new Entry of `item`, recorded in the general record and every active marker.
void record_call(State& st, PyObject* module, HistoryObject* h, PyObject* item) {
    Ref entry = allocate_instance(st.Entry);
    fill_entry_from(st, module, reinterpret_cast<EntryObject*>(entry.get()), item);
    record(st, h, entry);
}

Ref History_append(const Call& c, Named<2> named) {
    State& st = state_of(c);
    auto [self, item] = named;
    HistoryObject* h = as_history(st, self);
    log_call(c, st, item);
    if (is_enabled(h)) record_call(st, c.function->module, h, item);
    return none();
}

constexpr FunctionDef History_append_def{
    "append", invoke<History_append>, "(self, item)",
    "Log one call (a string, or a list of words) and, when enabled, record it in the\n"
    "general record and in every active marker."};

void clear_record(State& st, Borrowed record) {
    call_method(record, st.name.clear);
}

Ref History_clear(const Call& c, Named<3> named) {
    State& st = state_of(c);
    auto [self, marker, clear_all] = named;
    HistoryObject* h = as_history(st, self);
    if (is_true(clear_all)) {
        Ref records = own(PyMapping_Values(marker_records(h).get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.get()); ++i)
            clear_record(st, Ref::borrow(PyList_GET_ITEM(records.get(), i)));
        clear_record(st, general_record(h));
    } else if (marker != Py_None) {
        clear_record(st, own(PyObject_GetItem(marker_records(h).get(), marker)));
    } else {
        clear_record(st, general_record(h));
    }
    return none();
}

constexpr FunctionDef History_clear_def{
    "clear", invoke<History_clear>, "(self, marker=None, clear_all=False)",
    "Empty the general record, or the record of marker, or with clear_all every record.\n"
    "Markers stay, and stay active."};

// A marker's record gets the capacity that the general record has when the marker first starts.
Ref History_start_marker(const Call& c, Named<2> named) {
    State& st = state_of(c);
    auto [self, marker] = named;
    HistoryObject* h = as_history(st, self);
    Ref markers = marker_records(h);
    if (!check(PySequence_Contains(markers, marker))) {
        Ref capacity = getattr(general_record(h), st.name.maxlen);
        check(PyObject_SetItem(markers, marker, new_record(st, capacity).get()));
    }
    call_method(active_markers(h).get(), st.name.append, marker);
    return none();
}

constexpr FunctionDef History_start_marker_def{
    "start_marker", invoke<History_start_marker>, "(self, marker)",
    "Start (or start once more) recording the calls under the name marker."};

Ref History_end_marker(const Call& c, Named<2> named) {
    State& st = state_of(c);
    auto [self, marker] = named;
    call_method(active_markers(as_history(st, self)).get(), st.name.remove, marker);
    return none();
}

constexpr FunctionDef History_end_marker_def{
    "end_marker", invoke<History_end_marker>, "(self, marker)",
    "End one activation of marker; its record stays readable."};

// The last `kept` entries of a deque, oldest first, read from its end.
Ref read_from_end(Borrowed record, Py_ssize_t kept) {
    Ref backwards = own(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyReversed_Type), record));
    Ref entries = new_list(kept);
    for (Py_ssize_t i = kept - 1; i >= 0; --i) {
        PyObject* entry = PyIter_Next(backwards);
        if (entry == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_RuntimeError, "deque mutated during iteration");
            raise_current();
        }
        PyList_SET_ITEM(entries.get(), i, entry);
    }
    return entries;
}

// list(record)[-count:]. The record is a deque, which is cheap to read only from its ends: the
// few last entries that a filter usually asks for are read from the end, so that their cost does
// not grow with the record.
Ref last_entries(State& st, Borrowed record, PyObject* count) {
    Ref slice = own(PySlice_New(own(PyNumber_Negative(count)).get(), nullptr, nullptr));
    if (Py_TYPE(record.get()) == as_type(st.deque)) {
        Py_ssize_t start, stop, step;
        check(PySlice_Unpack(slice, &start, &stop, &step));
        Py_ssize_t length = check_size(PyObject_Size(record));
        PySlice_AdjustIndices(length, &start, &stop, step);
        Py_ssize_t kept = length - start;
        if (kept <= length / 2) return read_from_end(record, kept);
    }
    Ref entries = own(PySequence_List(record));
    return own(PyObject_GetItem(entries, slice));
}

// The record of a marker; one that was never started is an Exception "No such marker: ...".
Ref marker_record(HistoryObject* h, PyObject* marker) {
    Ref markers = marker_records(h);
    Ref record = Ref::steal_maybe(PyObject_GetItem(markers, marker));
    if (!record) {
        if (!error_matches(PyExc_KeyError)) raise_current();
        Ref caught = fetch_error();
        // The marker is formatted as one value, so a tuple names itself instead of being taken
        // for the arguments of the format.
        Ref message = while_handling(
            caught, [&] { return own(PyUnicode_FromFormat("No such marker: %S", marker)); });
        while_handling(caught, [&] { raise_exception(call(PyExc_Exception, message)); });
    }
    return record;
}

Ref marker_entries(State& st, HistoryObject* h, PyObject* marker, PyObject* count) {
    return last_entries(st, marker_record(h, marker), count);
}

// Keeps, in order, the entries whose text the pattern finds a match in.
Ref matching(State& st, PyObject* entries, PyObject* regex) {
    Ref pattern = call_method(st.re, st.name.compile, regex);
    Ref kept = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(entries, i));
        Ref match = call_method(pattern.get(), st.name.search, getattr(entry, st.name.api).get());
        if (is_true(match)) append(kept, entry);
    }
    return kept;
}

// The count is applied first: the result holds those of the last `count` entries that match.
Ref History_filter(const Call& c, Named<4> named) {
    State& st = state_of(c);
    auto [self, marker, count, regex] = named;
    HistoryObject* h = as_history(st, self);
    Ref entries = marker != Py_None ? marker_entries(st, h, marker, count)
                                    : last_entries(st, general_record(h), count);
    if (is_true(regex)) entries = matching(st, entries, regex);
    return entries;
}

constexpr FunctionDef History_filter_def{
    "filter", invoke<History_filter>, "(self, marker=None, count=20, regex=None)",
    "Return the last count entries (all of them for 0) of the general record or of\n"
    "marker, oldest first, keeping those whose text regex finds a match in."};

// ---------------------------------------------------------------------------------------------
// The journal: a record as a Tcl script that runs its calls again

Ref str_or_error(Ref value, const char* what) {
    if (!PyUnicode_Check(value))
        raise_format(PyExc_TypeError, "%s must be str, not %.100s", what,
                     Py_TYPE(value.get())->tp_name);
    return value;
}

// An entry as two lines: its time as a comment, then its call. A call recorded as words is
// those words; one recorded as a text runs through eval, so that a text that is not a complete
// command cannot take the lines after it along.
void write_entry(State& st, tcl::ScriptWriter& script, PyObject* entry) {
    Ref when =
        call_method(getattr(entry, st.name.timestamp).get(), st.name.strftime, st.name.time_format);
    str_or_error(when, "a timestamp's strftime()");
    Ref words = getattr_optional(entry, st.name.words);
    Ref sequence, text;
    if (words && words != Py_None)
        sequence = own(PySequence_Fast(words, "an entry's words must be a sequence"));
    else
        text = str_or_error(getattr(entry, st.name.api), "an entry's api");
    // No Python code runs from here on: the words are written as they are now.
    if (sequence)
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i)
            str_or_error(Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), i)),
                         "an entry's words");
    script.comment(when);
    if (sequence) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i)
            script.word(PySequence_Fast_GET_ITEM(sequence.get(), i), i == 0);
    } else {
        script.word(st.name.w_eval, true);
        script.word(text, false);
    }
    script.end_command();
}

Ref History_script(const Call& c, Named<2> named) {
    State& st = state_of(c);
    auto [self, marker] = named;
    HistoryObject* h = as_history(st, self);
    Ref record = marker == Py_None ? general_record(h) : marker_record(h, marker);
    // A copy: reading the entries runs their strftime, which must not meet a changing record.
    Ref entries = own(PySequence_List(record));
    tcl::ScriptWriter script;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i)
        write_entry(st, script, PyList_GET_ITEM(entries.get(), i));
    return script.finish();
}

constexpr FunctionDef History_script_def{
    "script", invoke<History_script>, "(self, marker=None)",
    "Return the general record, or the record of marker, as a Tcl script that runs its\n"
    "calls again, oldest first.\n\n"
    "Each call is one command line holding exactly the words that were sent, preceded by\n"
    "its time as a comment; a call recorded as a text runs through ::eval. The script is\n"
    "ASCII: characters outside printable ASCII are \\uXXXX escapes, so any Tcl reads the\n"
    "same words back, whatever its system encoding.\n\n"
    "    >>> journal = History()\n"
    "    >>> journal.append(['set', 'greeting', 'hello world'])\n"
    "    >>> print(journal.script(), end='')  # doctest: +ELLIPSIS\n"
    "    # ...\n"
    "    set greeting {hello world}"};

// The script is made first, so that a failure leaves an existing file as it was. The path must be
// one (open() would also take a file descriptor, and close it).
Ref History_save(const Call& c, Named<3> named) {
    State& st = state_of(c);
    auto [self, path, marker] = named;
    Ref file_path = own(PyOS_FSPath(path));
    Ref text = call_method(self, st.name.script, marker);
    Ref file = call_kw(getattr(st.io, st.name.open), st.name.kw_encoding_newline, file_path.get(),
                       st.name.write_mode, st.name.utf_8, st.name.newline);
    try {
        call_method(file, st.name.write, text.get());
    } catch (const PythonError&) {
        Ref error = fetch_error();
        while_handling(error, [&] { call_method(file, st.name.close); });
        raise_exception(std::move(error));
    }
    call_method(file, st.name.close);
    return none();
}

constexpr FunctionDef History_save_def{
    "save", invoke<History_save>, "(self, path, marker=None)",
    "Write script(marker) to the file path, a journal that Tcl's source runs again."};

Ref History_str(const Call& c, Named<1> named) {
    State& st = state_of(c);
    return str(general_record(as_history(st, named[0])));
}

constexpr FunctionDef History_str_def{"__str__", invoke<History_str>, "(self)",
                                      "Return str() of the general record."};

Ref History_repr(const Call& c, Named<1> named) {
    State& st = state_of(c);
    return own(PyObject_Repr(general_record(as_history(st, named[0])).get()));
}

constexpr FunctionDef History_repr_def{"__repr__", invoke<History_repr>, "(self)",
                                       "Return repr() of the general record."};

Ref History_getstate(const Call& c, Named<1> named) {
    State& st = state_of(c);
    HistoryObject* h = as_history(st, named[0]);
    return fields_state(h->dict, {{"__history__", h->history},
                                  {"__markers__", h->markers},
                                  {"__activeMarkers__", h->active_markers},
                                  {"enabled", h->enabled}});
}

constexpr FunctionDef History_getstate_def{"__getstate__", invoke<History_getstate>, "(self)",
                                           getstate_doc};

// ---------------------------------------------------------------------------------------------
// Module

constexpr const char* entry_doc =
    "Entry(api)\n--\n\n"
    "One recorded Tcl call and the time it was recorded.\n\n"
    "timestamp is the time of recording (from get_time()); api is the call's text: a\n"
    "string is kept as it is, a list of words is joined with spaces, each word that holds a\n"
    "space wrapped in braces. words keeps the words themselves (None for a string), from\n"
    "which History.script() writes the call again exactly.";

PyGetSetDef entry_getset[] = {
    {"words", Entry_get_words, Entry_set_words,
     "The words of a call given as a list of words, as a tuple; None for a call given as a\n"
     "text. History.script() writes them.",
     nullptr},
    instance_dict_getset,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef entry_members[] = {
    {"timestamp", function_type::object_member, offsetof(EntryObject, timestamp), 0,
     "The time of recording."},
    {"api", function_type::object_member, offsetof(EntryObject, api), 0, "The call's text."},
    EntryInstance::dict_member(),
    EntryInstance::weakrefs_member(),
    {nullptr, 0, 0, 0, nullptr},
};

const FunctionDef Entry_methods[] = {
    Entry_init_def,
    Entry_str_def,
    Entry_repr_def,
    Entry_getstate_def,
};

constexpr const char* history_doc =
    "History(max_history=9999)\n--\n\n"
    "A bounded, timestamped history of Tcl calls, with named markers.\n\n"
    "append() records one call in the general record and in every active marker. A marker\n"
    "collects the calls made between start_marker() and end_marker(); it may be started\n"
    "again, and started more than once. Each record keeps at most max_history entries and\n"
    "drops the oldest first (None keeps everything). One Entry is shared by every record\n"
    "that holds it.";

PyMemberDef history_members[] = {
    {"__history__", function_type::object_member, offsetof(HistoryObject, history), 0,
     "The general record, oldest entry first."},
    {"__markers__", function_type::object_member, offsetof(HistoryObject, markers), 0,
     "The record of each marker ever started, by name."},
    {"__activeMarkers__", function_type::object_member, offsetof(HistoryObject, active_markers), 0,
     "The markers recording now, once per activation, in start order."},
    {"enabled", function_type::object_member, offsetof(HistoryObject, enabled), 0,
     "Whether append() records anything."},
    HistoryInstance::dict_member(),
    HistoryInstance::weakrefs_member(),
    {nullptr, 0, 0, 0, nullptr},
};

const FunctionDef History_methods[] = {
    History_init_def,     History_enable_def,       History_disable_def,    History_append_def,
    History_clear_def,    History_start_marker_def, History_end_marker_def, History_filter_def,
    History_script_def,   History_save_def,         History_str_def,        History_repr_def,
    History_getstate_def,
};

void State::import_names(PyObject* module) {
    re = add_object(module, "re", import("re"));
    io = import("io");
    Ref logging = import("logging");
    add_object(module, "logging", logging);
    deque = add_object(module, "deque", import_attr("collections", "deque"));
    add_object(module, "get_time", import_attr("tarvik.utils.utils", "get_time"));
    add_object(module, "log", call_method(logging, name.get_logger, from_utf8("tarvik.tcl").get()));
    debug_level = getattr(logging, "DEBUG");
    Logger = getattr(logging, "Logger");
}

void State::init(PyObject* module) {
    import_names(module);
    Entry = add_object(module, "Entry",
                       EntryInstance::make_class(
                           module, "tarvik.tcl.history.Entry", Py_TPFLAGS_BASETYPE, entry_members,
                           {{Py_tp_doc, const_cast<char*>(entry_doc)},
                            {Py_tp_dealloc, reinterpret_cast<void*>(Entry_dealloc)}},
                           entry_getset));
    add_methods(*this, module, Entry, Entry_methods);

    History = add_object(module, "History",
                         HistoryInstance::make_class(
                             module, "tarvik.tcl.history.History", Py_TPFLAGS_BASETYPE,
                             history_members, {{Py_tp_doc, const_cast<char*>(history_doc)}}));
    check(PyObject_SetAttrString(History, "__MAX_HISTORY__", own(PyLong_FromLong(9999)).get()));
    add_methods(*this, module, History, History_methods);
}

}  // namespace
}  // namespace tarvik

PyMODINIT_FUNC PyInit_history() {
    return tarvik::ModuleDefinition<tarvik::State>::init(
        "tarvik.tcl.history", "A bounded, timestamped history of Tcl calls, with named markers.");
}
