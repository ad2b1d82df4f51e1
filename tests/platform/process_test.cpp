#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

std::string helper(const char* name) {
    return std::string(LOCKSTEP_TEST_HELPERS_DIR) + "/" + name;
}

std::string text(const Bytes& bytes) {
    return toString(bytes);
}

std::string repeated(std::string_view piece, std::size_t count) {
    std::string result;
    result.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) {
        result += piece;
    }
    return result;
}

Process start(ProcessOptions options) {
    auto spawned = spawnProcess(options);
    if (!spawned.process) {
        throw std::runtime_error("cannot start " + options.program + ": " +
                                 spawned.errorDescription());
    }
    return std::move(*spawned.process);
}

ProcessOptions noisy(std::vector<std::string> arguments) {
    ProcessOptions options;
    options.program = helper("noisy_child");
    options.arguments = std::move(arguments);
    options.input = ChildStream::Pipe;
    options.output = ChildStream::Pipe;
    options.error = ChildStream::Pipe;
    return options;
}

struct EndCase {
    const char* end;
    ExitStatus expected;
};

class ProcessEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(ProcessEndTest, ReportsExitStatusOrSignal) {
    Process process = start(noisy({"0", "e", "0", "o", GetParam().end}));
    static_cast<void>(process.communicate());
    const auto status = process.wait();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, GetParam().expected);
    EXPECT_EQ(status->success(), GetParam().expected == (ExitStatus{true, 0}));
    // Asking again gives the same answer without waiting a second time.
    EXPECT_EQ(process.wait(), status);
}

INSTANTIATE_TEST_SUITE_P(Ends, ProcessEndTest,
                         ::testing::Values(EndCase{"0", {true, 0}}, EndCase{"1", {true, 1}},
                                           EndCase{"77", {true, 77}},
                                           EndCase{"s15", {false, SIGTERM}},
                                           EndCase{"s9", {false, SIGKILL}}));

TEST(ProcessTest, StartFailuresReportTheSystemError) {
    TempDir dir;
    writeFile(dir / "not-executable", "data", std::filesystem::perms(0644));
    struct Case {
        std::string program;
        int error;
    };
    for (const auto& [program, error] : std::vector<Case>{
             {(dir / "missing").string(), ENOENT},
             {"", ENOENT},
             {(dir / "not-executable").string(), EACCES},
         }) {
        ProcessOptions options;
        options.program = program;
        const auto spawned = spawnProcess(options);
        EXPECT_FALSE(spawned.process.has_value()) << program;
        EXPECT_EQ(spawned.error, error) << program;
    }
    ProcessOptions options;
    options.program = (dir / "missing").string();
    EXPECT_EQ(spawnProcess(options).errorDescription(), "No such file or directory");
}

TEST(ProcessTest, PassesArgumentsExactly) {
    ProcessOptions options;
    options.program = helper("print_args");
    options.arguments = {"one", "", "two words", "-1", "<&>"};
    options.output = ChildStream::Pipe;
    Process process = start(options);
    EXPECT_EQ(text(process.communicate().output), "[one]\n[]\n[two words]\n[-1]\n[<&>]\n");
}

TEST(ProcessTest, LargeInputAndOutputFlowTogetherWithoutDeadlock) {
    // 4 MiB through a child that echoes as it reads: the daemon must read
    // while it writes, or both sides stop on full pipes.
    std::string input = repeated("0123456789abcdef", 256 * 1024);
    input += "tail";
    ProcessOptions options;
    options.program = helper("cat_stdin");
    options.input = ChildStream::Pipe;
    options.output = ChildStream::Pipe;
    Process process = start(options);
    const ProcessOutput collected = process.communicate(toBytes(input));
    EXPECT_TRUE(collected.inputDelivered);
    EXPECT_EQ(text(collected.output), input);
    EXPECT_EQ(process.wait(), (ExitStatus{true, 0}));
}

