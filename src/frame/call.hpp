// Calls from method bodies: vectorcall end to end, no argument tuple or keyword
// dict where the callee does not need one.
//
//   call(f, a, b)                      f(a, b)
//   call(f, a, kw(names::fps, fps))    f(a, fps=fps)
//   method(obj, names::name)           obj.name()
//
// Arguments are PyObject* or Ref values that are already checked; keyword
// arguments come after the positional ones.
#pragma once

#include <cstddef>
#include <type_traits>

#include "frame/ref.hpp"

namespace frame {

inline Kw kw(PyObject* name, PyObject* value) noexcept { return {name, value}; }
inline Kw kw(PyObject* name, const Ref& value) noexcept { return {name, value.get()}; }

// Calls `callable` with args[0..nargs) followed by the keyword values named by
// `kwnames`. The callee's own vectorcall is used when it has one; a nesting
// beyond the recursion limit and a NULL result without an exception are
// reported as the interpreter reports them for calls from native code.
Ref invoke(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// obj.name(args...): the attribute is read with the object's own attribute
// protocol; a method found on its type (or a bound method) is called as its
// function with `self` put first. args[-1] must be writable.
Ref invoke_method(PyObject* self, PyObject* name, PyObject** args, size_t nargs, PyObject* kwnames);

namespace detail {

template <class T>
inline constexpr bool is_kw = std::is_same_v<std::decay_t<T>, Kw>;

// Whether no positional argument follows a keyword argument.
template <class... Args>
constexpr bool keywords_last() {
    constexpr bool keyword[] = {is_kw<Args>..., true};
    for (size_t i = 0; i + 1 < sizeof...(Args); ++i) {
        if (keyword[i] && !keyword[i + 1]) return false;
    }
    return true;
}

// The vectorcall layout of one call: slot 0 free for a `self`, then the
// positional values, then the keyword values, and the tuple of keyword names.
template <class... Args>
struct Stack {
    static constexpr size_t size = sizeof...(Args);
    static constexpr size_t keywords = (size_t{0} + ... + size_t{is_kw<Args>});
    static constexpr size_t positional = size - keywords;
    static_assert(keywords_last<Args...>(), "keyword arguments come last");

    PyObject* slots[size + 1] = {};
    Ref kwnames;
    bool complete = true;

    explicit Stack(const Args&... args) {
        [[maybe_unused]] size_t index = 1;
        (put(index, args), ...);
        if constexpr (keywords > 0) {
            if (!complete) return;
            kwnames = Ref::steal(PyTuple_New(keywords));
            if (!kwnames) {
                complete = false;
                return;
            }
            size_t k = 0;
            (name(k, args), ...);
        }
    }
    void put(size_t& index, PyObject* value) {
        complete = complete && value;
        slots[index++] = value;
    }
    void put(size_t& index, const Ref& value) { put(index, value.get()); }
    void put(size_t& index, const Kw& value) { put(index, value.value); }
    template <class T>
    void name(size_t& k, const T& value) {
        if constexpr (is_kw<T>) {
            Py_INCREF(value.name);
            PyTuple_SET_ITEM(kwnames.get(), k++, value.name);
        }
    }
};

}  // namespace detail

template <class... Args>
Ref call(PyObject* callable, const Args&... args) {
    if (!callable) return {};
    detail::Stack<Args...> stack(args...);
    if (!stack.complete) return {};
    return invoke(callable, stack.slots + 1, stack.positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                  stack.kwnames.get());
}

template <class... Args>
Ref method(PyObject* self, PyObject* name, const Args&... args) {
    if (!self) return {};
    detail::Stack<Args...> stack(args...);
    if (!stack.complete) return {};
    return invoke_method(self, name, stack.slots + 1, stack.positional, stack.kwnames.get());
}

template <class... Args>
Ref call(const Ref& callable, const Args&... args) {
    return call(callable.get(), args...);
}

template <class... Args>
Ref method(const Ref& self, PyObject* name, const Args&... args) {
    return method(self.get(), name, args...);
}

inline Ref Ref::attr(PyObject* name) const {
    if (!object_) return {};
    return steal(PyObject_GetAttr(object_, name));
}

template <class... Args>
Ref Ref::operator()(const Args&... args) const {
    return call(object_, args...);
}

template <class... Args>
Ref Ref::method(PyObject* name, const Args&... args) const {
    return frame::method(object_, name, args...);
}

}  // namespace frame
