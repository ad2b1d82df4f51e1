// Platform helpers: text, trusted programs, user defaults and child processes.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>

#include "platform/plist.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/trusted_program.h"
#include "platform/user_defaults.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

TEST(TextTest, Utf8IsValidatedDecodedAndRepairedAndHexRoundTrips) {
    const std::string mixed = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // 1-, 2-, 3- and 4-byte
    // Input, then '?' for U+FFFD: one for each maximal ill-formed subpart, and
    // one for each byte that starts no well-formed sequence. Cut short at the
    // end and before ASCII, overlong NUL, surrogate, past U+10FFFF.
    const std::string cases[][3] = {
        {mixed, mixed, mixed},          {"a\xFFz", "a?z", "a?z"},
        {"\xE2\x82z", "?z", "??z"},     {"\xC0\x80", "??", "??"},
        {"\xED\xA0\x80", "???", "???"}, {"\xF4\x90\x80\x80", "????", "????"}};
    const auto replaced = [](const std::string& pattern) {
        return std::regex_replace(pattern, std::regex("\\?"), "\xEF\xBF\xBD");
    };
    for (const auto& [input, bySubpart, byByte] : cases) {
        EXPECT_EQ(isValidUtf8(input), input == bySubpart) << input;
        EXPECT_EQ(decodeUtf8Lossy(toBytes(input)), replaced(bySubpart)) << input;
        EXPECT_EQ(toValidUtf8(input), replaced(byByte)) << input;
    }
    std::string_view rest = mixed;
    std::u32string codePoints;
    while (!rest.empty()) codePoints.push_back(takeCodePoint(rest));
    EXPECT_EQ(codePoints, U"A\u00E9\u20AC\U0001F600");
    EXPECT_FALSE(isUtf8WithoutNul(std::string("a\0b", 3)));
    std::string hex = hexEncode(Bytes{0x0a, 0xff, 0x00});
    appendHexByte(hex, 0xab, HexCase::Upper);
    EXPECT_EQ(hex, "0aff00AB");
    EXPECT_EQ(hexDecode("0aFf"), (Bytes{0x0a, 0xff}));
    EXPECT_FALSE(hexDecode("0") || hexDecode("0g") || hexDecode("+1"));
}

using Verdict = ProgramTrust::Verdict;

// Only a program that nobody but root could have placed or changed passes,
// judged by every folder on its way from "/".
TEST(TrustedProgramTest, OnlyRootCanHaveMadeOrChangedIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the programs checked";
    const TrustedTempDir dir;
    const TempDir shared;  // under /tmp, which anyone may write
    for (const auto& path : {dir / "tool", dir / "open", dir / "other/tool", shared / "tool"}) {
        writeFile(path, "#!/bin/sh\n", fs::perms(path == dir / "open" ? 0775 : 0755));
    }
    ASSERT_EQ(::chown((dir / "other").c_str(), 1000, 1000), 0);
    fs::create_symlink(dir / "tool", dir / "link");
    fs::create_directory_symlink(dir.path(), dir / "folder-link");
    // folder-link: root's own link among the folders.
    const std::pair<fs::path, Verdict> cases[] = {
        {dir / "tool", Verdict::trusted},      {dir / "folder-link/tool", Verdict::trusted},
        {dir / "open", Verdict::untrusted},    {dir / "other/tool", Verdict::untrusted},
        {dir / "link", Verdict::untrusted},    {shared / "tool", Verdict::untrusted},
        {dir / "tool/below", Verdict::missing}};
    for (const auto& [path, verdict] : cases) {
        const ProgramTrust trust = checkRootOwnedProgram(path);
        EXPECT_EQ(trust.verdict, verdict) << path << ": " << trust.reason;
        EXPECT_EQ(trust.reason.empty(), verdict != Verdict::untrusted) << path;
    }
    EXPECT_EQ(checkRootOwnedProgram(dir / "missing").error, ENOENT);
}

using V = UserDefaults::Value;

// A property list whose root dictionary holds `items`.
std::string plistText(PlistFormat format, const std::vector<std::pair<const char*, plist_t>>& items,
                      plist_t root = plist_new_dict()) {
    const PlistPtr owner(root);
    for (const auto& [key, value] : items) plist_dict_set_item(root, key, value);
    return toString(serializePlist(root, format).value());
}

