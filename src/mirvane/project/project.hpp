// The methods of class Project, in the order of its namespace.
#pragma once

#include "frame/frame.hpp"

namespace mirvane::project {

extern const frame::MethodDef init;
extern const frame::MethodDef to_str;
extern const frame::MethodDef set_workspace;
extern const frame::MethodDef workspace;
extern const frame::MethodDef add_behavior;
extern const frame::MethodDef behaviors;
extern const frame::MethodDef system;
extern const frame::MethodDef save;
extern const frame::MethodDef load;
extern const frame::MethodDef validate;
extern const frame::MethodDef get_snapshot;
extern const frame::MethodDef set_snapshot;

}  // namespace mirvane::project
