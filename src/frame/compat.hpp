// The interpreter internals whose form changes between CPython versions, and
// every private interpreter function the frame uses, in one place. Nothing
// else in the frame or the modules tests the version or calls a _Py function.
#pragma once

#include "frame/ops.hpp"
#include "frame/ref.hpp"

#include <frameobject.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030E0000
#error "The module frame supports CPython 3.9 to 3.13 only: build with one of those, or teach src/frame/compat.hpp the internals of this interpreter."
#endif
#ifdef Py_GIL_DISABLED
#error "The module frame needs the global interpreter lock: build with a CPython 3.9 to 3.13 that has one (not a free-threaded build)."
#endif

#if PY_VERSION_HEX >= 0x030D0000
// Still exported, no longer declared in the public headers.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace frame::compat {

// The version text this module was built for, "3.9" for a 3.9 build. A test
// build may claim another one to see the exec step's check at work.
#ifndef FRAME_BUILD_VERSION
#define FRAME_BUILD_VERSION_TEXT(major, minor) #major "." #minor
#define FRAME_BUILD_VERSION_OF(major, minor) FRAME_BUILD_VERSION_TEXT(major, minor)
#define FRAME_BUILD_VERSION FRAME_BUILD_VERSION_OF(PY_MAJOR_VERSION, PY_MINOR_VERSION)
#endif
inline constexpr const char* build_version = FRAME_BUILD_VERSION;

// Private interpreter functions, each with why no public call serves.

// Finds obj.name the way the interpreter's method calls do. On success *method
// holds a new reference; the result tells whether it is an unbound function
// found on the type, to be called with obj put first. Private: the public
// PyObject_VectorcallMethod finds a method the same way, but then checks the
// callee's result itself, so a native callee that returns NULL without an
// exception fails as "<callee> returned NULL without setting an error", not
// with our "NULL result without error in PyObject_Call", and one that returns
// a result with an exception set fails there instead of going on.
inline bool get_method(PyObject* obj, PyObject* name, PyObject** method) {
    return _PyObject_GetMethod(obj, name, method) == 1;
}

// `name` on the type or its bases, without binding: borrowed, or NULL. Private:
// the public PyObject_GetAttr on the type looks at the metatype too and binds
// what it finds to the type; no public call up to 3.13 looks a name up through
// the bases alone.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

#if PY_VERSION_HEX < 0x030C0000
// A number that changes whenever the dict changes, never the same for two
// dicts; 0 when it cannot be told (then nothing may be cached). Here the dict's
// own version tag.
inline uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#else
// From 3.12 the version tag is deprecated (and 3.14 drops it): one dict watcher
// counts the changes of the dicts asked about. Asking about another dict counts
// as a change, so the number tells one dict's changes at a time, which is all
// a module's global lookups ask for.
namespace watch {
inline uint64_t changes = 1;
inline PyObject* watched = nullptr;  // borrowed; forgotten when it goes
inline int watcher = -1;             // -2: none could be had

inline int count(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    if (event == PyDict_EVENT_DEALLOCATED && dict == watched) watched = nullptr;
    ++changes;
    return 0;
}
}  // namespace watch

inline uint64_t dict_version(PyObject* dict) {
    if (dict == watch::watched) return watch::changes;
    if (watch::watcher == -2) return 0;
    if (watch::watcher == -1) watch::watcher = PyDict_AddWatcher(watch::count);
    if (watch::watcher < 0 || PyDict_Watch(watch::watcher, dict) < 0) {
        // The interpreter's few watcher slots are taken: look up every time.
        PyErr_Clear();
        watch::watcher = -2;
        return 0;
    }
    watch::watched = dict;
    return ++watch::changes;
}
#endif

// Whether the interpreter runs with -O (assertions disabled). From 3.12 the
// global flag is deprecated; sys.flags, fixed at start-up, tells the same.
#if PY_VERSION_HEX < 0x030C0000
inline bool optimizing() { return Py_OptimizeFlag != 0; }
#else
inline bool optimizing() {
    static const bool optimize = [] {
        PendingError pending;  // read with no exception pending, and leave none
        PyObject* flags = PySys_GetObject("flags");
        Ref level = flags ? Ref::steal(PyObject_GetAttrString(flags, "optimize")) : Ref{};
        bool on = level && PyLong_AsLong(level.get()) > 0;
        PyErr_Clear();
        pending.restore();
        return on;
    }();
    return optimize;
}
#endif

// The line a traceback entry shows. The code objects of entries are made per
// line with that line as their first, which newer interpreters read directly;
// older ones read the frame's own field.
inline void set_frame_line(PyFrameObject* frame, int line) {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

}  // namespace frame::compat
