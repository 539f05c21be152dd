#include "frame/constants.hpp"

namespace frame {

// Both lists are filled by constructors while the shared object loads; their
// heads are constant-initialised, so they are ready before any constructor runs.
Constant* Constant::first_ = nullptr;
Builtin* Builtin::first_ = nullptr;
Builtin** Builtin::last_next_ = &Builtin::first_;

Constant::Constant(Phase phase) noexcept : phase_(phase), next_(first_) { first_ = this; }

bool Constant::make_all() {
    for (Phase phase : {Phase::Text, Phase::Number}) {
        for (Constant* constant = first_; constant; constant = constant->next_) {
            // After a failed initialisation a new import runs this again; what was
            // made then is still good, and methods made then may hold it.
            if (constant->phase_ != phase || constant->object_) continue;
            Ref object = constant->make();
            if (!object) return false;
            constant->object_ = object.release();
        }
    }
    return true;
}

Ref Name::make() const {
    Ref name = Ref::steal(PyUnicode_InternFromString(text_));
    if (!name || PyObject_Hash(name.get()) == -1) return {};
    return name;
}

Ref Int::make() const { return Ref::steal(PyLong_FromLong(value_)); }

Ref Float::make() const { return Ref::steal(PyFloat_FromDouble(value_)); }

Builtin::Builtin(const char* name) noexcept : name_(name), next_(nullptr) {
    *last_next_ = this;
    last_next_ = &next_;
}

// Not in the list, whose order is the order the shared object's files load in:
// it is captured first.
Builtin Builtin::assertion_error{"AssertionError", Unlisted{}};

bool Builtin::capture(PyObject* builtins) {
    Ref object = Ref::steal(PyObject_GetAttr(builtins, name_));
    if (!object) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.get());
        return false;
    }
    object_.reset(std::move(object));
    return true;
}

bool Builtin::capture_all(PyObject* builtins) {
    if (!assertion_error.capture(builtins)) return false;
    for (Builtin* builtin = first_; builtin; builtin = builtin->next_) {
        if (!builtin->capture(builtins)) return false;
    }
    return true;
}

}  // namespace frame
