// The interpreter version check of the exec step, as plain text functions:
// a module belongs to the interpreter version it was built for.
#pragma once

#include <string>

namespace frame {

// Whether `runtime` (the interpreter's version text, e.g. "3.9.7 (main, ...)")
// belongs to `build` ("3.9"): it starts with it and no further digit follows.
bool version_matches(const std::string& build, const char* runtime);

// The leading version of `runtime`: at most four characters, digits and one
// '.', e.g. "3.10" for "3.10.1 ...".
std::string runtime_version(const char* runtime);

// The warning for a module built for `build` running under `runtime`, cut to
// 199 characters.
std::string version_warning(const std::string& build, const char* runtime, const char* module_name);

}  // namespace frame
