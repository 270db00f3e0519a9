// Part of the fieldtree module, included by fieldtree.cpp (one compilation unit): keyed lists
// read from Tcl, a str or a Tcl object, level by level in one pass over the text.

namespace tarvik {
namespace {

// The text of a value that the list reader can take: a str, or the string of a Tcl object.
Ref text_of(const State& st, PyObject* value) {
    if (PyUnicode_Check(value)) return Ref::borrow(value);
    if (Py_TYPE(value) == st.tcl_obj_type()) return str(value);
    return Ref();
}

// A part of a text that holds a nested value: read in place, so that no level copies the text
// of the levels inside it.
struct Span {
    PyObject* text;  // borrowed from the reader's caller, which holds it
    Py_ssize_t start, end;
    Ref placeholder;  // what the level's dict holds for the value until it is read
};

// The pairs of one level of a keyed list, and the first element that is not a pair.
struct Level {
    std::vector<Ref> flat;  // key, value, key, value... of the elements before `bad`
    std::vector<Span> spans;
    Py_ssize_t elements = 0;
    Py_ssize_t bad = -1;
    Py_ssize_t bad_length = 0;

    void add(std::vector<Ref>& items) {
        if (bad < 0) {
            if (items.size() == 2) {
                flat.push_back(std::move(items[0]));
                flat.push_back(std::move(items[1]));
            } else {
                bad = elements;
                bad_length = Py_ssize_t(items.size());
            }
        }
        ++elements;
    }

    // A pair whose value stays in the text until the level is complete.
    void add(Ref key, PyObject* text, Py_ssize_t start, Py_ssize_t end) {
        if (bad < 0) {
            Ref placeholder = own(PyLong_FromSsize_t(Py_ssize_t(spans.size())));
            flat.push_back(std::move(key));
            flat.push_back(placeholder);
            spans.push_back(Span{text, start, end, std::move(placeholder)});
        }
        ++elements;
    }

    // The span that `value`, read from the level's dict, stands for, or nullptr.
    const Span* span_of(PyObject* value) const {
        if (spans.empty() || !PyLong_CheckExact(value)) return nullptr;
        Py_ssize_t i = PyLong_AsSsize_t(value);
        if (i < 0 || size_t(i) >= spans.size() || spans[size_t(i)].placeholder.get() != value)
            return nullptr;
        return &spans[size_t(i)];
    }
};

// Reads keyed lists level by level. Each level's text is split by the native list reader where
// it can, and by the host's cast_list (looked up once per read) where it cannot. A nested value
// that is a braced or quoted part of its level's text is read in place, and once levels nest
// deeply, braces are found through the matches of the whole text: each level reads only its own
// characters, so the time is linear in the text however deep it nests.
class KeyedListReader {
  public:
    KeyedListReader(State& st, Ref package) : st_(st), package_(std::move(package)) {}

    // The FieldTree that a keyed list reads as. Nested, an empty Ref when the value is no keyed
    // list -- not a list of pairs, or no list at all -- and so stays a leaf.
    Ref read(PyObject* value, bool nested) {
        RecursionGuard guard(" while reading a keyed list");
        Level level;
        if (!read_level(value, nested, level)) return Ref();
        return build(level);
    }

  private:
    enum class Native : uint8_t { READ, NOT_KEYED, LEFT_TO_HOST };

    // Values shorter than this are copied: only long ones can hold deep nesting.
    static constexpr Py_ssize_t kSpanMinimum = 64;
    // The depth from which braces are found through the matches of the whole text.
    static constexpr int kMatchDepth = 8;

    // A nested value held in a span of a text: its tree, or the empty Ref for a leaf.
    Ref read_span(const Span& span) {
        RecursionGuard guard(" while reading a keyed list");
        DepthStep step(depth_);
        Level level;
        Native outcome = split_pairs(span.text, span.start, span.end, true, level);
        if (outcome == Native::NOT_KEYED) return Ref();
        if (outcome == Native::LEFT_TO_HOST) {
            Ref text = own(PyUnicode_Substring(span.text, span.start, span.end));
            level = Level();
            if (!split_each(text, true, level) || level.bad >= 0) return Ref();
        }
        return build(level);
    }

    Ref build(Level& level) {
        Ref tree = new_tree(st_);
        bool plain_keys = true;
        for (size_t i = 0; i < level.flat.size(); i += 2) {
            PyObject* key = level.flat[i];
            set_item(tree, key, level.flat[i + 1]);
            plain_keys = plain_keys && PyUnicode_CheckExact(key) && !has_dot(key);
        }
        if (level.bad >= 0)
            raise_format(PyExc_ValueError,
                         "dictionary update sequence element #%zd has length %zd; 2 is required",
                         level.bad, level.bad_length);
        convert_values(tree, level);
        // Dotted keys nest through the item assignment; plain ones are stored as they are.
        if (!plain_keys) {
            Ref entries = own(PyDict_Copy(tree));
            PyDict_Clear(tree);
            merge(st_, tree, entries);
        }
        return tree;
    }

    bool read_level(PyObject* value, bool nested, Level& level) {
        if (Ref text = text_of(st_, value)) {
            if (!top_text_) top_text_ = text;
            Native outcome = split_pairs(text, 0, PyUnicode_GET_LENGTH(text), nested, level);
            if (outcome != Native::LEFT_TO_HOST) return outcome == Native::READ;
            level = Level();
        }
        return split_each(value, nested, level) && (!nested || level.bad < 0);
    }

