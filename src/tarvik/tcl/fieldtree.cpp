// tarvik.tcl.fieldtree: TclX keyed lists as nested Python mappings addressed with dotted keys.
//
// A FieldTree is a dict (through AttrDict) whose values are leaves or further FieldTrees, and
// `tree['a.b.c']` walks one level per dot. An exact FieldTree -- every tree this module makes --
// walks its levels in a loop straight on the dict storage. An instance of a subclass goes through
// its own (possibly overridden) methods at every level, as the same class written in Python would,
// and reaches its base mapping through super().
#include "support/class_builder.hpp"
#include "support/recursion.hpp"
#include "support/conversion.hpp"
#include "support/html_table.hpp"
#include "support/tcl_list.hpp"
#include "support/tk_values.hpp"

#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarvik {
namespace {

// Interned attribute and method names, and the other constants the module uses.
struct Names : InternedNames {
    const Ref package_name = name("tarvik.tcl");
    const Ref dot = name(".");
    const Ref one = own(PyLong_FromLong(1));
    const Ref empty_tuple = own(PyTuple_New(0));
    const Ref blocked_format =
        from_utf8("target key \"%s\" is a value, cannot update value against another keyed list");
    const Ref split = name("split");
    const Ref contains = name("__contains__");
    const Ref getitem = name("__getitem__");
    const Ref setitem = name("__setitem__");
    const Ref delitem = name("__delitem__");
    const Ref init = name("__init__");
    const Ref items = name("items");
    const Ref update = name("update");
    const Ref all_keys = name("all_keys");
    const Ref all_items = name("all_items");
    const Ref typename_ = name("typename");
    const Ref cast_list = name("cast_list");
    const Ref keyed_list_typename = name("keyed_list_typename");
    const Ref repr_html = name("_repr_html_");
};

struct State : ModuleState {
    Ref MutableMapping;
    Ref mapping_update;  // MutableMapping.update
    Ref Tcl_Obj;         // empty where this Python has no _tkinter: nothing is a Tcl object there
    Ref TclError;
    Converter convert;
    Ref tree;  // the class FieldTree
    // FieldTree's base operations are dict's own, so exact instances may use the dict storage.
    bool dict_base = false;
    Ref key_parts;  // dotted str key -> list of its parts, for recent keys

    Names name;

    auto owned() {
        return std::array{&MutableMapping, &mapping_update, &Tcl_Obj, &TclError, &tree, &key_parts};
    }
    PyTypeObject* tree_type() const { return as_type(tree); }
    PyTypeObject* tcl_obj_type() const { return as_type(Tcl_Obj); }

    void init(PyObject* module);
};

// ---------------------------------------------------------------------------------------------
// Levels

// An exact FieldTree whose item operations are this module's and whose base is a plain dict.
bool is_plain(const State& st, PyObject* node) {
    return Py_TYPE(node) == st.tree_type() && st.dict_base;
}

// Built-in value types, which no one registers as virtual subclasses of FieldTree: for them the
// isinstance test through the ABC machinery would only cost time.
bool is_builtin_leaf(const State& st, PyTypeObject* type) {
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
           type == &PyBool_Type || type == Py_TYPE(Py_None) || type == &PyBytes_Type ||
           type == &PyTuple_Type || type == &PyList_Type || type == &PyDict_Type ||
           type == st.tcl_obj_type();
}

// isinstance(obj, FieldTree): the test that tells a sub-list from a leaf.
bool is_tree(const State& st, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == st.tree_type() || PyType_IsSubtype(type, st.tree_type())) return true;
    if (is_builtin_leaf(st, type)) return false;
    return check(PyObject_IsInstance(obj, st.tree)) != 0;
}

// A new, empty FieldTree. With a plain base, the constructor called without arguments stores
// nothing, so the instance is made without running it.
Ref new_tree(const State& st) {
    if (!st.dict_base) return call(st.tree);
    return own(st.tree_type()->tp_new(st.tree_type(), st.name.empty_tuple, nullptr));
}

