// The module definition and its two initialisation steps (create, exec), for
// an extension module that is one part of a package. Each shared object
// defines exactly one module; the frame keeps its process-wide state.
#pragma once

#include "frame/constants.hpp"
#include "frame/traceback.hpp"

namespace frame {

struct ModuleDef {
    const char* name;            // the last component, e.g. "replay"
    const char* qualified_name;  // the full dotted name, e.g. "pkg.replay"
    Result (*statements)();      // the module's own statements: imports, constants, classes
};

// The value of the module's PyInit_<name>: the definition, ready for
// multi-phase initialisation.
PyObject* init_module(const ModuleDef& def);

// The state the exec step prepared, for the module's methods.
PyObject* module_dict() noexcept;
PyObject* builtins_module() noexcept;
const char* module_qualified_name() noexcept;

// Binds `value` under `name` in the module dict.
bool bind_global(const Name& name, PyObject* value);

}  // namespace frame
