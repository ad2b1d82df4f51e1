#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/hardening.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

constexpr auto kPipe = ChildStream::Pipe;

// Starts a helper program with a pipe for its input.
Process start(const char* name, std::vector<std::string> arguments = {}, ChildStream output = kPipe,
              ChildStream error = kPipe) {
    return spawnProcess({std::string(LOCKSTEP_TEST_HELPERS_DIR) + "/" + name, std::move(arguments),
                         kPipe, output, error})
        .process.value();
}

TEST(ProcessTest, ReportsExitStatusSignalOrStartFailure) {
    // Exit statuses, and signals as negative numbers.
    for (const auto& [end, code] : std::vector<std::pair<const char*, int>>{
             {"0", 0}, {"77", 77}, {"s15", -SIGTERM}, {"s9", -SIGKILL}}) {
        Process process = start("noisy_child", {"0", "e", "0", "o", end});
        const auto status = process.wait();
        ASSERT_EQ(status, (ExitStatus{code >= 0, std::abs(code)})) << end;
        EXPECT_EQ(status->success(), code == 0) << end;
        EXPECT_EQ(process.wait(), status) << end;  // asked again: same answer, no second wait
    }
    TempDir dir;
    writeFile(dir / "not-executable", "data", std::filesystem::perms(0644));
    for (const auto& [program, error] : std::vector<std::pair<std::string, int>>{
             {dir / "missing", ENOENT}, {"", ENOENT}, {dir / "not-executable", EACCES}}) {
        const auto spawned = spawnProcess({program, {}, {}, {}, {}});
        EXPECT_FALSE(spawned.process.has_value()) << program;
        EXPECT_EQ(spawned.error, error) << program;
    }
}

TEST(ProcessTest, LargeInputAndOutputFlowTogetherWithoutDeadlock) {
    // 4 MiB through a child that echoes as it reads: the daemon must read
    // while it writes, or both sides stop on full pipes.
    Bytes input(4 * 1024 * 1024 + 3);
    std::iota(input.begin(), input.end(), std::uint8_t{0});
    const ProcessOutput collected = start("cat_stdin").communicate(input);
    EXPECT_TRUE(collected.inputDelivered);
    EXPECT_TRUE(collected.output == input);
    // 1 MiB to standard error before anything on standard output.
    const ProcessOutput both = start("noisy_child", {"1048576", "e", "3", "o"}).communicate();
    EXPECT_TRUE(both.error == Bytes(1048576, 'e') && toString(both.output) == "ooo");
    // Arguments exactly as given; a shared pipe keeps the order.
    EXPECT_EQ(toString(start("print_args", {"one", "", "two words"}).communicate().output),
              "[one]\n[]\n[two words]\n");
    const ProcessOutput shared =
        start("noisy_child", {"2", "e", "3", "o"}, kPipe, ChildStream::ToOutput).communicate();
    EXPECT_TRUE(toString(shared.output) == "eeooo" && shared.error.empty());
}

TEST(ProcessTest, ChildThatExitsWithoutReadingDoesNotKillTheWriter) {
    // Far more than a pipe holds, so the write must meet the closed pipe.
    Process process = start("noisy_child", {"0", "e", "2", "o", "5"});
    const ProcessOutput collected = process.communicate(Bytes(4 * 1024 * 1024, 'x'));
    EXPECT_FALSE(collected.inputDelivered);
    EXPECT_EQ(toString(collected.output), "oo");
    EXPECT_EQ(process.wait(), (ExitStatus{true, 5}));
    // The held-back SIGPIPE was taken off and the thread's mask restored.
    sigset_t pending{}, mask{};
    ASSERT_EQ(sigpending(&pending), 0);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE) + sigismember(&mask, SIGPIPE), 0);
}