// The key fills the message as one value: a tuple key would otherwise be taken for the format's
// argument list and fail with a TypeError of its own.
[[noreturn]] void blocked(const State& st, PyObject* key) {
    Ref message = own(PyUnicode_Format(st.name.blocked_format, tuple(key).get()));
    PyErr_SetObject(PyExc_KeyError, message);
    raise_current();
}

std::pair<Ref, Ref> unpack_pair(PyObject* pair) {
    Ref items = own(PySequence_Fast(pair, "cannot unpack non-iterable object"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    if (n < 2)
        raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    return {Ref::borrow(item[0]), Ref::borrow(item[1])};
}

// The parts of a dotted str key. Programs read the same few keys over and over, so the parts
// are kept for the most recent keys: a read then hashes no new string and allocates nothing.
Ref key_parts(const State& st, PyObject* key) {
    PyObject* parts = PyDict_GetItemWithError(st.key_parts, key);
    if (parts != nullptr) return Ref::borrow(parts);
    if (PyErr_Occurred()) raise_current();
    Ref made = own(PyUnicode_Split(key, st.name.dot, -1));
    if (PyDict_GET_SIZE(st.key_parts.get()) >= 1024) PyDict_Clear(st.key_parts);
    set_item(st.key_parts, key, made);
    return made;
}

bool has_dot(PyObject* str) {
    return PyUnicode_FindChar(str, '.', 0, PyUnicode_GET_LENGTH(str), 1) >= 0;
}

// A key taken apart level by level, as `head, rest = key.split('.', 1)` does at each level.
class KeyPath {
  public:
    KeyPath(const State& st, PyObject* key) : st_(st), key_(Ref::borrow(key)) {}

    // Splits the head off the key; false when the key left has no dot.
    bool split() {
        if (!parts_ && PyUnicode_CheckExact(key_)) {
            if (!has_dot(key_)) return false;
            parts_ = key_parts(st_, key_);
        }
        if (parts_) {
            if (index_ + 1 >= PyList_GET_SIZE(parts_.get())) return false;
            offset_ += PyUnicode_GET_LENGTH(PyList_GET_ITEM(parts_.get(), index_++)) + 1;
            return true;
        }
        if (!check(PySequence_Contains(key_, st_.name.dot))) return false;
        auto [head, rest] =
            unpack_pair(call_method(key_, st_.name.split, st_.name.dot, st_.name.one).get());
        head_ = std::move(head);
        key_ = std::move(rest);
        return true;
    }

    PyObject* head() const {
        return parts_ ? PyList_GET_ITEM(parts_.get(), index_ - 1) : head_.get();
    }

    // The key after the last head split off (the whole key when none was).
    Ref rest() const {
        if (!parts_) return key_;
        if (index_ + 1 == PyList_GET_SIZE(parts_.get()))
            return Ref::borrow(PyList_GET_ITEM(parts_.get(), index_));
        return own(PyUnicode_Substring(key_, offset_, PyUnicode_GET_LENGTH(key_)));
    }

  private:
    const State& st_;
    Ref key_;
    Ref head_;
    Ref parts_;              // a str key's parts
    Py_ssize_t index_ = 0;   // parts split off
    Py_ssize_t offset_ = 0;  // where the rest of a str key starts
};

// The base item operations: one level, through the class after FieldTree in the MRO.

Ref base_read(const State& st, PyObject* node, PyObject* key) {
    if (!is_plain(st, node)) return call(super_attr(st.tree, node, st.name.getitem), key);
    PyObject* value = PyDict_GetItemWithError(node, key);
    if (value == nullptr) {
        if (PyErr_Occurred()) raise_current();
        raise_key_error(key);
    }
    return Ref::borrow(value);
}

void base_write(const State& st, PyObject* node, PyObject* key, PyObject* value) {
    if (is_plain(st, node))
        check(PyDict_SetItem(node, key, value));
    else
        call(super_attr(st.tree, node, st.name.setitem), key, value);
}

void base_delete(const State& st, PyObject* node, PyObject* key) {
    if (is_plain(st, node))
        check(PyDict_DelItem(node, key));
    else
        call(super_attr(st.tree, node, st.name.delitem), key);
}

bool base_contains(const State& st, PyObject* node, PyObject* key) {
    if (is_plain(st, node)) return check(PyDict_Contains(node, key)) != 0;
    return is_true(call(super_attr(st.tree, node, st.name.contains), key));
}

// The membership test and then the read: one lookup where the base is a plain dict.
Ref base_read_optional(const State& st, PyObject* node, PyObject* key) {
    if (!is_plain(st, node)) return base_contains(st, node, key) ? base_read(st, node, key) : Ref();
    PyObject* value = PyDict_GetItemWithError(node, key);
    if (value == nullptr && PyErr_Occurred()) raise_current();
    return Ref::borrow(value);
}

// ---------------------------------------------------------------------------------------------
// Item operations

// tree[key] of FieldTree.__getitem__.
Ref read(const State& st, PyObject* self, PyObject* key) {
    Ref node = Ref::borrow(self);
    KeyPath path(st, key);
    while (path.split()) {
        Ref value = base_read(st, node, path.head());
        if (!is_plain(st, value)) return own(PyObject_GetItem(value, path.rest().get()));
        node = std::move(value);
    }
    return base_read(st, node, path.rest().get());
}

// self[key] through the object's own class, or an empty Ref where that raises KeyError.
Ref read_optional(const State& st, PyObject* self, PyObject* key) {
    bool plain = is_plain(st, self);
    if (plain && PyUnicode_CheckExact(key) && !has_dot(key))
        return base_read_optional(st, self, key);
    Ref value;
    ignoring(PyExc_KeyError,
             [&] { value = plain ? read(st, self, key) : own(PyObject_GetItem(self, key)); });
    return value;
}

Ref from_tcl(State& st, PyObject* value);

// The host package, imported when it is first needed rather than when this module loads.
Ref import_package(const State& st) {
    Ref package = Ref::steal_maybe(PyImport_GetModule(st.name.package_name));
    if (package) return package;
    if (PyErr_Occurred()) raise_current();
    return own(PyImport_Import(st.name.package_name));
}

// A keyed-list Tcl object as the FieldTree it holds; any other value as it is. Values that are
// not Tcl objects pass with one pointer comparison.
Ref from_keyed_list_object(State& st, PyObject* value) {
    if (Py_TYPE(value) != st.tcl_obj_type() || !tcl::has_object_type(value))
        return Ref::borrow(value);
    Ref ask = getattr_optional(import_package(st), st.name.keyed_list_typename);
    Ref keyed_list_typename = ask ? call(ask) : none();
    if (!PyUnicode_Check(keyed_list_typename))
        return Ref::borrow(value);  // no TclX, no keyed lists
    Ref type_name = getattr(value, st.name.typename_);
    if (!check(PyObject_RichCompareBool(type_name, keyed_list_typename, Py_EQ)))
        return Ref::borrow(value);
    return from_tcl(st, value);
}

// self[key] = value of FieldTree.__setitem__, after the keyed-list conversion.
void store(const State& st, PyObject* self, PyObject* key, PyObject* value) {
    Ref node = Ref::borrow(self);
    KeyPath path(st, key);
    while (path.split()) {
        PyObject* head = path.head();
        Ref sub = read_optional(st, node, head);
        if (!sub) {
            sub = new_tree(st);
            base_write(st, node, head, sub);
        } else if (!is_tree(st, sub)) {
            blocked(st, head);
        }
        if (!is_plain(st, sub)) {
            check(PyObject_SetItem(sub, path.rest().get(), value));
            return;
        }
        node = std::move(sub);
    }
    Ref last = path.rest();
    // A sub-list may replace a sub-list or fill a gap, never overwrite a leaf.
    if (is_tree(st, value)) {
        Ref existing = read_optional(st, node, last);
        if (existing && !is_tree(st, existing)) blocked(st, last);
    }
    base_write(st, node, last, value);
}

// self[key] = value through the object's own class.
void assign(State& st, PyObject* self, PyObject* key, PyObject* value) {
    if (is_plain(st, self))
        store(st, self, key, from_keyed_list_object(st, value).get());
    else
        check(PyObject_SetItem(self, key, value));
}

// key in tree of FieldTree.__contains__; below a leaf, the leaf's own __contains__ answers.
Ref contains(const State& st, PyObject* self, PyObject* key) {
    Ref node = Ref::borrow(self);
    KeyPath path(st, key);
    while (path.split()) {
        Ref value = base_read_optional(st, node, path.head());
        if (!value) return boolean(false);
        if (!is_plain(st, value)) {
            Ref rest = path.rest();
            return call_method(value, st.name.contains, rest.get());
        }
        node = std::move(value);
    }
    return boolean(base_contains(st, node, path.rest().get()));
}

// del tree[key] of FieldTree.__delitem__: afterwards every level that the deletion left empty is
// removed too, from the deepest up.
void remove(const State& st, PyObject* self, PyObject* key) {
    std::vector<std::pair<Ref, Ref>> levels;  // (node, head) along the key
    Ref node = Ref::borrow(self);
    KeyPath path(st, key);
    bool deleted = false;
    while (!deleted && path.split()) {
        Ref value = base_read(st, node, path.head());
        levels.emplace_back(node, Ref::borrow(path.head()));
        if (is_plain(st, value)) {
            node = std::move(value);
        } else {
            check(PyObject_DelItem(value, path.rest().get()));
            deleted = true;
        }
    }
    if (!deleted) base_delete(st, node, path.rest().get());
    for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
        auto& [parent, head] = *level;
        if (!is_true(base_read(st, parent, head))) base_delete(st, parent, head);
    }
}

// ---------------------------------------------------------------------------------------------
// Whole trees

// Calls f(key, value) for each entry of self.items(), in order.
template <class F>
void for_each_entry(const State& st, PyObject* self, F&& f) {
    if (is_plain(st, self)) {
        PyObject *key, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(self, &pos, &key, &value);)
            f(Ref::borrow(key), Ref::borrow(value));
        return;
    }
    Ref iterator = own(PyObject_GetIter(call_method(self, st.name.items).get()));
    while (Ref item = Ref::steal_maybe(PyIter_Next(iterator))) {
        auto [key, value] = unpack_pair(item);
        f(std::move(key), std::move(value));
    }
    if (PyErr_Occurred()) raise_current();
}

