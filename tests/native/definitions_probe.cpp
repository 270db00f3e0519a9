// Modules made only by tests/test_definitions.py: each PyInit_ below makes one module from
// definitions whose bodies parse a count their text signatures agree with, or not.
#include "support/class_builder.hpp"

namespace tarvik {
namespace {

Ref pair_of(const Call&, Named<2> named) {
    auto [a, b] = named;
    return tuple(a, b ? b : Py_None);
}

Ref self_and_rest(const Call&, const Arguments<2>& a) {
    return tuple(a.named[1], own(PyLong_FromSsize_t(a.rest_count)).get());
}

// Takes its first argument by position itself, as hot methods do, before parsing the rest.
Ref first_or_parsed(const Call& c, Deferred<2> parse) {
    if (c.exactly(1)) return tuple(c.args[0], Py_None);
    auto a = parse(c);
    return tuple(a.named[0], a.named[1]);
}

Ref argument_count(const Call& c) {
    return own(PyLong_FromSsize_t(c.nargs + c.keyword_count()));
}

enum class Probe { agreeing, named_disagrees, arguments_disagree, deferred_disagrees };

template <Probe Which>
struct State : ModuleState {
    void add_class(PyObject* module, const FunctionDef& method) {
        const FunctionDef methods[] = {method};
        add_object(module, "Probe",
                   ClassBuilder(*this, module, "Probe").methods(methods).build({}));
    }

    void init(PyObject* module) {
        if constexpr (Which == Probe::agreeing) {
            add_function(module, {"pair", invoke<pair_of>, "(a, b=None)", nullptr});
            add_function(module, {"keyword_b", invoke<pair_of>, "(a, *, b=None)", nullptr});
            add_function(module, {"deferred", invoke<first_or_parsed>, "(a, b=None)", nullptr});
            add_function(module, {"own_default", invoke<pair_of>, "(a, b=...)", nullptr});
            add_function(module, {"count", invoke<argument_count>, "(*args, **kwargs)", nullptr});
            add_class(module, {"rest", invoke<self_and_rest>, "(self, a, *args)", nullptr});
        } else if constexpr (Which == Probe::named_disagrees) {
            add_function(module, {"pair", invoke<pair_of>, "(a)", nullptr});
        } else if constexpr (Which == Probe::arguments_disagree) {
            add_class(module, {"rest", invoke<self_and_rest>, "(self, *args)", nullptr});
        } else {
            add_function(module, {"deferred", invoke<first_or_parsed>, "(a, b, c)", nullptr});
        }
    }
};

template <Probe Which>
PyObject* make(const char* name) {
    return ModuleDefinition<State<Which>>::init(name, nullptr);
}

}  // namespace
}  // namespace tarvik

using tarvik::Probe;

PyMODINIT_FUNC PyInit_probe_agreeing() {
    return tarvik::make<Probe::agreeing>("probe_agreeing");
}
PyMODINIT_FUNC PyInit_probe_named_disagrees() {
    return tarvik::make<Probe::named_disagrees>("probe_named_disagrees");
}
PyMODINIT_FUNC PyInit_probe_arguments_disagree() {
    return tarvik::make<Probe::arguments_disagree>("probe_arguments_disagree");
}
PyMODINIT_FUNC PyInit_probe_deferred_disagrees() {
    return tarvik::make<Probe::deferred_disagrees>("probe_deferred_disagrees");
}