TEST(ProcessTest, ReadsStandardErrorWhileStandardOutputIsQuiet) {
    // 1 MiB to standard error before anything on standard output.
    Process process = start(noisy({"1048576", "e", "3", "o"}));
    const ProcessOutput collected = process.communicate();
    EXPECT_EQ(collected.error.size(), 1048576U);
    EXPECT_EQ(text(collected.output), "ooo");
    EXPECT_EQ(process.wait(), (ExitStatus{true, 0}));
}

TEST(ProcessTest, SharedPipeKeepsTheOrderOfWrites) {
    ProcessOptions options = noisy({"2", "e", "3", "o"});
    options.error = ChildStream::ToOutput;
    Process process = start(options);
    const ProcessOutput collected = process.communicate();
    EXPECT_EQ(text(collected.output), "eeooo");
    EXPECT_TRUE(collected.error.empty());
}

TEST(ProcessTest, ChildThatExitsWithoutReadingDoesNotKillTheWriter) {
    // Far more than a pipe holds, so the write must meet the closed pipe.
    const Bytes input(4 * 1024 * 1024, 'x');
    Process process = start(noisy({"0", "e", "2", "o", "5"}));
    const ProcessOutput collected = process.communicate(input);
    EXPECT_FALSE(collected.inputDelivered);
    EXPECT_EQ(text(collected.output), "oo");
    EXPECT_EQ(process.wait(), (ExitStatus{true, 5}));

    // The held-back SIGPIPE was taken off and the thread's mask restored.
    sigset_t pending;
    sigemptyset(&pending);
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    sigset_t mask;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
}

TEST(ProcessTest, ChildInheritsNoneOfTheDaemonsPipeEnds) {
    // Descriptors this test process would pass to any child anyway.
    std::set<int> inheritable = {0, 1, 2};
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
            inheritable.insert(fd);
        }
    }
    // A child whose pipes stay open while the second one starts.
    ProcessOptions options;
    options.program = helper("cat_stdin");
    options.input = ChildStream::Pipe;
    options.output = ChildStream::Pipe;
    options.error = ChildStream::Pipe;
    Process first = start(options);

    ProcessOptions listing;
    listing.program = helper("list_fds");
    listing.input = ChildStream::Pipe;
    listing.output = ChildStream::Pipe;
    Process second = start(listing);
    std::istringstream held(text(second.communicate().output));
    int count = 0;
    for (int fd = 0; held >> fd; ++count) {
        EXPECT_EQ(inheritable.count(fd), 1U) << "child holds descriptor " << fd;
    }
    EXPECT_GE(count, 3);
    EXPECT_EQ(text(first.communicate(toBytes("first")).output), "first");
}

TEST(ProcessTest, ChildNeverWaitedForIsReapedByItsOwner) {
    int pid = 0;
    {
        // Blocked reading its input until the owner closes the pipe.
        ProcessOptions options;
        options.program = helper("cat_stdin");
        options.input = ChildStream::Pipe;
        Process process = start(options);
        pid = process.pid();
        Process moved = std::move(process);
        EXPECT_EQ(process.pid(), -1);  // NOLINT(bugprone-use-after-move)
        EXPECT_FALSE(process.wait().has_value());
        EXPECT_EQ(moved.pid(), pid);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

struct Utf8Case {
    std::string input;
    bool valid;
    std::string decoded;
};

TEST(Utf8Test, ValidatesAndReplacesIllFormedSequences) {
    const std::string r = "\xEF\xBF\xBD";
    const std::vector<Utf8Case> cases = {
        {"", true, ""},
        {"plain", true, "plain"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"a\xFF"
         "b",
         false, "a" + r + "b"},
        {"\xE2\x82", false, r},  // cut short at the end
        {"\xE2\x82"
         "a",
         false, r + "a"},                            // cut short before ASCII
        {"\xC0\x80", false, r + r},                  // overlong NUL
        {"\xED\xA0\x80", false, r + r + r},          // surrogate
        {"\xF4\x90\x80\x80", false, r + r + r + r},  // past U+10FFFF
        {"\x80", false, r},                          // lone continuation
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidUtf8(c.input), c.valid) << c.input;
        EXPECT_EQ(decodeUtf8Lossy(toBytes(c.input)), c.decoded) << c.input;
    }
}

}  // namespace
}  // namespace lockstep::testing