template <class F>
void for_each_item(PyObject* iterable, F&& f) {
    Ref iterator = own(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal_maybe(PyIter_Next(iterator)))
        f(item.get());
    if (PyErr_Occurred()) raise_current();
}

// all_keys() or, with values, all_items(): a depth-first walk in insertion order that qualifies
// the keys of every sub-list with the key it is stored under.
Ref flatten(const State& st, PyObject* self, bool with_values) {
    RecursionGuard guard(" while flattening a FieldTree");
    Ref out = new_list();
    for_each_entry(st, self, [&](Ref key, Ref value) {
        if (!is_tree(st, value)) {
            append(out, with_values ? tuple(key.get(), value.get()) : key);
            return;
        }
        Ref sub = is_plain(st, value)
                      ? flatten(st, value, with_values)
                      : call_method(value, with_values ? st.name.all_items : st.name.all_keys);
        Ref prefix;  // key + '.', made for the first sub-key: an empty sub-list adds nothing
        auto qualified = [&](PyObject* subkey) {
            if (!prefix) prefix = own(PyNumber_Add(key, st.name.dot));
            return own(PyNumber_Add(prefix, subkey));
        };
        for_each_item(sub, [&](PyObject* item) {
            if (!with_values) return append(out, qualified(item));
            auto [subkey, subvalue] = unpack_pair(item);
            append(out, tuple(qualified(subkey).get(), subvalue.get()));
        });
    });
    return out;
}

