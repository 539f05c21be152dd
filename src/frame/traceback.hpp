// Traceback entries. A body that fails returns `failed()`, which carries the
// failing statement's place out with the failure; the function's single exit
// then adds one entry named after the function, at that place, as the
// interpreter prints it.
#pragma once

#include "frame/ref.hpp"

namespace frame {

struct Location {
    const char* file;
    int line;
};

struct Failed {
    Location where;
};

// The failure of the caller's statement; use as `return failed();`.
inline Failed failed(const char* file = __builtin_FILE(), int line = __builtin_LINE()) noexcept {
    return {{file, line}};
}

// What a body gives: its value, or the place where it failed with the
// interpreter's exception pending. The place travels with the result, so
// code run while the body's locals are released cannot change it.
class Result {
public:
    Result(Ref value) noexcept : value_(std::move(value)) {}
    Result(Failed failure) noexcept : where_(failure.where) {}

    explicit operator bool() const noexcept { return bool(value_); }
    PyObject* release() noexcept { return value_.release(); }
    // Where it failed; `fallback` for an empty value that named no place.
    Location where(Location fallback) const noexcept { return where_.file ? where_ : fallback; }

private:
    Ref value_;
    Location where_{nullptr, 0};
};

// Adds the entry `function` (for example "pkg.mod.Class.method") at `where`,
// with `globals` as the frame's globals, to the pending exception's traceback.
void add_traceback(const char* function, Location where, PyObject* globals);

}  // namespace frame
