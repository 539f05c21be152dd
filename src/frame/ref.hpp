// Owned references. Every PyObject* a body owns lives in a Ref; a failure is an
// empty Ref with the interpreter's exception pending, as CPython itself does.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace frame {

class Ref;

// A keyword argument for the call helpers: name=value.
struct Kw {
    PyObject* name;
    PyObject* value;
};

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept {
        Ref ref;
        ref.object_ = object;
        return ref;
    }
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return steal(object);
    }
    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Chained operations (call.hpp, ops.hpp). Each yields an empty Ref when this one is
    // empty or the operation fails, so `a.attr(x).method(y, z)` fails at the
    // first step that fails. Arguments must be values already checked.
    Ref attr(PyObject* name) const;
    template <class... Args>
    Ref operator()(const Args&... args) const;
    template <class... Args>
    Ref method(PyObject* name, const Args&... args) const;
    Ref item(PyObject* key) const;  // ops.hpp

private:
    PyObject* object_ = nullptr;
};

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

inline PyObject* raw(PyObject* object) noexcept { return object; }
inline PyObject* raw(const Ref& ref) noexcept { return ref.get(); }

// A reference held for the life of the process. It is never released at exit,
// when the interpreter may already be gone; reset() replaces it while running.
class Kept {
public:
    constexpr Kept() noexcept = default;
    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    void reset(Ref ref = {}) noexcept {
        PyObject* old = object_;
        object_ = ref.release();
        Py_XDECREF(old);
    }

private:
    PyObject* object_ = nullptr;
};

}  // namespace frame