TEST(UserDefaultsTest, ReadsEveryKindOfValueAndTheUserFileWinsKeyByKey) {
    const TempDir dir;
    for (const PlistFormat format : {PlistFormat::XML, PlistFormat::Binary}) {
        const fs::path user = dir / "user.plist", system = dir / "system.plist";
        writeFile(user, plistText(format, {{"text", plist_new_string("hello")},
                                           {"negative", plist_new_uint(static_cast<uint64_t>(-1))},
                                           {"real", plist_new_real(0.5)},
                                           {"list", plist_new_array()},
                                           {"path", plist_new_uint(3)},
                                           {"flag", plist_new_string("NO")}}));
        writeFile(system, plistText(format, {{"path", plist_new_string("/var/log/l")},
                                             {"flag", plist_new_bool(1)}}));
        EXPECT_EQ(UserDefaults::readDomain(user),
                  (UserDefaults::Domain{{"text", std::string("hello")},
                                        {"negative", std::int64_t{-1}},
                                        {"real", 0.5},
                                        {"list", UserDefaults::Other{}},
                                        {"path", std::int64_t{3}},
                                        {"flag", std::string("NO")}}));
        const auto defaults = UserDefaults::fromFiles({user, system});
        // A value of the wrong kind is as if absent.
        EXPECT_EQ(defaults.stringForKey("path"), "/var/log/l");
        EXPECT_FALSE(defaults.boolForKey("flag"));
    }
    // Truthy values, and values that are not; one of no usable kind lets the next file decide.
    const std::pair<V, bool> bools[] = {
        {true, true},     {std::int64_t{-3}, true}, {0.25, true},      {V{"YES"}, true},
        {V{"yes"}, true}, {V{"true"}, true},        {V{"1"}, true},    {std::int64_t{0}, false},
        {0.0, false},     {V{"2"}, false},          {V{"yes "}, false}};
    for (const auto& [value, expected] : bools) {
        EXPECT_EQ(UserDefaults({{{"f", value}}, {{"f", !expected}}}).boolForKey("f"), expected)
            << ::testing::PrintToString(value);
    }
    EXPECT_TRUE(UserDefaults({{{"f", UserDefaults::Other{}}}, {{"f", true}}}).boolForKey("f"));
}

TEST(UserDefaultsTest, BadFilesHoldNoKeysAndStandardFilesAreTheUsersThenTheSystems) {
    TempDir dir;
    writeFile(dir / "good.plist", plistText(PlistFormat::XML, {{"k", plist_new_string("good")}}));
    writeFile(dir / "garbage.plist", "this is not a property list <plist>");
    writeFile(dir / "array.plist", plistText(PlistFormat::XML, {}, plist_new_array()));
    ASSERT_EQ(::mkfifo((dir / "fifo.plist").c_str(), 0666), 0);
    using R = UserDefaults::Reading;
    for (const auto& [name, reading] : {std::pair{"garbage", R::notPropertyList},
                                        {"array", R::notDictionary},
                                        {"fifo", R::notRegularFile},
                                        {"missing", R::missing}}) {
        const fs::path file = dir / (std::string(name) + ".plist");
        EXPECT_EQ(UserDefaults::readFile(file).reading, reading) << name;
        EXPECT_EQ(UserDefaults::fromFiles({file, dir / "good.plist"}).stringForKey("k"), "good");
    }
    const auto home = homeFolderForUserID(realUserID());
    EXPECT_EQ(UserDefaults::standardFiles(),
              (std::vector<fs::path>{fs::path(home.value()) / ".config/lockstep/lockstepd.plist",
                                     "/etc/lockstep/lockstepd.plist"}));
    EXPECT_EQ(homeFolderForUserID(3'999'999'999U), std::nullopt);
    EXPECT_EQ(homeFolderForUserName("root"), "/root");
    EXPECT_EQ(homeFolderForUserName(std::string("root\0x", 6)), std::nullopt);
}

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
    writeFile(dir / "data", "data", fs::perms(0644));
    for (const auto& [path, error] : {std::pair{dir / "missing", ENOENT}, {dir / "data", EACCES}}) {
        const auto spawned = spawnProcess({path, {}, {}, {}, {}});
        EXPECT_EQ(std::pair(spawned.process.has_value(), spawned.error), std::pair(false, error));
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
    EXPECT_EQ(toString(collected.output) + (collected.inputDelivered ? " delivered" : ""), "oo");
    EXPECT_EQ(process.wait(), (ExitStatus{true, 5}));
    // The held-back SIGPIPE was taken off and the thread's mask restored.
    sigset_t pending{}, mask{};
    ASSERT_EQ(sigpending(&pending) + pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE) + sigismember(&mask, SIGPIPE), 0);
}

TEST(ProcessTest, ChildInheritsNoPipeEndsAndIsReapedByItsOwner) {
    std::set<int> inheritable = {0, 1, 2};  // what any child of this test gets anyway
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) inheritable.insert(fd);
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
        {"leaves a grandchild", {"OUTPUT=1:bye", "LINGER=600", "END=3"}, "exit 3 3 dropped 0 cut"}};
    TempDir dir;
    for (const auto& [name, steering, expected] : cases) {
        SCOPED_TRACE(name);
        std::vector<std::string> environment = {"FAKE_FDESETUP_RECORD=" + (dir / "call").string()};
        for (const std::string& variable : steering) {
            environment.push_back("FAKE_FDESETUP_" + variable);
        }
        environment.push_back(std::string(LOCKSTEP_TEST_HELPERS_DIR) + "/fake_fdesetup");
        fs::remove(dir / "call.grandchild");
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
