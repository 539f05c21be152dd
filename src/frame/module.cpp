#include "frame/module.hpp"

#include <string>

#include "frame/compat.hpp"
#include "frame/constants.hpp"
#include "frame/traceback.hpp"
#include "frame/version.hpp"

namespace frame {

namespace {

Name test_name{"__test__"};

// One set per loaded module file, shared by every use in the process.
struct State {
    const ModuleDef* def = nullptr;
    int64_t owner_interpreter = -1;
    PyObject* module = nullptr;  // strong while initialising and once ready
    PyObject* dict = nullptr;
    PyObject* builtins = nullptr;
    std::string init_name;  // "init <qualified name>", the entry of a failed exec
};
State state;

PyObject* create(PyObject* spec, PyModuleDef*);
int exec(PyObject* module);

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // name, from the ModuleDef
    nullptr,  // no documentation: __doc__ is None
    0,        // no per-module state: the state is process-wide
    no_functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

// Copies spec.<attribute> into the module dict as `key`; a missing attribute is
// skipped, and so is None when `skip_none`.
bool copy_spec_attribute(PyObject* spec, PyObject* dict, const char* attribute, const char* key, bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    // One interpreter per process: the module's state cannot be shared by two.
    int64_t current = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (state.owner_interpreter == -1) {
        if (current == -1) return nullptr;
        state.owner_interpreter = current;
    } else if (state.owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module) return Ref::borrow(state.module).release();

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!dict || !copy_spec_attribute(spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

void forget_module() {
    Py_CLEAR(state.module);
    Py_CLEAR(state.dict);
    Py_CLEAR(state.builtins);
}

// A module belongs to the interpreter version it was built for; another
// version draws a RuntimeWarning, an error only when filters make it one.
bool warn_on_version_mismatch() {
    const char* runtime = Py_GetVersion();
    if (version_matches(compat::build_version, runtime)) return true;
    std::string message = version_warning(compat::build_version, runtime, state.def->qualified_name);
    return PyErr_WarnEx(nullptr, message.c_str(), 1) == 0;
}

// Exec steps from sys.modules on; a failure here gets an "init" traceback entry.
Result run_statements() {
    // Make sure sys.modules holds this module; an entry already there is kept.
    Ref name = Ref::steal(PyUnicode_InternFromString(state.def->qualified_name));
    if (!name) return failed();
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, name.get());
    if (present < 0 || (!present && PyDict_SetItem(modules, name.get(), state.module) < 0)) return failed();

    if (!Builtin::capture_all(state.builtins)) return failed();
    Result done = state.def->statements();
    if (!done) return done;

    // Nothing here reads __test__: it is bound, empty, because callers (doctest
    // among them) look for it on the module.
    Ref test = Ref::steal(PyDict_New());
    if (!test || !bind_global(test_name, test.get())) return failed();
    return none();
}

int exec(PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", state.def->name);
        return -1;
    }
    Py_INCREF(module);
    state.module = module;

    PyObject* dict = PyModule_GetDict(module);
    PyObject* builtins = dict ? PyImport_AddModule("builtins") : nullptr;
    if (!builtins) {
        forget_module();
        return -1;
    }
    state.dict = Ref::borrow(dict).release();
    state.builtins = Ref::borrow(builtins).release();
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0 || !warn_on_version_mismatch() ||
        !Constant::make_all()) {
        forget_module();
        return -1;
    }
    Result done = run_statements();
    if (!done) {
        add_traceback(state.init_name.c_str(), done.where({__FILE__, __LINE__}), state.dict);
        forget_module();
        return -1;
    }
    return 0;
}

}  // namespace

PyObject* init_module(const ModuleDef& def) {
    state.def = &def;
    state.init_name = std::string("init ") + def.qualified_name;
    definition.m_name = def.name;
    return PyModuleDef_Init(&definition);
}

PyObject* module_dict() noexcept { return state.dict; }
PyObject* builtins_module() noexcept { return state.builtins; }
const char* module_qualified_name() noexcept { return state.def->qualified_name; }

bool bind_global(const Name& name, PyObject* value) { return PyDict_SetItem(state.dict, name, value) == 0; }

}  // namespace frame
