#include "frame/call.hpp"

#include "frame/compat.hpp"

namespace frame {

// The generic call protocol, for callees without vectorcall.
static PyObject* call_through_slot(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (!slot) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callable)->tp_name);
        return nullptr;
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref positional = Ref::steal(PyTuple_New(nargs));
    if (!positional) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(positional.get(), i, args[i]);
    }
    Ref keywords;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
        }
    }
    return slot(callable, positional.get(), keywords.get());
}

Ref invoke(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return {};
    vectorcallfunc vectorcall = PyVectorcall_Function(callable);
    PyObject* result = vectorcall ? vectorcall(callable, args, nargsf, kwnames)
                                  : call_through_slot(callable, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return Ref::steal(result);
}

Ref invoke_method(PyObject* self, PyObject* name, PyObject** args, size_t nargs, PyObject* kwnames) {
    PyObject* found = nullptr;
    // Like the interpreter's own method calls: a function found on the type is
    // not bound first, unless the instance shadows it.
    bool unbound = compat::get_method(self, name, &found);
    Ref function = Ref::steal(found);
    if (!function) return {};
    if (unbound) {
        args[-1] = self;
        return invoke(function.get(), args - 1, nargs + 1, kwnames);
    }
    if (PyMethod_Check(function.get())) {
        args[-1] = PyMethod_GET_SELF(function.get());
        return invoke(PyMethod_GET_FUNCTION(function.get()), args - 1, nargs + 1, kwnames);
    }
    return invoke(function.get(), args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

}  // namespace frame