void merge(State& st, PyObject* self, PyObject* other);

// target.update(other) through the object's own class.
void update_of(State& st, PyObject* target, PyObject* other) {
    if (is_plain(st, target))
        merge(st, target, other);
    else
        call_method(target, st.name.update, other);
}

// update(other): a FieldTree merges leaf by leaf, anything else as MutableMapping.update does.
void merge(State& st, PyObject* self, PyObject* other) {
    if (is_tree(st, other)) {
        Ref leaves =
            is_plain(st, other) ? flatten(st, other, true) : call_method(other, st.name.all_items);
        for_each_item(leaves, [&](PyObject* item) {
            auto [key, value] = unpack_pair(item);
            assign(st, self, key, value);
        });
    } else if (PyDict_CheckExact(other)) {
        // MutableMapping.update's loop for a mapping, without its lookups and ABC test.
        for_each_item(other, [&](PyObject* key) {
            Ref value = own(PyObject_GetItem(other, key));
            assign(st, self, key, value);
        });
    } else {
        call(st.mapping_update, self, other);
    }
}

// A keyword of update(): a FieldTree value merges into the sub-list under the key.
void merge_keyword(State& st, PyObject* self, PyObject* key, PyObject* value) {
    if (!is_tree(st, value)) return assign(st, self, key, value);
    Ref sub = read_optional(st, self, key);
    if (!sub) {
        sub = new_tree(st);
        assign(st, self, key, sub);
    } else if (!is_tree(st, sub)) {
        blocked(st, key);
    }
    update_of(st, sub, value);
}

