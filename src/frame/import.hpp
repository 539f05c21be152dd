// Imports made by a module's statements: absolute, through the interpreter's
// __import__ machinery, with the module dict as globals; the names they bind
// go into the module dict.
#pragma once

#include <functional>
#include <initializer_list>

#include "frame/constants.hpp"

namespace frame {

// import <module> as <local>
bool import_module(const Name& module, const Name& local);

// import <module>
inline bool import_module(const Name& module) { return import_module(module, module); }

// from <module> import <names...>, each bound under its own name, in order.
bool import_from(const Name& module, std::initializer_list<std::reference_wrapper<const Name>> names);

}  // namespace frame
