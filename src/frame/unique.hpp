// New files and directories under names of this process's own, beside files
// of other processes that may have taken a name first.
#pragma once

#include "frame/ref.hpp"

namespace frame {

// `prefix`, then "<process id>-<count>", then `suffix`: a name not given out
// before in this process.
Ref unique_name(PyObject* prefix, const char* suffix);

// Calls `create(name)` with unique names until it gives something: `create`
// makes the file or directory (open with "x", mkdir) and fails with
// FileExistsError when the name is taken. A taken name is another process's,
// not ours to remove: the next is tried, up to 100. Gives what `create` gave.
template <class Create>
Ref create_unique(PyObject* prefix, const char* suffix, Create create) {
    for (int attempt = 1;; ++attempt) {
        Ref name = unique_name(prefix, suffix);
        Ref made = name ? create(name.get()) : Ref{};
        if (made || attempt == 100 || !PyErr_ExceptionMatches(PyExc_FileExistsError)) return made;
        PyErr_Clear();
    }
}

}  // namespace frame
