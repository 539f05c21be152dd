// The methods of class Replay, in the order of its namespace.
#pragma once

#include "frame/frame.hpp"

namespace mirvane::replay {

extern const frame::MethodDef init;
extern const frame::MethodDef set_project;
extern const frame::MethodDef set_data;
extern const frame::MethodDef set_viewer;
extern const frame::MethodDef play;

}  // namespace mirvane::replay
