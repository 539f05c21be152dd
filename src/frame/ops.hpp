// The few interpreter operations method bodies need beyond calls, each with
// the errors and messages the interpreter gives for the same statement.
#pragma once

#include "frame/globals.hpp"
#include "frame/ref.hpp"

namespace frame {

// Holds the pending exception aside while other work runs; restore() puts it
// back. Not restored, it is dropped (and an error raised meanwhile stays).
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    void restore() noexcept {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
};

// Assertions run unless the interpreter runs with -O.
bool assertions_enabled() noexcept;

// The truth value of a result: 1, 0, or -1 when it failed or the test fails.
inline int truth(const Ref& value) { return value ? PyObject_IsTrue(value.get()) : -1; }

// `assert condition`: a false truth test raises the AssertionError captured at
// import, with no message. Gives whether the condition held (false with an
// exception).
bool assert_true(const Ref& condition);

// `assert text.lower().endswith(suffix)`, with `suffix` a module global
// (an extension, say) read after lowering, as the statement does.
bool assert_lower_endswith(PyObject* text, Global& suffix);

// Raises the OSError subclass that `number` stands for (FileNotFoundError,
// IsADirectoryError, PermissionError, plain OSError for EINVAL), with
// `reason` and naming `path`. Gives false, for `return raise_os_error(...)`.
bool raise_os_error(int number, const char* reason, PyObject* path);

// `value` must be exactly of `type` (None too, when `none_ok`); otherwise
// TypeError "Expected <type>, got <its type>".
bool expect_exact(PyObject* value, PyTypeObject* type, bool none_ok) noexcept;

// `for key, value in object.items()` and `for value in object.values()`: an
// exact dict is walked in place and must not change size meanwhile; anything
// else through its own method and the iteration protocol.
class DictWalk {
public:
    enum class View { Items, Values };
    explicit DictWalk(View view) noexcept : view_(view) {}
    bool start(PyObject* object);
    // 1 with the next entry in key/value (value only for Values), 0 at the
    // end, -1 on failure.
    int next(Ref& key, Ref& value);

private:
    int produce(PyObject* element, Ref& key, Ref& value);
    enum class Mode { Dict, Sequence, Iterator } mode_ = Mode::Dict;
    View view_;
    Ref source_;
    Py_ssize_t position_ = 0;
    Py_ssize_t size_ = 0;
};

template <class Visit>
bool for_each_item(PyObject* object, Visit&& visit) {
    DictWalk walk(DictWalk::View::Items);
    if (!walk.start(object)) return false;
    Ref key, value;
    for (int more; (more = walk.next(key, value)) != 0;) {
        if (more < 0 || !visit(key, value)) return false;
    }
    return true;
}

template <class Visit>
bool for_each_value(PyObject* object, Visit&& visit) {
    DictWalk walk(DictWalk::View::Values);
    if (!walk.start(object)) return false;
    Ref key, value;
    for (int more; (more = walk.next(key, value)) != 0;) {
        if (more < 0 || !visit(value)) return false;
    }
    return true;
}

// `sorted((key, value) for key, value in object.items())`: the pairs taken as
// for_each_item takes them, in a new list sorted by key (unique keys never
// bring their values into the comparison).
Ref sorted_items(PyObject* object);

// `for key, value in sorted(object.items())`
template <class Visit>
bool for_each_sorted_item(PyObject* object, Visit&& visit) {
    Ref pairs = sorted_items(object);
    if (!pairs) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
        if (!visit(Ref::borrow(PyTuple_GET_ITEM(pair, 0)), Ref::borrow(PyTuple_GET_ITEM(pair, 1)))) return false;
    }
    return true;
}

// `first, second = pair`: exactly two values.
bool unpack_pair(const Ref& pair, Ref& first, Ref& second);

// object[key]; lists and tuples indexed directly.
Ref item(PyObject* object, PyObject* key);

inline Ref Ref::item(PyObject* key) const {
    if (!object_) return {};
    return frame::item(object_, key);
}

inline Ref attr(PyObject* object, PyObject* name) { return Ref::steal(PyObject_GetAttr(object, name)); }

// object.name = value, for a value that may be a failed result.
inline bool set_attr(PyObject* object, PyObject* name, const Ref& value) {
    return value && PyObject_SetAttr(object, name, value.get()) == 0;
}

// A `with` block. enter() looks __exit__ and then __enter__ up on the type and
// gives what __enter__ returned; exit() leaves the block, which completed when
// `completed`, else with the pending exception, which __exit__ may swallow.
// It returns whether the statement as a whole succeeded.
class With {
public:
    Ref enter(const Ref& manager);
    bool exit(bool completed);

private:
    Ref exit_;
};

}  // namespace frame
