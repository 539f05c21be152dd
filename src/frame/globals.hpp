// Module globals looked up while a method runs: the module dict, then the
// builtins module, else NameError. Each use site keeps its own cache, valid
// while the module dict is unchanged, so rebinding a global takes effect at
// the next use. Declare one per site, as a function-local static:
//
//     static frame::Global os{names::os};
//     Ref parts = os.get().attr(names::path).method(names::split, file);
#pragma once

#include <cstdint>

#include "frame/constants.hpp"

namespace frame {

class Global {
public:
    explicit Global(const Name& name) noexcept : name_(name) {}
    Global(const Global&) = delete;
    Global& operator=(const Global&) = delete;

    Ref get();

private:
    const Name& name_;
    uint64_t version_ = 0;
    Kept value_;
};

}  // namespace frame
