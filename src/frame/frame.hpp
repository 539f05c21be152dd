// Everything a module built on the frame uses.
#pragma once

#include "frame/binding.hpp"
#include "frame/call.hpp"
#include "frame/constants.hpp"
#include "frame/globals.hpp"
#include "frame/import.hpp"
#include "frame/method.hpp"
#include "frame/module.hpp"
#include "frame/ops.hpp"
#include "frame/ref.hpp"
#include "frame/traceback.hpp"
#include "frame/unique.hpp"

// The frame's words a module's files use unqualified, with
// `using namespace frame::prelude;` in the module's namespace.
namespace frame::prelude {
using frame::Args;
using frame::Builtin;
using frame::failed;
using frame::Float;
using frame::Global;
using frame::Int;
using frame::Kind;
using frame::Name;
using frame::Ref;
using frame::Result;
}  // namespace frame::prelude
