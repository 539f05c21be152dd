// A module on the frame that claims to be built for another interpreter
// version, to see the exec step's version check from Python.
#include "frame/frame.hpp"

static frame::Result statements() { return frame::none(); }

PyMODINIT_FUNC PyInit_frame_probe() {
    static const frame::ModuleDef definition{"frame_probe", "frame_probe", statements};
    return frame::init_module(definition);
}
