// Importing the sibling callables the extension calls, each checked against its row of the table.
#include "messages.hpp"
#include "module_state.hpp"
#include "py_helpers.hpp"

#include <iterator>

namespace ruk {
namespace {

struct SiblingRow {
    PyObject* ModuleState::*module;  // the interned module name in the state
    const char* name;
    int arguments;
};

constexpr SiblingRow sibling_rows[] = {
#define RUK_SIBLING_ROW(ident, module, name, arguments) {&ModuleState::s_##module, name, arguments},
    RUK_SIBLING_CALLS(RUK_SIBLING_ROW)
#undef RUK_SIBLING_ROW
};
static_assert(std::size(sibling_rows) == static_cast<std::size_t>(Sibling::count));

// 0 when `function` takes `arguments` positional arguments and no required
// keyword-only one, as far as its code tells: only Python functions are
// looked into (a class or a C function answers for itself when called).
int check_arguments(PyObject* function, const SiblingRow& row) noexcept {
    PyObject* module = state().*row.module;
    if (!PyCallable_Check(function)) {
        PyErr_Format(PyExc_TypeError, messages::sibling_not_callable, module, row.name);
        return -1;
    }
    if (row.arguments < 0 || !PyFunction_Check(function)) return 0;
    PyCodeObject* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function));  // borrowed
    PyObject* defaults = PyFunction_GET_DEFAULTS(function);                              // borrowed
    PyObject* keyword_defaults = PyFunction_GET_KW_DEFAULTS(function);                   // borrowed
    const int with_defaults = defaults ? static_cast<int>(PyTuple_GET_SIZE(defaults)) : 0;
    const int keyword_with_defaults = keyword_defaults ? static_cast<int>(PyDict_GET_SIZE(keyword_defaults)) : 0;
    const bool takes = row.arguments >= code->co_argcount - with_defaults &&
                       (row.arguments <= code->co_argcount || (code->co_flags & CO_VARARGS)) &&
                       code->co_kwonlyargcount == keyword_with_defaults;
    if (takes) return 0;
    PyErr_Format(PyExc_TypeError, messages::sibling_arguments, module, row.name, row.arguments);
    return -1;
}

}  // namespace

int import_siblings(PyObject* globals, std::initializer_list<Sibling> which, Ref* out) noexcept {
    ModuleState& st = state();
    PyObject* names[8];
    std::size_t count = 0;
    for (Sibling sibling : which) names[count++] = st.sibling_names[static_cast<int>(sibling)];
    const SiblingRow& first = sibling_rows[static_cast<int>(*which.begin())];
    if (import_from(globals, st.*first.module, names, count, out) < 0) return -1;
    std::size_t i = 0;
    for (Sibling sibling : which) {
        const int index = static_cast<int>(sibling);
        PyObject* function = out[i++].get();
        if (st.sibling_checked[index] == function) continue;
        if (check_arguments(function, sibling_rows[index]) < 0) {
            for (std::size_t j = 0; j < count; ++j) out[j].reset();
            return -1;
        }
        Py_XSETREF(st.sibling_checked[index], Py_NewRef(function));
    }
    return 0;
}

int init_sibling_names() noexcept {
    ModuleState& st = state();
    for (std::size_t i = 0; i < std::size(sibling_rows); ++i)
        if (!st.sibling_names[i] && !(st.sibling_names[i] = PyUnicode_InternFromString(sibling_rows[i].name)))
            return -1;
    return 0;
}

}  // namespace ruk
