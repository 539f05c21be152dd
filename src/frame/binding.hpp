// Binding a call's arguments to a method's parameters: counts, keywords,
// float conversion and exact-type checks, with the interpreter's messages.
#pragma once

#include <cstddef>

#include "frame/constants.hpp"

namespace frame {

// How a parameter's value is checked before the body runs.
enum class Kind {
    Any,    // taken as given
    Int,    // exactly int (bool refused); None only where the default is None
    Str,    // exactly str; None only where the default is None
    Float,  // converted with the interpreter's float conversion
};

struct Param {
    const Name& name;
    Kind kind = Kind::Any;
};

inline constexpr size_t max_params = 8;

// The bound values, in parameter order; a Float parameter's value as a double.
class Args {
public:
    PyObject* operator[](size_t index) const noexcept { return values_[index]; }
    double real(size_t index) const noexcept { return reals_[index]; }

private:
    friend struct Signature;
    PyObject* values_[max_params];
    double reals_[max_params];
};

struct Signature {
    const char* name;  // in messages, e.g. "play"
    const Param* params;
    size_t count;
    size_t required;              // the parameters without a default come first
    PyObject* const* defaults;    // for params[required..count)

    enum class Result { Bound, Failed, WrongType };

    // Binds a vectorcall's arguments. Failed: a count, keyword or conversion
    // error; WrongType: an exact-type check failed. Either leaves an exception.
    Result bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) const;

private:
    Result count_error(Py_ssize_t given, bool too_many) const;
    Result bind_keywords(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) const;
    Result convert_and_check(Args& out) const;
};

}  // namespace frame