    // The brace matches of `text` when it is the text being read and the levels nest deeply
    // enough to need them, built the first time.
    const tcl::BraceMatches* matches_for(PyObject* text) {
        if (text != top_text_.get() || depth_ < kMatchDepth) return nullptr;
        if (!matches_) {
            StrView view(text);
            with_chars(view, [&](auto* s) {
                matches_ = std::make_unique<tcl::BraceMatches>(s, view.length);
            });
        }
        return matches_.get();
    }

    // Splits text[start:end] and each of its elements natively. A nested value stops at its first
    // element that is not a pair: leaves, the most common values by far, are mostly told apart
    // by their first word alone, without making any object.
    Native split_pairs(PyObject* text, Py_ssize_t start, Py_ssize_t end, bool nested,
                       Level& level) {
        const tcl::BraceMatches* matches = matches_for(text);
        StrView view(text);
        return with_chars(view, [&](auto* s) {
            using Char = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
            tcl::ListReader<Char> reader(s + start, end - start, matches, start);
            std::vector<Ref> items;
            std::vector<Char> scratch;
            tcl::Element e;
            for (;;) {
                tcl::Found found = reader.next(e);
                if (found == tcl::Found::END) return Native::READ;
                if (found == tcl::Found::MALFORMED && nested) return Native::NOT_KEYED;
                if (found != tcl::Found::ELEMENT) return Native::LEFT_TO_HOST;
                if (nested && e.bare && e.literal) return Native::NOT_KEYED;  // one item
                e.start += start;
                e.end += start;
                if (e.literal && !e.bare && add_spanned_pair(text, s, e, matches, level, scratch))
                    continue;
                items.clear();
                tcl::Split outcome = tcl::split_element(text, s, e, items);
                if (outcome == tcl::Split::MALFORMED && nested) return Native::NOT_KEYED;
                if (outcome != tcl::Split::OK) return Native::LEFT_TO_HOST;
                if (nested && items.size() != 2) return Native::NOT_KEYED;
                level.add(items);
            }
        });
    }

    // Adds the element `e` (literal, in braces or quotes) as a pair whose long value stays in
    // the text; false when it is anything else, for the ordinary split to take it.
    template <class Char>
    bool add_spanned_pair(PyObject* text, const Char* s, const tcl::Element& e,
                          const tcl::BraceMatches* matches, Level& level,
                          std::vector<Char>& scratch) {
        if (e.end - e.start < kSpanMinimum) return false;
        tcl::ListReader<Char> pair(s + e.start, e.end - e.start, matches, e.start);
        tcl::Element key, value, extra;
        if (pair.next(key) != tcl::Found::ELEMENT || pair.next(value) != tcl::Found::ELEMENT)
            return false;
        if (!value.literal || value.bare || value.end - value.start < kSpanMinimum) return false;
        if (pair.next(extra) != tcl::Found::END) return false;
        key.start += e.start;
        key.end += e.start;
        level.add(tcl::element_value(text, s, key, scratch), text, value.start + e.start,
                  value.end + e.start);
        return true;
    }

    // The list split first and every element after, each split natively or by the host, so that
    // the errors come in the order of those splits.
    bool split_each(PyObject* value, bool nested, Level& level) {
        std::vector<Ref> elements, items;
        if (!split(value, nested, elements)) return false;
        for (const Ref& element : elements) {
            items.clear();
            if (!split(element, nested, items)) return false;
            level.add(items);
        }
        return true;
    }

    bool split(PyObject* value, bool nested, std::vector<Ref>& out) {
        if (Ref text = text_of(st_, value)) {
            tcl::Split outcome = tcl::split_list(text, out);
            if (outcome == tcl::Split::OK) return true;
            if (nested && outcome == tcl::Split::MALFORMED) return false;
            out.clear();
        }
        return split_by_host(value, nested, out);
    }

    bool split_by_host(PyObject* value, bool nested, std::vector<Ref>& out) {
        if (!cast_list_) cast_list_ = getattr(package_, st_.name.cast_list);
        Ref items = Ref::steal_maybe(PyObject_CallOneArg(cast_list_, value));
        if (!items) {
            // A nested value that does not even read as a list is a leaf like any other.
            if (!nested || !(error_matches(st_.TclError) || error_matches(PyExc_ValueError)))
                raise_current();
            PyErr_Clear();
            return false;
        }
        for_each_item(items, [&](PyObject* item) { out.push_back(Ref::borrow(item)); });
        return true;
    }

    void convert_values(PyObject* tree, const Level& level) {
        PyObject *k, *v;
        for (Py_ssize_t pos = 0; PyDict_Next(tree, &pos, &k, &v);) {
            if (is_tree(st_, v)) continue;
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (const Span* span = level.span_of(value)) {
                Ref sub = read_span(*span);
                if (!sub) sub = own(PyUnicode_Substring(span->text, span->start, span->end));
                set_item(tree, key, sub);
            } else if (Ref sub = read(value, true)) {
                set_item(tree, key, sub);
            }
        }
    }

    // Counts the levels of spans being read, for the time the brace matches pay off.
    struct DepthStep {
        int& depth;
        explicit DepthStep(int& d) : depth(++d) {}
        ~DepthStep() { --depth; }
        DepthStep(const DepthStep&) = delete;
        DepthStep& operator=(const DepthStep&) = delete;
    };

    State& st_;
    Ref package_;
    Ref cast_list_;
    Ref top_text_;  // the first text read, which spans are parts of
    std::unique_ptr<tcl::BraceMatches> matches_;
    int depth_ = 0;
};

Ref from_tcl(State& st, PyObject* value) {
    return KeyedListReader(st, import_package(st)).read(value, false);
}

}  // namespace
}  // namespace tarvik
