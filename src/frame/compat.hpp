// The interpreter internals whose form changes between CPython versions, in one
// place. Nothing else in the frame or the modules tests the version.
#pragma once

#include "frame/ref.hpp"

#include <frameobject.h>

#include <cstdint>

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

// Finds obj.name the way the interpreter's method calls do. On success *method
// holds a new reference; the result tells whether it is an unbound function
// found on the type, to be called with obj put first.
inline bool get_method(PyObject* obj, PyObject* name, PyObject** method) {
    return _PyObject_GetMethod(obj, name, method) == 1;
}

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

// A tag that changes whenever the dict changes; tags are unique across dicts.
inline uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// Whether the interpreter runs with -O (assertions disabled).
inline bool optimizing() { return Py_OptimizeFlag != 0; }

#if defined(__GNUC__)
#pragma GCC diagnostic pop
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
