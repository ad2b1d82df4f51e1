// The installed program itself: its entry point wires the real services and
// maps results to exit statuses.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl_fixture.h"
#include "platform/process.h"

namespace lockstep::testing {
namespace {

using ::testing::HasSubstr;

struct Invocation {
    int status = -1;
    std::string out;
    std::string err;
};

Invocation runLockstepctl(const std::vector<std::string>& arguments) {
    SpawnResult spawned = spawnProcess({.program = LOCKSTEPCTL_BINARY,
                                        .arguments = arguments,
                                        .input = ChildStream::Null,
                                        .output = ChildStream::Pipe,
                                        .error = ChildStream::Pipe});
    EXPECT_TRUE(spawned.process) << spawned.errorDescription();
    if (!spawned.process) {
        return {};
    }
    const ProcessOutput output = spawned.process->communicate();
    const auto status = spawned.process->wait();
    EXPECT_TRUE(status && status->exited);
    return {status ? status->code : -1, toString(output.output), toString(output.error)};
}

TEST(LockstepctlBinary, HelpUsageAndVersion) {
    Invocation run = runLockstepctl({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.out, HasSubstr("status"));
    run = runLockstepctl({"frobnicate"});
    EXPECT_EQ(run.status, 64);
    EXPECT_EQ(run.err, "lockstepctl: unknown command 'frobnicate' (see lockstepctl --help)\n");
    EXPECT_EQ(run.out, "");
    run = runLockstepctl({"--version"});
    EXPECT_THAT(run.out, ::testing::StartsWith("lockstepctl 1."));
}

using LockstepctlBinaryTest = CtlTest;

// An explicit --keychain file is read by the program without touching the
// machine's own keychain or logs.
TEST_F(LockstepctlBinaryTest, ListsAKeychainFile) {
    enrol("alice");
    Invocation run = runLockstepctl({"list", "--keychain", systemKeychainPath().string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("account:      alice"));
    EXPECT_THAT(run.out, ::testing::Not(HasSubstr(kPassword)));
    EXPECT_EQ(run.err, "");

    run = runLockstepctl({"show", "Nothing", "--keychain", systemKeychainPath().string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, ::testing::StartsWith("lockstepctl: no item of service \"Nothing\""));
}

}  // namespace
}  // namespace lockstep::testing