// Non-empty strings and scalars: dict() rejects them, so the constructor keeps them as leaves
// without calling itself to find out.
bool is_scalar_leaf(const State& st, PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return PyUnicode_GET_LENGTH(value) > 0;
    return type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           value == Py_None || type == st.tcl_obj_type();
}

// The constructor's conversion: each value that FieldTree() accepts becomes one, in place.
void convert_to_subtrees(const State& st, PyObject* entries) {
    PyObject *k, *v;
    for (Py_ssize_t pos = 0; PyDict_Next(entries, &pos, &k, &v);) {
        if (is_scalar_leaf(st, v) || is_tree(st, v)) continue;
        Ref key = Ref::borrow(k);
        Ref sub = Ref::steal_maybe(PyObject_CallOneArg(st.tree, v));
        if (!sub) {
            if (!error_matches(PyExc_ValueError) && !error_matches(PyExc_TypeError))
                raise_current();
            PyErr_Clear();
            continue;
        }
        set_item(entries, key, sub);
    }
}

}  // namespace
}  // namespace tarvik

#include "fieldtree/keyed_lists.cpp"

namespace tarvik {
namespace {

// ---------------------------------------------------------------------------------------------
// Entry points

Ref FieldTree_init(const Call& c, Named<1> named) {
    State& st = c.state<State>();
    PyObject* self = named[0];
    RecursionGuard guard(" while building a FieldTree");
    if (!is_plain(st, self)) tarvik::call(super_attr(st.tree, self, st.name.init));
    // self is positional-only: every other argument is the dict constructor's.
    Ref entries = own(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyDict_Type), c.args + 1,
                                          size_t(c.nargs - 1), c.kwnames));
    convert_to_subtrees(st, entries);
    update_of(st, self, entries);
    return none();
}

constexpr FunctionDef FieldTree_init_def{
    "__init__", invoke<FieldTree_init>, "(self, /, *args, **kwargs)",
    "Build a tree from what dict() accepts; every value that is itself a mapping or a\n"
    "sequence of pairs becomes a sub-list, and dotted keys build nested levels."};

Ref FieldTree_from_tcl(const Call& c, Named<1> named) {
    auto [string] = named;
    return from_tcl(c.state<State>(), string);
}

constexpr FunctionDef FieldTree_from_tcl_def{
    "from_tcl", invoke<FieldTree_from_tcl>, "(string)",
    "Read a Tcl keyed list (a str or a Tcl object) into a new FieldTree.\n\n"
    "Every element must be a {key value} pair (ValueError otherwise). A value that is itself a\n"
    "list of pairs becomes a sub-list; any other value stays a leaf string."};

Ref FieldTree_getitem(const Call& c, Named<2> named) {
    auto [self, key] = named;
    return read(c.state<State>(), self, key);
}

