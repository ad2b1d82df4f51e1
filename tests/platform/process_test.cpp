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
#include <numeric>
#include <set>
#include <sstream>

#include "platform/hardening.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

constexpr auto kPipe = ChildStream::Pipe;

// Starts a helper program with a pipe for its input.
Process start(const char* name, std::vector<std::string> arguments, ChildStream output = kPipe) {
    return spawnProcess({std::string(LOCKSTEP_TEST_HELPERS_DIR) + "/" + name, std::move(arguments),
                         kPipe, output, kPipe})
        .process.value();
}

TEST(ProcessTest, ReportsExitStatusSignalOrStartFailure) {
    for (const auto& [end, status] :
         {std::pair{"77", ExitStatus{true, 77}}, {"s15", {false, 15}}}) {
        Process process = start("noisy_child", {"0", "e", "0", "o", end});
        ASSERT_EQ(process.wait(), status) << end;
        EXPECT_EQ(process.wait(), status) << end;  // asked again: same answer, no second wait
    }
    TempDir dir;
    writeFile(dir / "data", "data", std::filesystem::perms(0644));
    for (const auto& [program, error] :
         {std::pair{dir / "missing", ENOENT}, {dir / "data", EACCES}}) {
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
    const ProcessOutput collected = start("cat_stdin", {}).communicate(input);
    EXPECT_TRUE(collected.inputDelivered && collected.output == input);
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
    ASSERT_EQ(sigpending(&pending) + pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE) + sigismember(&mask, SIGPIPE), 0);
}

TEST(ProcessTest, ChildInheritsNoPipeEndsAndIsReapedByItsOwner) {
    std::set<int> inheritable = {0, 1, 2};  // what any child of this test gets anyway
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) {
            inheritable.insert(fd);
        }
    }
    int pid = 0;
    {
        Process blocked = start("cat_stdin", {}, ChildStream::Inherit);  // until its input closes
        pid = blocked.pid();
        std::istringstream held(toString(start("list_fds", {}).communicate().output));
        for (int fd = 0; held >> fd;) {
            EXPECT_EQ(inheritable.count(fd), 1U) << "child holds descriptor " << fd;
        }
    }
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG) + errno, -1 + ECHILD);
}

// In a process of its own: no core file, not dumpable, and a write to a pipe
// whose reader has gone fails instead of killing the process.
TEST(ProcessTest, HardenedProcessKeepsNoCoreAndSurvivesABrokenPipe) {
    EXPECT_EXIT(
        {
            hardenProcess();
            rlimit core{};
            int ends[2];
            if (::prctl(PR_GET_DUMPABLE) != 0 || ::getrlimit(RLIMIT_CORE, &core) != 0 ||
                core.rlim_max != 0 || ::pipe(ends) != 0 || ::close(ends[0]) != 0) {
                std::_Exit(1);
            }
            std::_Exit(::write(ends[1], "x", 1) == -1 && errno == EPIPE ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}

// A child started in its own process group is stopped, group and all, when
// its time is up (SIGTERM, then SIGKILL); output a descendant holds open is
// read only for the grace time; output beyond the kept size is counted.
TEST(ProcessTest, BoundedChildIsStoppedInTimeAndItsOutputCapped) {
    using std::chrono::milliseconds;
    const ChildLimits limits{milliseconds(200), milliseconds(200), milliseconds(200), 1000};
    // The fake tool's steering (FAKE_FDESETUP_ variables), then what came of it.
    const std::vector<std::tuple<const char*, std::vector<std::string>, std::string>> cases{
        {"floods", {"OUTPUT=1:done", "FLOOD=102400"}, "exit 0 1000 dropped 101404"},
        {"hangs", {"OUTPUT=1:started", "HANG=1"}, "signal 15 7 dropped 0 timed out"},
        {"ignores SIGTERM", {"HANG=ignore-term"}, "signal 9 0 dropped 0 timed out killed"},
        {"leaves a grandchild", {"OUTPUT=1:bye", "LINGER=600", "END=3"}, "exit 3 3 dropped 0 cut"},
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
        Process process =
            spawnProcess({"/usr/bin/env", environment, kPipe, kPipe, ChildStream::ToOutput, true})
                .process.value();
        const auto start = std::chrono::steady_clock::now();
        const BoundedOutput got = process.communicateWithin(toBytes("request"), limits);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        const auto status = process.wait().value();
        EXPECT_EQ((status.exited ? "exit " : "signal ") + std::to_string(status.code) + " " +
                      std::to_string(got.output.size()) + " dropped " +
                      std::to_string(got.droppedBytes) + (got.timedOut ? " timed out" : "") +
                      (got.killed ? " killed" : "") + (got.outputCut ? " cut" : ""),
                  expected);
        EXPECT_EQ(readFile(dir / "call.stdin"), "request");
        if (const std::string grandchild = readFile(dir / "call.grandchild"); !grandchild.empty()) {
            EXPECT_TRUE(processHasEnded(std::stoi(grandchild))) << "grandchild " << grandchild;
        }
    }
}

}  // namespace
}  // namespace lockstep::testing
