#pragma once

// A test program that one of its own tests starts again as a helper process.
// The child mode is entered before the first test runs, from a global test
// environment: when `variable` is in the environment the program runs `body`
// with its value instead of any test and exits with the code `body` gives.
// The helper is no test of its own, so test discovery never lists it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace lockstep::testing {

using ChildBody = int (*)(const char* value);

struct ChildMode final : ::testing::Environment {
    ChildMode(const char* name, ChildBody run) : variable(name), body(run) {}
    void SetUp() override {
        if (const char* value = std::getenv(variable)) std::_Exit(body(value));
    }
    const char* variable;
    ChildBody body;
};

// Registers a child mode; meant for a namespace-scope constant. The child is
// started with no --gtest_filter, so that gtest sets up its environments.
// gtest takes ownership of the environment and deletes it at the end.
inline ::testing::Environment* addChildMode(const char* variable, ChildBody body) {
    return ::testing::AddGlobalTestEnvironment(
        std::make_unique<ChildMode>(variable, body).release());
}

}  // namespace lockstep::testing
