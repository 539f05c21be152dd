// Module globals looked up while a method runs: the module dict, then the
// builtins module, else NameError. Each Global keeps the last result, valid
// while the module dict is unchanged, so rebinding a global takes effect at
// the next use. Declare one per global, at namespace scope, and use it at
// every site; the statements that bind it take it as its name:
//
//     inline frame::Global os{"os"};
//     import_module(os);
//     Ref parts = os.get().attr(name::path).method(name::split, file);
#pragma once

#include <cstdint>

#include "frame/constants.hpp"

namespace frame {

class Global {
public:
    explicit Global(const char* name) noexcept : name_(name) {}
    Global(const Global&) = delete;
    Global& operator=(const Global&) = delete;

    operator const Name&() const noexcept { return name_; }
    Ref get();

private:
    Name name_;
    uint64_t version_ = 0;
    Kept value_;
};

}  // namespace frame
