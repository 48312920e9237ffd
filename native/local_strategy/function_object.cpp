// The function type: argument binding, method binding and the attributes of a Python function.
#include "function_object.hpp"

#include "module_state.hpp"
#include "py_helpers.hpp"

#include <structmember.h>


namespace ruk {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;  // static table entry, never freed
    PyObject* globals;         // strong reference: the module's __dict__
    PyObject* name;            // strong reference, always a str
    PyObject* qualname;        // strong reference, always a str
    PyObject* module;          // strong reference or NULL
    PyObject* doc;             // strong reference or NULL
    PyObject* defaults;        // strong reference to a tuple, or NULL
    PyObject* kwdefaults;      // strong reference to a dict, or NULL
    PyObject* annotations;     // strong reference to a dict, or NULL (made on first read)
    PyObject* dict;            // strong reference or NULL: the instance __dict__
    PyObject* weakreflist;
};

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c' — as CPython lists missing arguments.
PyObject* format_missing(const FunctionSpec& spec, const bool* missing) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    for (int i = 0; i < spec.param_count; ++i) {
        if (!missing[i]) continue;
        Ref quoted = Ref::steal(PyUnicode_FromFormat("'%s'", spec.params[i].name));
        if (!quoted || PyList_Append(names.get(), quoted.get()) < 0) return nullptr;
    }
    Py_ssize_t count = PyList_GET_SIZE(names.get());
    PyObject* items = names.get();
    if (count == 1) return Py_NewRef(PyList_GET_ITEM(items, 0));
    if (count == 2)
        return PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(items, 0), PyList_GET_ITEM(items, 1));
    Ref last = Ref::borrow(PyList_GET_ITEM(items, count - 1));
    if (PyList_SetSlice(items, count - 1, count, nullptr) < 0) return nullptr;
    Ref sep = Ref::steal(PyUnicode_FromString(", "));
    if (!sep) return nullptr;
    Ref head = Ref::steal(PyUnicode_Join(sep.get(), items));
    if (!head) return nullptr;
    return PyUnicode_FromFormat("%U, and %U", head.get(), last.get());
}

void raise_too_many_positional(FunctionObject* f, Py_ssize_t given, Py_ssize_t default_count) {
    const int count = f->spec->param_count;
    Ref signature;
    bool plural;
    if (default_count) {
        plural = true;
        signature = Ref::steal(PyUnicode_FromFormat("from %zd to %d", count - default_count, count));
    } else {
        plural = count != 1;
        signature = Ref::steal(PyUnicode_FromFormat("%d", count));
    }
    if (!signature) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 f->qualname, signature.get(), plural ? "s" : "", given,
                 given == 1 ? "was" : "were");
}

// A refused exact-type argument; subclasses get one more sentence.
void raise_wrong_type(const char* param, const char* expected, PyTypeObject* expected_type,
                      PyObject* arg) {
    if (PyObject_TypeCheck(arg, expected_type)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                     "Subclasses of built-in types are not accepted here: pass a plain %.200s.",
                     param, expected, Py_TYPE(arg)->tp_name, expected);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                     expected, Py_TYPE(arg)->tp_name);
    }
}

int check_rule(const ParamSpec& param, PyObject* arg) {
    switch (param.rule) {
        case ArgRule::Any:
            return 0;
        case ArgRule::ExactSetOrNone:
            if (arg == Py_None) return 0;
            [[fallthrough]];
        case ArgRule::ExactSet:
            if (PySet_CheckExact(arg)) return 0;
            raise_wrong_type(param.name, "set", &PySet_Type, arg);
            return -1;
        case ArgRule::ExactStr:
            if (PyUnicode_CheckExact(arg)) return 0;
            raise_wrong_type(param.name, "str", &PyUnicode_Type, arg);
            return -1;
        case ArgRule::Double: {
            double value = PyFloat_AsDouble(arg);  // may run __float__/__index__
            return (value == -1.0 && PyErr_Occurred()) ? -1 : 0;
        }
    }
    return 0;
}

