#include "frame/globals.hpp"

#include "frame/compat.hpp"
#include "frame/module.hpp"

namespace frame {

Ref Global::get() {
    PyObject* dict = module_dict();
    uint64_t version = compat::dict_version(dict);
    if (value_ && version != 0 && version == version_) return Ref::borrow(value_);

    Ref value = Ref::borrow(PyDict_GetItemWithError(dict, name_));
    if (!value) {
        if (PyErr_Occurred()) return {};
        value = Ref::steal(PyObject_GetAttr(builtins_module(), name_));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.get());
            return {};
        }
    }
    value_.reset(value);
    version_ = version;
    return value;
}

}  // namespace frame
