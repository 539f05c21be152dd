// Process-wide constants: the names, texts and numbers a module uses, made once
// when it initialises, and the built-ins it captures then.
//
// Declare them at namespace scope, e.g. `frame::Name os{"os"};`. Each registers
// itself when the shared object loads; the module's exec step makes them all.
#pragma once

#include "frame/ref.hpp"

namespace frame {

class Constant {
public:
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }

    // Makes every registered constant not made yet: texts first, then numbers.
    static bool make_all();

protected:
    enum class Phase { Text, Number };
    explicit Constant(Phase phase) noexcept;
    virtual Ref make() const = 0;

private:
    Phase phase_;
    PyObject* object_ = nullptr;  // never released: it lives as long as the process
    Constant* next_;
    static Constant* first_;
};

// A str, interned, with its hash computed, so lookups compare by identity first.
class Name final : public Constant {
public:
    explicit Name(const char* text) noexcept : Constant(Phase::Text), text_(text) {}
    const char* text() const noexcept { return text_; }

private:
    Ref make() const override;
    const char* text_;
};

class Int final : public Constant {
public:
    explicit Int(long value) noexcept : Constant(Phase::Number), value_(value) {}

private:
    Ref make() const override;
    long value_;
};

class Float final : public Constant {
public:
    explicit Float(double value) noexcept : Constant(Phase::Number), value_(value) {}

private:
    Ref make() const override;
    double value_;
};

// A built-in taken once when the module initialises, so that later changes to
// the builtins module do not change what the module's methods call. Declare
// one per built-in a module captures, e.g. `frame::Builtin open{"open"};`.
class Builtin {
public:
    explicit Builtin(const char* name) noexcept;
    Builtin(const Builtin&) = delete;
    Builtin& operator=(const Builtin&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }

    // Looks AssertionError up in `builtins`, then every registered built-in,
    // in declaration order; NameError for one that is missing.
    static bool capture_all(PyObject* builtins);

    // What a failed assertion raises (ops.hpp): every module captures it.
    static Builtin assertion_error;

private:
    struct Unlisted {};
    Builtin(const char* name, Unlisted) noexcept : name_(name), next_(nullptr) {}
    bool capture(PyObject* builtins);

    Name name_;
    Kept object_;
    Builtin* next_;
    static Builtin* first_;
    static Builtin** last_next_;  // where the next one registered is linked
};

}  // namespace frame