TEST(ProcessTest, ChildInheritsNoPipeEndsAndIsReapedByItsOwner) {
    std::set<int> inheritable = {0, 1, 2};  // what any child of this test gets anyway
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        if (const int flags = fcntl(fd, F_GETFD); flags >= 0 && (flags & FD_CLOEXEC) == 0) {
            inheritable.insert(fd);
        }
    }
    int pid = 0;
    {
        // Blocked reading its input until the owner closes the pipe.
        Process first = start("cat_stdin", {}, ChildStream::Inherit, ChildStream::Inherit);
        pid = first.pid();
        std::istringstream held(
            toString(start("list_fds", {}, kPipe, ChildStream::Inherit).communicate().output));
        for (int fd = 0; held >> fd;) {
            EXPECT_EQ(inheritable.count(fd), 1U) << "child holds descriptor " << fd;
        }
        Process moved = std::move(first);
        EXPECT_FALSE(first.wait().has_value());  // NOLINT(bugprone-use-after-move)
    }
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// In a process of its own: no core file, not dumpable, and a write to a pipe
// whose reader has gone fails instead of killing the process, while children
// still start with SIGPIPE at its default action.
TEST(ProcessTest, HardenedProcessKeepsNoCoreAndSurvivesABrokenPipe) {
    EXPECT_EXIT(
        {
            hardenProcess();
            rlimit core{};
            int ends[2];
            if (::prctl(PR_GET_DUMPABLE) != 0 || ::getrlimit(RLIMIT_CORE, &core) != 0 ||
                core.rlim_cur != 0 || core.rlim_max != 0 || ::pipe(ends) != 0) {
                std::_Exit(1);
            }
            ::close(ends[0]);
            if (::write(ends[1], "x", 1) != -1 || errno != EPIPE) {
                std::_Exit(2);
            }
            Process child = start("noisy_child", {"0", "e", "0", "o", "0"});
            static_cast<void>(child.communicate());
            std::_Exit(child.wait() == ExitStatus{true, 0} ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// A child that must not hold the daemon up, started in its own process
// group: stopped, group and all, when its time is up (SIGTERM, then SIGKILL);
// output that a descendant holds open after it exits read only for the
// grace time; output beyond the kept size read and counted, not kept.
TEST(ProcessTest, BoundedChildIsStoppedInTimeAndItsOutputCapped) {
    using std::chrono::milliseconds;
    const ChildLimits limits{milliseconds(200), milliseconds(200), milliseconds(200), 1000};
    // The fake tool's steering (FAKE_FDESETUP_ variables), then what came of it.
    const std::vector<std::tuple<const char*, std::vector<std::string>, std::string>> cases{
        {"exits at once", {"OUTPUT=1:done|2:!"}, "exit 0 'done!' dropped 0"},
        {"floods", {"FLOOD=102400"}, "exit 0 1000 bytes dropped 101400"},
        {"hangs", {"OUTPUT=1:started", "HANG=1"}, "signal 15 'started' dropped 0 timed out"},
        {"ignores SIGTERM", {"HANG=ignore-term"}, "signal 9 '' dropped 0 timed out killed"},
        {"leaves a grandchild on its output",
         {"OUTPUT=1:bye", "LINGER=600", "END=3"},
         "exit 3 'bye' dropped 0 cut"},
        {"hangs with a grandchild", {"LINGER=600", "HANG=1"}, "signal 15 '' dropped 0 timed out"},
    };
    TempDir dir;
    for (const auto& [name, steering, expected] : cases) {
        SCOPED_TRACE(name);
        std::vector<std::string> environment = {"FAKE_FDESETUP_RECORD=" + (dir / "call").string()};
        for (const std::string& variable : steering) {
            environment.push_back("FAKE_FDESETUP_" + variable);
        }
        environment.push_back(std::string(LOCKSTEP_TEST_HELPERS_DIR) + "/fake_fdesetup");
        std::filesystem::remove(dir / "call.grandchild");
        Process process = spawnProcess({.program = "/usr/bin/env",
                                        .arguments = environment,
                                        .input = kPipe,
                                        .output = kPipe,
                                        .error = ChildStream::ToOutput,
                                        .ownProcessGroup = true})
                              .process.value();
        const auto start = std::chrono::steady_clock::now();
        const BoundedOutput got = process.communicateWithin(toBytes("request"), limits);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        const auto status = process.wait().value();
        const std::string output = got.droppedBytes > 0
                                       ? std::to_string(got.output.size()) + " bytes"
                                       : "'" + toString(got.output) + "'";
        EXPECT_EQ((status.exited ? "exit " : "signal ") + std::to_string(status.code) + " " +
                      output + " dropped " + std::to_string(got.droppedBytes) +
                      (got.timedOut ? " timed out" : "") + (got.killed ? " killed" : "") +
                      (got.outputCut ? " cut" : "") + (got.abandoned ? " abandoned" : ""),
                  expected);
        EXPECT_EQ(readFile(dir / "call.stdin"), "request");
        if (const std::string grandchild = readFile(dir / "call.grandchild"); !grandchild.empty()) {
            EXPECT_TRUE(processHasEnded(std::stoi(grandchild))) << "grandchild " << grandchild;
        }
    }
}

}  // namespace
}  // namespace lockstep::testing
