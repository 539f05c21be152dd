#include "frame/version.hpp"

#include <cstdio>
#include <cstring>

namespace frame {

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool version_matches(const std::string& build, const char* runtime) {
    size_t length = build.size() < 4 ? build.size() : 4;
    return std::strncmp(build.c_str(), runtime, length) == 0 && !is_digit(runtime[length]);
}

std::string runtime_version(const char* runtime) {
    std::string version;
    bool dot_seen = false;
    for (size_t i = 0; i < 4 && runtime[i]; ++i) {
        char c = runtime[i];
        if (c == '.') {
            if (dot_seen) break;
            dot_seen = true;
        } else if (!is_digit(c)) {
            break;
        }
        version += c;
    }
    return version;
}

std::string version_warning(const std::string& build, const char* runtime, const char* module_name) {
    char message[200];
    std::snprintf(message, sizeof message, "compile time version %s of module '%.100s' does not match runtime version %s",
                  build.c_str(), module_name, runtime_version(runtime).c_str());
    return message;
}

}  // namespace frame
