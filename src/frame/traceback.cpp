#include "frame/traceback.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "frame/compat.hpp"
#include "frame/ops.hpp"

namespace frame {

namespace {

// One empty code object per failing location, made on first use and kept.
struct CodeEntry {
    std::string function;
    const char* file;
    int line;
    PyCodeObject* code;  // never released
};

std::vector<CodeEntry>& code_entries() {
    static auto* entries = new std::vector<CodeEntry>();  // outlives every exit-time destructor
    return *entries;
}

PyCodeObject* code_for(const char* function, Location where) {
    for (const CodeEntry& entry : code_entries()) {
        if (entry.line == where.line && std::strcmp(entry.file, where.file) == 0 && entry.function == function) {
            return entry.code;
        }
    }
    PyCodeObject* code = PyCode_NewEmpty(where.file, function, where.line);
    if (code) code_entries().push_back({function, where.file, where.line, code});
    return code;
}

}  // namespace

void add_traceback(const char* function, Location where, PyObject* globals) {
    Ref frame;
    {
        // The code object and the frame are made with no exception pending; an
        // error while making them replaces the pending one and adds no entry.
        PendingError pending;
        PyCodeObject* code = code_for(function, where);
        if (!code) return;
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, globals, nullptr)));
        if (!frame) return;
        pending.restore();
    }
    auto* py_frame = reinterpret_cast<PyFrameObject*>(frame.get());
    compat::set_frame_line(py_frame, where.line);
    PyTraceBack_Here(py_frame);
}

}  // namespace frame
