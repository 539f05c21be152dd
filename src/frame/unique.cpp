#include "frame/unique.hpp"

#include <unistd.h>

namespace frame {

Ref unique_name(PyObject* prefix, const char* suffix) {
    static unsigned long given = 0;
    return Ref::steal(PyUnicode_FromFormat("%U%ld-%lu%s", prefix, static_cast<long>(getpid()), ++given, suffix));
}

}  // namespace frame