constexpr FunctionDef FieldTree_getitem_def{
    "__getitem__", invoke<FieldTree_getitem>, "(self, key)",
    "Return the value at a key; 'a.b.c' reads level by level."};

Ref FieldTree_setitem(const Call& c, Named<3> named) {
    State& st = c.state<State>();
    auto [self, key, value] = named;
    store(st, self, key, from_keyed_list_object(st, value).get());
    return none();
}

constexpr FunctionDef FieldTree_setitem_def{
    "__setitem__", invoke<FieldTree_setitem>, "(self, key, value)",
    "Store a value at a key, creating the missing levels of a dotted key.\n\n"
    "A sub-list never overwrites a leaf (KeyError); a keyed-list Tcl object is stored as the\n"
    "FieldTree it holds."};

Ref FieldTree_contains(const Call& c, Named<2> named) {
    auto [self, key] = named;
    return contains(c.state<State>(), self, key);
}

constexpr FunctionDef FieldTree_contains_def{
    "__contains__", invoke<FieldTree_contains>, "(self, key)",
    "Tell whether a dotted or plain key is present. Below a leaf, the leaf's own\n"
    "__contains__ answers."};

Ref FieldTree_delitem(const Call& c, Named<2> named) {
    auto [self, key] = named;
    remove(c.state<State>(), self, key);
    return none();
}

constexpr FunctionDef FieldTree_delitem_def{
    "__delitem__", invoke<FieldTree_delitem>, "(self, key)",
    "Delete the entry at a key, and every sub-list that the deletion leaves empty."};

Ref FieldTree_update(const Call& c, const Arguments<1>& arguments) {
    State& st = c.state<State>();
    if (arguments.rest_count > 1)
        raise_format(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)",
                     arguments.rest_count);
    PyObject* self = arguments.named[0];
    if (arguments.rest_count == 1) merge(st, self, arguments.rest[0]);
    if (arguments.kwargs) {
        PyObject *key, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(arguments.kwargs, &pos, &key, &value);)
            merge_keyword(st, self, key, value);
    }
    return none();
}

constexpr FunctionDef FieldTree_update_def{
    "update", invoke<FieldTree_update>, "(self, /, *args, **kwargs)",
    "Merge entries into the tree. A FieldTree, given or as a keyword value, merges leaf by\n"
    "leaf, keeping the other entries of existing sub-lists; anything else is stored as\n"
    "MutableMapping.update stores it."};

Ref FieldTree_all_keys(const Call& c, Named<1> named) {
    auto [self] = named;
    return flatten(c.state<State>(), self, false);
}

constexpr FunctionDef FieldTree_all_keys_def{
    "all_keys", invoke<FieldTree_all_keys>, "(self)",
    "Return the dotted keys of all leaves, depth first in insertion order."};

Ref FieldTree_all_items(const Call& c, Named<1> named) {
    auto [self] = named;
    return flatten(c.state<State>(), self, true);
}

constexpr FunctionDef FieldTree_all_items_def{
    "all_items", invoke<FieldTree_all_items>, "(self)",
    "Return the (dotted key, value) pairs of all leaves, depth first in insertion order."};

Ref FieldTree_tclobj(const Call& c, Named<1> named) {
    State& st = c.state<State>();
    auto [self] = named;
    Ref pairs = new_list();
    for_each_entry(st, self,
                   [&](Ref key, Ref value) { append(pairs, tuple(key.get(), value.get())); });
    return st.convert.tclobj(pairs);
}

constexpr FunctionDef FieldTree_tclobj_def{
    "__tclobj__", invoke<FieldTree_tclobj>, "(self)",
    "Return the tree as a Tcl value: the list of its {key value} pairs, sub-lists nested."};

Ref tree_html(State& st, PyObject* self);

// A value's cell: a sub-list as a table of its own, anything else as its text.
Ref html_cell(State& st, PyObject* value) {
    if (!is_tree(st, value)) return html::text(value);
    return is_plain(st, value) ? tree_html(st, value) : call_method(value, st.name.repr_html);
}

