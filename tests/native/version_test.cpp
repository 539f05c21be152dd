// The interpreter version check, without an interpreter.
#include <cstdio>
#include <string>

#include "frame/version.hpp"

static int failures = 0;

static void expect(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

static void expect_equal(const std::string& got, const std::string& wanted, const char* what) {
    if (got != wanted) {
        std::printf("FAILED: %s\n  got:    %s\n  wanted: %s\n", what, got.c_str(), wanted.c_str());
        ++failures;
    }
}

int main() {
    using frame::runtime_version;
    using frame::version_matches;
    using frame::version_warning;

    expect(version_matches("3.9", "3.9.7 (default, Sep 10 2021, 14:59:43)"), "3.9.7 is a 3.9");
    expect(version_matches("3.9", "3.9+ (heads/3.9:abc)"), "a 3.9 development text is a 3.9");
    expect(version_matches("3.9", "3.9"), "the bare text matches");
    expect(!version_matches("3.9", "3.10.1 (main)"), "3.10.1 is not a 3.9");
    expect(!version_matches("3.1", "3.10.1 (main)"), "3.10 is not a 3.1");
    expect(version_matches("3.10", "3.10.1 (main)"), "3.10.1 is a 3.10");
    expect(!version_matches("3.10", "3.1"), "a shorter text does not match");
    expect(!version_matches("3.9", ""), "an empty text does not match");

    expect_equal(runtime_version("3.10.1 (main, Jan 1 2022)"), "3.10", "four characters at most");
    expect_equal(runtime_version("3.9.18 (main)"), "3.9", "stops at the second dot");
    expect_equal(runtime_version("3.13rc1"), "3.13", "stops after four characters");
    expect_equal(runtime_version("3.9+"), "3.9", "stops at another character");
    expect_equal(runtime_version(""), "", "nothing from nothing");

    expect_equal(version_warning("3.9", "3.10.1 (main)", "mirvane.replay"),
                 "compile time version 3.9 of module 'mirvane.replay' does not match runtime version 3.10",
                 "the warning for a 3.9 build under 3.10.1");
    std::string long_name(150, 'm');
    expect_equal(version_warning("3.9", "3.12.0", long_name.c_str()),
                 "compile time version 3.9 of module '" + std::string(100, 'm') +
                     "' does not match runtime version 3.12",
                 "the module name is cut to 100 characters");

    std::printf("%s\n", failures ? "version check: FAILED" : "version check: ok");
    return failures ? 1 : 0;
}
