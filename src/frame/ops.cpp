#include "frame/ops.hpp"

#include "frame/call.hpp"
#include "frame/compat.hpp"
#include "frame/constants.hpp"

namespace frame {

namespace {

Name items_name{"items"};
Name values_name{"values"};
Name enter_name{"__enter__"};
Name exit_name{"__exit__"};
Name class_getitem_name{"__class_getitem__"};
Name lower_name{"lower"};
Name endswith_name{"endswith"};

// obj.name(), where a type using the generic attribute protocol is searched
// first and then the instance dict.
Ref call_view_method(PyObject* object, PyObject* name) {
    PyTypeObject* type = Py_TYPE(object);
    if (type->tp_getattro != PyObject_GenericGetAttr) return method(object, name);
    Ref found = Ref::borrow(compat::type_lookup(type, name));
    if (found) {
        if (PyType_HasFeature(Py_TYPE(found.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) return call(found, object);
        if (descrgetfunc get = Py_TYPE(found.get())->tp_descr_get) {
            found = Ref::steal(get(found.get(), object, reinterpret_cast<PyObject*>(type)));
        }
        return call(found);
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(object, nullptr));
    if (dict) {
        found = Ref::borrow(PyDict_GetItemWithError(dict.get(), name));
        if (found) return call(found);
        if (PyErr_Occurred()) return {};
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();  // it has no instance dict
    }
    PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%U'", type->tp_name, name);
    return {};
}

// type(object).name bound to object, as the with statement finds it.
Ref special_method(PyObject* object, PyObject* name) {
    PyObject* found = compat::type_lookup(Py_TYPE(object), name);
    if (!found) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return {};
    }
    if (descrgetfunc get = Py_TYPE(found)->tp_descr_get) {
        return Ref::steal(get(found, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
    }
    return Ref::borrow(found);
}

Ref item_of_sequence(PyObject* sequence, Py_ssize_t index) {
    bool is_list = PyList_CheckExact(sequence);
    Py_ssize_t size = is_list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
    if (index < 0) index += size;
    if (index < 0 || index >= size) {
        PyErr_SetString(PyExc_IndexError, is_list ? "list index out of range" : "tuple index out of range");
        return {};
    }
    return Ref::borrow(is_list ? PyList_GET_ITEM(sequence, index) : PyTuple_GET_ITEM(sequence, index));
}

}  // namespace

bool assertions_enabled() noexcept { return !compat::optimizing(); }

bool assert_true(const Ref& condition) {
    int holds = truth(condition);
    if (holds == 0) PyErr_SetNone(Builtin::assertion_error);
    return holds > 0;
}

bool assert_lower_endswith(PyObject* text, Global& suffix) {
    Ref lowered = frame::method(text, lower_name);
    if (!lowered) return false;
    Ref wanted = suffix.get();
    if (!wanted) return false;
    return assert_true(lowered.method(endswith_name, wanted));
}

bool raise_os_error(int number, const char* reason, PyObject* path) {
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", number, reason, path));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return false;
}

bool expect_exact(PyObject* value, PyTypeObject* type, bool none_ok) noexcept {
    if (Py_TYPE(value) == type || (none_ok && value == Py_None)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

bool DictWalk::start(PyObject* object) {
    const char* view_text = view_ == View::Items ? "items" : "values";
    if (object == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", view_text);
        return false;
    }
    if (PyDict_CheckExact(object)) {
        mode_ = Mode::Dict;
        source_ = Ref::borrow(object);
        size_ = PyDict_GET_SIZE(object);
        return true;
    }
    Ref view = call_view_method(object, view_ == View::Items ? items_name : values_name);
    if (!view) return false;
    if (PyList_CheckExact(view.get()) || PyTuple_CheckExact(view.get())) {
        mode_ = Mode::Sequence;
        source_ = view;
        return true;
    }
    mode_ = Mode::Iterator;
    source_ = Ref::steal(PyObject_GetIter(view.get()));
    return bool(source_);
}

int DictWalk::next(Ref& key, Ref& value) {
    switch (mode_) {
        case Mode::Dict: {
            if (PyDict_GET_SIZE(source_.get()) != size_) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
            PyObject* k;
            PyObject* v;
            if (!PyDict_Next(source_.get(), &position_, &k, &v)) return 0;
            key = Ref::borrow(k);
            value = Ref::borrow(v);
            return 1;
        }
        case Mode::Sequence: {
            PyObject* sequence = source_.get();
            Py_ssize_t size = PyList_CheckExact(sequence) ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
            if (position_ >= size) return 0;
            Ref element = item_of_sequence(sequence, position_++);
            return produce(element.get(), key, value);
        }
        case Mode::Iterator: {
            Ref element = Ref::steal(PyIter_Next(source_.get()));
            if (!element) return PyErr_Occurred() ? -1 : 0;
            return produce(element.get(), key, value);
        }
    }
    return -1;
}

int DictWalk::produce(PyObject* element, Ref& key, Ref& value) {
    if (view_ == View::Values) {
        value = Ref::borrow(element);
        return 1;
    }
    return unpack_pair(Ref::borrow(element), key, value) ? 1 : -1;
}

Ref sorted_items(PyObject* object) {
    Ref pairs = Ref::steal(PyList_New(0));
    if (!pairs) return {};
    bool taken = for_each_item(object, [&](const Ref& key, const Ref& value) {
        Ref pair = Ref::steal(PyTuple_Pack(2, key.get(), value.get()));
        return pair && PyList_Append(pairs.get(), pair.get()) == 0;
    });
    if (!taken || PyList_Sort(pairs.get()) < 0) return {};
    return pairs;
}

bool unpack_pair(const Ref& pair, Ref& first, Ref& second) {
    if (!pair) return false;
    PyObject* object = pair.get();
    auto too_few = [](Py_ssize_t got) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
        return false;
    };
    auto too_many = [] {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        return false;
    };
    if (PyTuple_CheckExact(object)) {
        Py_ssize_t size = PyTuple_GET_SIZE(object);
        if (size < 2) return too_few(size);
        if (size > 2) return too_many();
        first = Ref::borrow(PyTuple_GET_ITEM(object, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(object, 1));
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    Ref values[2];
    for (Py_ssize_t got = 0; got < 2; ++got) {
        values[got] = Ref::steal(PyIter_Next(iterator.get()));
        if (!values[got]) return PyErr_Occurred() ? false : too_few(got);
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) return too_many();
    if (PyErr_Occurred()) return false;
    first = values[0];
    second = values[1];
    return true;
}

Ref item(PyObject* object, PyObject* key) {
    PyTypeObject* type = Py_TYPE(object);
    if ((PyList_CheckExact(object) || PyTuple_CheckExact(object)) && PyIndex_Check(key)) {
        Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (index == -1 && PyErr_Occurred()) return {};
        return item_of_sequence(object, index);
    }
    if (type->tp_as_mapping && type->tp_as_mapping->mp_subscript) {
        return Ref::steal(type->tp_as_mapping->mp_subscript(object, key));
    }
    if (type->tp_as_sequence && type->tp_as_sequence->sq_item) {
        if (!PyIndex_Check(key)) {
            PyErr_Format(PyExc_TypeError, "sequence index must be integer, not '%.200s'", Py_TYPE(key)->tp_name);
            return {};
        }
        Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (index == -1 && PyErr_Occurred()) return {};
        return Ref::steal(PySequence_GetItem(object, index));
    }
    if (PyType_Check(object)) {
        Ref hook = Ref::steal(PyObject_GetAttr(object, class_getitem_name));
        if (hook) return call(hook, key);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
    }
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", type->tp_name);
    return {};
}

Ref With::enter(const Ref& manager) {
    if (!manager) return {};
    exit_ = special_method(manager.get(), exit_name);
    if (!exit_) return {};
    Ref enter = special_method(manager.get(), enter_name);
    if (!enter) return {};
    return call(enter);
}

bool With::exit(bool completed) {
    if (completed) return bool(call(exit_, Py_None, Py_None, Py_None));

    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref error_type = Ref::steal(type), error = Ref::steal(value), error_traceback = Ref::steal(traceback);
    if (error_traceback) PyException_SetTraceback(error.get(), error_traceback.get());

    Ref result = call(exit_, error_type, error, error_traceback ? error_traceback.get() : Py_None);
    int swallow = truth(result);
    if (swallow < 0) {
        // An error in __exit__ replaces the block's, which becomes its context.
        PyObject *new_type, *new_value, *new_traceback;
        PyErr_Fetch(&new_type, &new_value, &new_traceback);
        PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
        if (new_value && new_value != error.get()) PyException_SetContext(new_value, error.release());
        PyErr_Restore(new_type, new_value, new_traceback);
        return false;
    }
    if (swallow) return true;
    PyErr_Restore(error_type.release(), error.release(), error_traceback.release());
    return false;
}

}  // namespace frame
