// Traceback entries. A body that fails returns `failed()`, which notes the
// failing statement's place; the function's single exit then adds one entry
// named after the function, at that place, as the interpreter prints it.
#pragma once

#include "frame/ref.hpp"

namespace frame {

struct Location {
    const char* file;
    int line;
};

// The empty result of a failed step: an empty Ref, or false.
struct Failed {
    operator Ref() const noexcept { return {}; }
    operator bool() const noexcept { return false; }
};

// Notes the caller's place as the failing location; use as `return failed();`.
Failed failed(const char* file = __builtin_FILE(), int line = __builtin_LINE()) noexcept;

// The location noted since the last take, or `fallback` when none was.
Location take_failure_location(Location fallback) noexcept;

// Adds the entry `function` (for example "pkg.mod.Class.method") at `where`,
// with `globals` as the frame's globals, to the pending exception's traceback.
void add_traceback(const char* function, Location where, PyObject* globals);

}  // namespace frame