// Binds arguments as a Python function with plain positional-or-keyword
// parameters would, with the same messages, then applies the argument rules.
PyObject* bind_and_call(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FunctionSpec& spec = *f->spec;
    const Py_ssize_t count = spec.param_count;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* bound[max_params] = {};

    for (Py_ssize_t i = 0; i < nargs && i < count; ++i) bound[i] = args[i];

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t index = -1;
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, spec.params[i].name) == 0) {
                    index = i;
                    break;
                }
            }
            if (index < 0 || bound[index]) {
                // Held: str() of a str subclass key runs Python code, which may
                // rebind __qualname__.
                Ref qualname = Ref::borrow(f->qualname);
                PyErr_Format(PyExc_TypeError,
                             index < 0 ? "%U() got an unexpected keyword argument '%S'"
                                       : "%U() got multiple values for argument '%S'",
                             qualname.get(), key);
                return nullptr;
            }
            bound[index] = args[nargs + k];
        }
    }

    // Held for the call: the body may rebind __defaults__.
    Ref defaults = Ref::borrow(f->defaults);
    const Py_ssize_t default_count = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    if (nargs > count) {
        raise_too_many_positional(f, nargs, default_count);
        return nullptr;
    }
    const Py_ssize_t first_default = count - default_count;
    bool missing[max_params] = {};
    int missing_count = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (bound[i]) continue;
        if (i >= first_default) {
            bound[i] = PyTuple_GET_ITEM(defaults.get(), i - first_default);
        } else {
            missing[i] = true;
            ++missing_count;
        }
    }
    if (missing_count) {
        Ref names = Ref::steal(format_missing(spec, missing));
        if (!names) return nullptr;
        PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U",
                     f->qualname, missing_count, missing_count == 1 ? "" : "s", names.get());
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (check_rule(spec.params[i], bound[i]) < 0) return nullptr;
    }
    // Keep the globals alive even if the function object is dropped mid-call.
    Ref globals = Ref::borrow(f->globals);
    if (!globals) {  // cleared by the collector while tearing a cycle down
        PyErr_Format(PyExc_RuntimeError, "%U() called after its module was torn down", f->qualname);
        return nullptr;
    }
    return spec.body(globals.get(), bound);
}

// The one point where control passes from CPython into the module's C++ code.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    return bind_and_call(as_function(callable), args, nargsf, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    // name and qualname stay: they are always strings, and repr needs them.
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }

int set_name(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->name, Py_NewRef(value));
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

// Optional fields that read as None when unset and accept None or one type.
PyObject* get_optional(PyObject* field) { return Py_NewRef(field ? field : Py_None); }

