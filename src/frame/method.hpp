// The method function type: a native function that looks and binds like a
// Python function (name, qualified name, module, defaults, annotations as text,
// a code object describing its parameters), called through vectorcall.
#pragma once

#include <initializer_list>
#include <vector>

#include "frame/binding.hpp"
#include "frame/traceback.hpp"

namespace frame {

// The body of a method: runs with the bound arguments (args[0] is self) and
// returns its result, or fails with `return failed();`.
using Body = Result (*)(const Args& args);

struct Annotation {
    const Name& target;  // a parameter, or "return"
    const char* text;    // kept as text, never evaluated
};

struct MethodDef {
    const Name& name;
    std::vector<Param> params;
    // The body's local names: no body needs them, but __code__.co_varnames
    // lists them after the parameters, and callers introspect that.
    std::vector<const Name*> locals;
    std::vector<Annotation> annotations;
    Body body;
    const char* file = __builtin_FILE();
    int line = __builtin_LINE();
};

// Makes the method object for `def` as a member of class `class_name` of the
// current module; `defaults` are the values of its trailing optional parameters.
Ref make_method(const MethodDef& def, const char* class_name, std::initializer_list<PyObject*> defaults = {});

struct Member {
    const MethodDef& def;
    std::initializer_list<PyObject*> defaults = {};
};

// Makes a class as the interpreter's type(name, (), namespace) does, its
// namespace holding __module__, __qualname__ and the methods in order.
Ref make_class(const char* name, std::initializer_list<Member> members);

}  // namespace frame
