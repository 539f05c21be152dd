#include "frame/method.hpp"

#include <cstddef>
#include <string>

#include "frame/call.hpp"
#include "frame/module.hpp"
#include "frame/traceback.hpp"

namespace frame {

namespace {

Name module_key{"__module__"};
Name qualname_key{"__qualname__"};
Name replace_name{"replace"};
Name co_argcount{"co_argcount"};
Name co_posonlyargcount{"co_posonlyargcount"};
Name co_kwonlyargcount{"co_kwonlyargcount"};
Name co_nlocals{"co_nlocals"};
Name co_varnames{"co_varnames"};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    Signature signature;
    PyObject* defaults;        // fixed at definition: what calls use
    PyObject* shown_defaults;  // __defaults__: made on first read, replaced by writes
    PyObject* kwdefaults;      // __kwdefaults__ as last written; None while NULL
    PyObject* annotations;     // made on first read when there are none
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* traceback_name;  // module name and qualified name, e.g. "pkg.mod.Class.method"
    PyObject* dict;
    PyObject* weakrefs;
};

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

PyObject* new_ref_or_none(PyObject* object) {
    object = object ? object : Py_None;
    Py_INCREF(object);
    return object;
}

void replace(PyObject*& slot, PyObject* value) {
    Py_XINCREF(value);
    Py_XSETREF(slot, value);
}

void add_entry(Function* function, Location where) {
    if (!function->globals) return;  // cleared by the garbage collector
    const char* name = PyUnicode_AsUTF8(function->traceback_name);
    if (name) add_traceback(name, where, function->globals);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* function = as_function(callable);
    const MethodDef& def = *function->def;
    Location definition{def.file, def.line};
    Args bound;
    switch (function->signature.bind(args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        case Signature::Result::WrongType:
            return nullptr;
        case Signature::Result::Failed:
            add_entry(function, definition);
            return nullptr;
        case Signature::Result::Bound:
            break;
    }
    Result result = def.body(bound);
    if (!result) add_entry(function, result.where(definition));
    return result.release();
}

// Descriptor binding: on an instance, the interpreter's bound method.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance) return new_ref_or_none(self);
    return PyMethod_New(self, instance);
}

// An explicit __get__(instance, owner=None) binds whatever instance it is
// given, None included; only a missing instance yields the function.
PyObject* function_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "__get__ expected 1 or 2 arguments, got %zd", nargs);
        return nullptr;
    }
    return PyMethod_New(self, args[0]);
}

// Pickled by reference, as functions are: the qualified name, found again in
// __module__ when loaded. copy and deepcopy return the function itself.
PyObject* function_reduce(PyObject* self, PyObject*) { return new_ref_or_none(as_function(self)->qualname); }

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->defaults);
    Py_VISIT(f->shown_defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->traceback_name);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    // `defaults` stays: the signature reads the values in it.
    Py_CLEAR(f->shown_defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    Function* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    Py_CLEAR(f->traceback_name);
    PyObject_GC_Del(self);
}

// --- attributes --------------------------------------------------------------