// The entries are read first, so that showing a value cannot change the tree being read.
Ref tree_html(State& st, PyObject* self) {
    RecursionGuard guard(" while showing a FieldTree");
    std::vector<std::pair<Ref, Ref>> entries;
    for_each_entry(st, self, [&](Ref key, Ref value) {
        entries.emplace_back(std::move(key), std::move(value));
    });
    html::Table table({"key", "value"});
    for (auto& [key, value] : entries) {
        if (table.full()) break;
        Ref key_cell = html::text(key);
        Ref value_cell = html_cell(st, value);
        table.row({key_cell.get(), value_cell.get()});
    }
    return table.finish(Py_ssize_t(entries.size()));
}

Ref FieldTree_repr_html(const Call& c, Named<1> named) {
    auto [self] = named;
    return tree_html(c.state<State>(), self);
}

constexpr FunctionDef FieldTree_repr_html_def{
    "_repr_html_", invoke<FieldTree_repr_html>, "(self)",
    "Return the tree as an HTML table, sub-lists as nested tables, for notebooks: every\n"
    "text escaped, at most 500 rows a table."};

// ---------------------------------------------------------------------------------------------
// Module

constexpr const char* tree_doc =
    "A TclX keyed list as a nested mapping addressed with dotted keys.\n\n"
    "tree['name.first'] is entry 'first' of the sub-list stored under 'name', also reachable\n"
    "as tree.name.first. Sub-lists are FieldTrees; every other value is a leaf.";

// Whether the classes after FieldTree up to dict leave dict's item operations as they are.
bool base_is_dict(PyTypeObject* cls) {
    static const char* const overridable[] = {"__init__",    "__getitem__",  "__setitem__",
                                              "__delitem__", "__contains__", "__missing__",
                                              "items"};
    PyObject* mro = cls->tp_mro;
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (base == reinterpret_cast<PyObject*>(&PyDict_Type)) return true;
        Ref attributes = getattr(base, "__dict__");
        for (const char* name : overridable)
            if (check(PySequence_Contains(attributes, from_utf8(name).get()))) return false;
    }
    return false;
}

const FunctionDef FieldTree_methods[] = {
    FieldTree_init_def,      as_static(FieldTree_from_tcl_def),
    FieldTree_getitem_def,   FieldTree_setitem_def,
    FieldTree_contains_def,  FieldTree_delitem_def,
    FieldTree_update_def,    FieldTree_all_keys_def,
    FieldTree_all_items_def, alias("has_key", "__contains__"),
    FieldTree_tclobj_def,    FieldTree_repr_html_def,
};

void State::init(PyObject* module) {
    Ref AttrDict = add_object(module, "AttrDict", import_attr("tarvik.datastructures", "AttrDict"));
    MutableMapping =
        add_object(module, "MutableMapping", import_attr("collections.abc", "MutableMapping"));
    Tcl_Obj = add_object_if_any(module, "Tcl_Obj", tkinter_name("Tcl_Obj"));
    TclError = tkinter_name("TclError");
    convert.init();
    add_object(module, "tclobj", import_sibling_attr(module, "scriptify", "tclobj"));
    mapping_update = getattr(MutableMapping, "update");

    key_parts = new_dict();

    tree = add_object(module, "FieldTree",
                      ClassBuilder(*this, module, "FieldTree")
                          .doc(tree_doc)
                          .methods(FieldTree_methods)
                          .set("get", getattr(MutableMapping, "get"))
                          .set("pop", getattr(MutableMapping, "pop"))
                          .set("setdefault", getattr(MutableMapping, "setdefault"))
                          .build({AttrDict, MutableMapping}));
    dict_base = base_is_dict(tree_type());
}

}  // namespace
}  // namespace tarvik

PyMODINIT_FUNC PyInit_fieldtree() {
    return tarvik::ModuleDefinition<tarvik::State>::init(
        "tarvik.tcl.fieldtree",
        "TclX keyed lists as nested Python mappings (FieldTree) addressed with dotted keys.");
}
