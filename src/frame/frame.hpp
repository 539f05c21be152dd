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
