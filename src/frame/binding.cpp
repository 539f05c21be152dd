#include "frame/binding.hpp"

namespace frame {

using Result = Signature::Result;

namespace {

bool same_text(PyObject* keyword, PyObject* name) {
    return PyUnicode_Check(keyword) && PyUnicode_GET_LENGTH(keyword) == PyUnicode_GET_LENGTH(name) &&
           PyUnicode_Compare(keyword, name) == 0;
}

// The position of `name` among the keyword names, by identity first, then by
// string equality; -1 when absent.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (same_text(PyTuple_GET_ITEM(kwnames, i), name)) return i;
    }
    return -1;
}

}  // namespace

Result Signature::count_error(Py_ssize_t given, bool too_many) const {
    bool exact = required == count;
    const char* how = exact ? "exactly" : too_many ? "at most" : "at least";
    Py_ssize_t expected = static_cast<Py_ssize_t>(too_many && !exact ? count : required);
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, how, expected,
                 expected == 1 ? "" : "s", given);
    return Result::Failed;
}

Result Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) const {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        Result result = bind_keywords(args, nargs, kwnames, out);
        if (result != Result::Bound) return result;
    } else {
        if (nargs < static_cast<Py_ssize_t>(required)) return count_error(nargs, false);
        if (nargs > static_cast<Py_ssize_t>(count)) return count_error(nargs, true);
        for (size_t i = 0; i < count; ++i) {
            out.values_[i] = i < static_cast<size_t>(nargs) ? args[i] : defaults[i - required];
        }
    }
    return convert_and_check(out);
}

Result Signature::bind_keywords(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) const {
    if (nargs > static_cast<Py_ssize_t>(count)) return count_error(nargs, true);
    PyObject* const* kwvalues = args + nargs;
    size_t first_keyword = static_cast<size_t>(nargs);
    for (size_t i = 0; i < first_keyword; ++i) out.values_[i] = args[i];

    Py_ssize_t taken = 0;
    for (size_t i = first_keyword; i < count; ++i) {
        Py_ssize_t found = find_keyword(kwnames, params[i].name);
        if (found >= 0) {
            out.values_[i] = kwvalues[found];
            ++taken;
        } else if (i < required) {
            return count_error(static_cast<Py_ssize_t>(i), false);
        } else {
            out.values_[i] = defaults[i - required];
        }
    }
    if (taken == PyTuple_GET_SIZE(kwnames)) return Result::Bound;

    // Some keyword was not taken: the first offending one, in call order, decides.
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return Result::Failed;
        }
        size_t match = count;
        for (size_t i = 0; i < count && match == count; ++i) {
            if (keyword == params[i].name.get() || same_text(keyword, params[i].name)) match = i;
        }
        if (match == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, keyword);
            return Result::Failed;
        }
        if (match < first_keyword) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, keyword);
            return Result::Failed;
        }
    }
    return Result::Bound;
}

Result Signature::convert_and_check(Args& out) const {
    for (size_t i = 0; i < count; ++i) {
        if (params[i].kind != Kind::Float) continue;
        PyObject* value = out.values_[i];
        double real = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
        if (real == -1.0 && PyErr_Occurred()) return Result::Failed;
        out.reals_[i] = real;
    }
    for (size_t i = 0; i < count; ++i) {
        PyTypeObject* expected = params[i].kind == Kind::Int   ? &PyLong_Type
                                 : params[i].kind == Kind::Str ? &PyUnicode_Type
                                                               : nullptr;
        PyObject* value = out.values_[i];
        if (!expected || Py_TYPE(value) == expected) continue;
        if (value == Py_None && i >= required && defaults[i - required] == Py_None) continue;
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     params[i].name.text(), expected->tp_name, Py_TYPE(value)->tp_name);
        return Result::WrongType;
    }
    return Result::Bound;
}

}  // namespace frame