int set_text(PyObject*& slot, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    replace(slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return new_ref_or_none(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) { return new_ref_or_none(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_module(PyObject* self, void*) { return new_ref_or_none(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    replace(as_function(self)->module, value);
    return 0;
}

PyObject* get_doc(PyObject* self, void*) { return new_ref_or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    replace(as_function(self)->doc, value ? value : Py_None);
    return 0;
}

PyObject* get_dict(PyObject* self, void* context) { return PyObject_GenericGetDict(self, context); }
int set_dict(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    replace(as_function(self)->dict, value);
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return new_ref_or_none(as_function(self)->globals); }
PyObject* get_closure(PyObject*, void*) { return new_ref_or_none(nullptr); }
PyObject* get_code(PyObject* self, void*) { return new_ref_or_none(as_function(self)->code); }

// Calls keep the defaults fixed at definition; a write only changes what is
// shown, and says so.
int warn_defaults_unused(PyObject* self, const char* attribute) {
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "setting %s of native function %U does not change the values its calls use", attribute,
                            as_function(self)->qualname);
}

PyObject* get_defaults(PyObject* self, void*) {
    Function* f = as_function(self);
    if (!f->shown_defaults) {
        f->shown_defaults = PyTuple_GET_SIZE(f->defaults) > 0 ? f->defaults : Py_None;
        Py_INCREF(f->shown_defaults);
    }
    return new_ref_or_none(f->shown_defaults);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (warn_defaults_unused(self, "__defaults__") < 0) return -1;
    replace(as_function(self)->shown_defaults, value);
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) { return new_ref_or_none(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (warn_defaults_unused(self, "__kwdefaults__") < 0) return -1;
    replace(as_function(self)->kwdefaults, value == Py_None ? nullptr : value);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return new_ref_or_none(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace(as_function(self)->annotations, value);
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    // Replaces the slot wrapper, which would treat None as a missing instance.
    {"__get__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_get)), METH_FASTCALL | METH_COEXIST,
     nullptr},
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* function_type() {
    static PyTypeObject type;
    if (type.tp_flags & Py_TPFLAGS_READY) return &type;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    // Named under the module that made it ("pkg.mod.native_function"), so that
    // its __module__ tells tools where it comes from. Never freed: the type
    // outlives every exit-time destructor.
    type.tp_name = (new std::string(std::string(module_qualified_name()) + ".native_function"))->c_str();
    type.tp_basicsize = sizeof(Function);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_vectorcall_offset = offsetof(Function, vectorcall);
    type.tp_call = PyVectorcall_Call;
    type.tp_descr_get = function_descr_get;
    type.tp_repr = function_repr;
    type.tp_dealloc = function_dealloc;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_getset = function_getset;
    type.tp_methods = function_methods;
    type.tp_dictoffset = offsetof(Function, dict);
    type.tp_weaklistoffset = offsetof(Function, weakrefs);
    if (PyType_Ready(&type) < 0) return nullptr;
    return &type;
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return {};
    Py_ssize_t index = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(tuple.get(), index++, item);
    }
    return tuple;
}

// __code__: describes the parameters and local names; it is never run.
Ref make_code(const MethodDef& def) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(def.file, def.name.text(), def.line)));
    Py_ssize_t count = static_cast<Py_ssize_t>(def.params.size() + def.locals.size());
    Ref varnames = Ref::steal(PyTuple_New(count));
    if (!code || !varnames) return {};
    Py_ssize_t index = 0;
    for (const Param& param : def.params) {
        Py_INCREF(param.name.get());
        PyTuple_SET_ITEM(varnames.get(), index++, param.name.get());
    }
    for (const Name* local : def.locals) {
        Py_INCREF(local->get());
        PyTuple_SET_ITEM(varnames.get(), index++, local->get());
    }
    Ref argcount = Ref::steal(PyLong_FromSize_t(def.params.size()));
    Ref nlocals = Ref::steal(PyLong_FromSsize_t(count));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!argcount || !nlocals || !zero) return {};
    return code.method(replace_name, kw(co_argcount, argcount), kw(co_posonlyargcount, zero),
                       kw(co_kwonlyargcount, zero), kw(co_nlocals, nlocals), kw(co_varnames, varnames));
}

Ref make_annotations(const MethodDef& def) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const Annotation& annotation : def.annotations) {
        Ref text = Ref::steal(PyUnicode_FromString(annotation.text));
        if (!text || PyDict_SetItem(annotations.get(), annotation.target, text.get()) < 0) return {};
    }
    return annotations;
}

}  // namespace

Ref make_method(const MethodDef& def, const char* class_name, std::initializer_list<PyObject*> defaults) {
    PyTypeObject* type = function_type();
    if (!type) return {};
    if (def.params.size() > max_params || defaults.size() > def.params.size()) {
        PyErr_Format(PyExc_SystemError, "bad parameter table for %s.%s", class_name, def.name.text());
        return {};
    }
    Ref annotations = def.annotations.empty() ? Ref{} : make_annotations(def);
    Ref defaults_tuple = tuple_of(defaults);
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%U", class_name, def.name.get()));
    Ref traceback_name =
        qualname ? Ref::steal(PyUnicode_FromFormat("%s.%U", module_qualified_name(), qualname.get())) : Ref{};
    Ref module_name = Ref::steal(PyUnicode_FromString(module_qualified_name()));
    Ref code = make_code(def);
    if ((!def.annotations.empty() && !annotations) || !defaults_tuple || !traceback_name || !module_name || !code) {
        return {};
    }

    Function* f = PyObject_GC_New(Function, type);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->defaults = defaults_tuple.release();
    f->signature = Signature{def.name.text(), def.params.data(), def.params.size(),
                             def.params.size() - defaults.size(),
                             reinterpret_cast<PyTupleObject*>(f->defaults)->ob_item};
    f->shown_defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = annotations.release();
    f->name = Ref::borrow(def.name).release();
    f->qualname = qualname.release();
    f->module = module_name.release();
    f->doc = Ref::borrow(Py_None).release();
    f->globals = Ref::borrow(module_dict()).release();
    f->code = code.release();
    f->traceback_name = traceback_name.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

Ref make_class(const char* name, std::initializer_list<Member> members) {
    Ref namespace_ = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyUnicode_FromString(module_qualified_name()));
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    if (!namespace_ || !module_name || !qualname || PyDict_SetItem(namespace_.get(), module_key, module_name.get()) < 0 ||
        PyDict_SetItem(namespace_.get(), qualname_key, qualname.get()) < 0) {
        return {};
    }
    for (const Member& member : members) {
        Ref method = make_method(member.def, name, member.defaults);
        if (!method || PyDict_SetItem(namespace_.get(), member.def.name, method.get()) < 0) return {};
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return {};
    return call(reinterpret_cast<PyObject*>(&PyType_Type), qualname, bases, namespace_);
}

}  // namespace frame
