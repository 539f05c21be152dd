#include "frame/import.hpp"

#include "frame/module.hpp"

namespace frame {

namespace {

Name spec_name{"__spec__"};
Name initializing_name{"_initializing"};
Name dunder_name{"__name__"};

Ref import_through_machinery(PyObject* name, PyObject* fromlist) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(name, module_dict(), locals.get(), fromlist, 0));
}

// Reads `object.name`; a missing attribute gives an empty Ref and no error.
Ref optional_attribute(PyObject* object, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(object, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return value;
}

// Whether a module found in sys.modules is still running its own import.
int still_initialising(PyObject* module) {
    Ref spec = optional_attribute(module, spec_name);
    if (!spec) return PyErr_Occurred() ? -1 : 0;
    Ref initialising = optional_attribute(spec.get(), initializing_name);
    if (!initialising) return PyErr_Occurred() ? -1 : 0;
    return PyObject_IsTrue(initialising.get());
}

// The attribute `name` of `module`, else the loaded submodule module.name,
// else ImportError.
Ref imported_name(PyObject* module, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref module_name = Ref::steal(PyObject_GetAttr(module, dunder_name));
    if (module_name && PyUnicode_Check(module_name.get())) {
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        if (!full_name) return {};
        value = Ref::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), full_name.get()));
        if (value || PyErr_Occurred()) return value;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

}  // namespace

bool import_module(const Name& module, const Name& local) {
    Ref found = Ref::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), module));
    if (!found && PyErr_Occurred()) return false;
    if (found) {
        int initialising = still_initialising(found.get());
        if (initialising < 0) return false;
        if (initialising) found = Ref{};
    }
    if (!found) found = import_through_machinery(module, nullptr);
    return found && bind_global(local, found.get());
}

bool import_from(const Name& module, std::initializer_list<std::reference_wrapper<const Name>> names) {
    Ref fromlist = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) return false;
    Py_ssize_t index = 0;
    for (const Name& name : names) {
        Py_INCREF(name.get());
        PyList_SET_ITEM(fromlist.get(), index++, name.get());
    }
    Ref imported = import_through_machinery(module, fromlist.get());
    if (!imported) return false;
    for (const Name& name : names) {
        Ref value = imported_name(imported.get(), name);
        if (!value || !bind_global(name, value.get())) return false;
    }
    return true;
}

}  // namespace frame