int set_optional(PyObject*& field, PyObject* value, int (*accepts)(PyObject*), const char* message) {
    if (value == Py_None) value = nullptr;
    if (value && !accepts(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(field, Py_XNewRef(value));
    return 0;
}

int is_tuple(PyObject* obj) { return PyTuple_Check(obj); }
int is_dict(PyObject* obj) { return PyDict_Check(obj); }

PyObject* get_defaults(PyObject* self, void*) noexcept { return get_optional(as_function(self)->defaults); }

int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_optional(as_function(self)->defaults, value, is_tuple,
                        "__defaults__ must be set to a tuple object");
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    return get_optional(as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_optional(as_function(self)->kwdefaults, value, is_dict,
                        "__kwdefaults__ must be set to a dict object");
}

// A new dict in `field` unless one is there. Making the dict can start the
// collector, whose finalisers may assign the field meanwhile: keep theirs.
int ensure_dict(PyObject*& field) {
    if (field) return 0;
    PyObject* made = PyDict_New();
    if (!made) return -1;
    if (field)
        Py_DECREF(made);
    else
        field = made;
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (ensure_dict(f->annotations) < 0) return nullptr;
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    return set_optional(as_function(self)->annotations, value, is_dict,
                        "__annotations__ must be set to a dict object");
}

// inspect.signature() support: the real parameters, with their current
// defaults and annotations, unless a __signature__ was assigned explicitly.
// Every attribute is held strongly from the start: a dict lookup can run
// Python code (a key's __eq__, a finaliser the collector calls) that rebinds
// __defaults__, __annotations__ or __dict__ and frees what they held.
PyObject* get_signature(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    ModuleState& st = state();
    Ref dict = Ref::borrow(f->dict);
    if (dict) {
        PyObject* assigned = PyDict_GetItemWithError(dict.get(), st.s_dunder_signature);
        if (assigned) return Py_NewRef(assigned);
        if (PyErr_Occurred()) return nullptr;
    }
    Ref defaults = Ref::borrow(f->defaults);        // a tuple: the setter allows nothing else
    Ref annotations = Ref::borrow(f->annotations);  // a dict, possibly of a subclass

    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter_type || !signature_type) return nullptr;
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter_type.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) return nullptr;

    const FunctionSpec& spec = *f->spec;
    const Py_ssize_t default_count = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    const Py_ssize_t first_default = spec.param_count - default_count;
    Ref parameters = Ref::steal(PyList_New(0));
    if (!parameters) return nullptr;
    for (int i = 0; i < spec.param_count; ++i) {
        Ref name = Ref::steal(PyUnicode_FromString(spec.params[i].name));
        Ref kwargs = name ? Ref::steal(PyDict_New()) : Ref{};
        if (!kwargs) return nullptr;
        if (i >= first_default &&
            PyDict_SetItemString(kwargs.get(), "default",
                                 PyTuple_GET_ITEM(defaults.get(), i - first_default)) < 0)
            return nullptr;
        if (annotations) {
            Ref annotation = Ref::borrow(PyDict_GetItemWithError(annotations.get(), name.get()));
            if (!annotation && PyErr_Occurred()) return nullptr;
            if (annotation && PyDict_SetItemString(kwargs.get(), "annotation", annotation.get()) < 0)
                return nullptr;
        }
        Ref positional = Ref::steal(PyTuple_Pack(2, name.get(), kind.get()));
        if (!positional) return nullptr;
        Ref parameter = Ref::steal(PyObject_Call(parameter_type.get(), positional.get(), kwargs.get()));
        if (!parameter || PyList_Append(parameters.get(), parameter.get()) < 0) return nullptr;
    }
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    if (annotations) {
        Ref return_key = Ref::steal(PyUnicode_FromString("return"));
        if (!return_key) return nullptr;
        Ref returns = Ref::borrow(PyDict_GetItemWithError(annotations.get(), return_key.get()));
        if (!returns && PyErr_Occurred()) return nullptr;
        if (returns && PyDict_SetItemString(kwargs.get(), "return_annotation", returns.get()) < 0)
            return nullptr;
    }
    Ref positional = Ref::steal(PyTuple_Pack(1, parameters.get()));
    if (!positional) return nullptr;
    return PyObject_Call(signature_type.get(), positional.get(), kwargs.get());
}

int set_signature(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (ensure_dict(f->dict) < 0) return -1;
    // Held: storing can run a key's __eq__, which may replace __dict__.
    Ref dict = Ref::borrow(f->dict);
    if (value) return PyDict_SetItem(dict.get(), state().s_dunder_signature, value);
    if (PyDict_DelItem(dict.get(), state().s_dunder_signature) < 0) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_AttributeError, "__signature__");
        }
        return -1;
    }
    return 0;
}

// Pickled, copied and deep-copied by reference, as Python functions are: a
// string tells pickle to save a global found again by __module__ and this
// name on load, and tells copy to return the object itself.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "ruk.compute.strategies.local.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// {"param": "annotation", ..., "return": "annotation"}, or {} when the
// function carries no annotations.
Ref build_annotations(const FunctionSpec& spec) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations || !spec.return_annotation) return annotations;
    for (int i = 0; i < spec.param_count; ++i) {
        const char* text = spec.params[i].annotation;
        if (!text) continue;
        Ref value = Ref::steal(PyUnicode_FromString(text));
        if (!value || PyDict_SetItemString(annotations.get(), spec.params[i].name, value.get()) < 0)
            return {};
    }
    Ref returns = Ref::steal(PyUnicode_FromString(spec.return_annotation));
    if (!returns || PyDict_SetItemString(annotations.get(), "return", returns.get()) < 0) return {};
    return annotations;
}

}  // namespace

int init_function_type() noexcept {
    ModuleState& st = state();
    if (st.function_type) return 0;
    st.function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return st.function_type ? 0 : -1;
}

Ref make_function(const FunctionSpec& spec, PyObject* globals, PyObject* module_name,
                  PyObject* defaults) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_InternFromString(spec.qualname));
    Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
    Ref annotations = build_annotations(spec);
    if (!name || !qualname || !doc || !annotations) return {};

    FunctionObject* f = PyObject_GC_New(FunctionObject, state().function_type);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->globals = Py_NewRef(globals);
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->doc = doc.release();
    f->defaults = Py_XNewRef(defaults);
    f->kwdefaults = nullptr;
    f->annotations = annotations.release();
    f->dict = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace ruk
