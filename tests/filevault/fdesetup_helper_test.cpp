#include "filevault/fdesetup_helper.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/plist.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

using namespace std::string_literals;

constexpr std::string_view kFunction = " filevaultAuth(username:password:) ";

// The request the tool must read, written out by hand around two texts.
std::string request(std::string_view user, std::string_view password) {
    return " <plist>\n   <dict>\n         <key>Username</key>\n         <string>" +
           std::string(user) + "</string>\n         <key>Password</key>\n         <string>" +
           std::string(password) + "</string>\n   </dict>\n</plist>\n";
}

// The two texts of a request as libplist reads them back ("<missing>" when
// one cannot be read).
std::pair<std::string, std::string> parseRequest(const std::string& xml) {
    const auto parsed = parsePlist(toBytes(xml));
    const auto text = [&parsed](const char* key) -> std::string {
        plist_t node =
            parsed ? plist_dict_get_item(static_cast<plist_t>(parsed->root.get()), key) : nullptr;
        if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
            return "<missing>";
        }
        char* raw = nullptr;
        plist_get_string_val(node, &raw);
        const std::unique_ptr<char, decltype(&std::free)> value(raw, &std::free);
        return value ? value.get() : "";
    };
    return {text("Username"), text("Password")};
}

TEST(RequestTest, TemplateIsTheFixed175ByteText) {
    EXPECT_EQ(FDESetupHelper::kRequestTemplate.size(), 175U);
    EXPECT_EQ(FDESetupHelper::kRequestTemplate, request("{{username}}", "{{password}}"));
}

// Values are XML-escaped and filled in one pass (a value holding a
// placeholder is never filled again), and parse back unchanged.
TEST(RequestTest, EscapesValuesAndFillsOnce) {
    struct Case {
        std::string user, password, escapedUser, escapedPassword;
    };
    for (const Case& c :
         std::vector<Case>{{"alice", "s3cret pass", "alice", "s3cret pass"},
                           {"a<b&c>", "p\"'<&>", "a&lt;b&amp;c&gt;", "p&quot;&apos;&lt;&amp;&gt;"},
                           {"x{{password}}", "pw", "x{{password}}", "pw"},
                           {"bob", "{{username}}{{password}}", "bob", "{{username}}{{password}}"},
                           {"&amp;", "&lt;", "&amp;amp;", "&amp;lt;"},
                           {"J\xC3\xBCrgen", "\xE2\x82\xAC\xF0\x9F\x94\x91", "J\xC3\xBCrgen",
                            "\xE2\x82\xAC\xF0\x9F\x94\x91"},
                           {"line\r\nend", "\r\tx\r", "line&#13;\nend", "&#13;\tx&#13;"},
                           {"", "", "", ""}}) {
        SCOPED_TRACE(c.user + " / " + c.password);
        const std::string built =
            toString(FDESetupHelper::buildRequest(c.user, c.password).bytes());
        EXPECT_EQ(built, request(c.escapedUser, c.escapedPassword));
        EXPECT_EQ(parseRequest(built), std::make_pair(c.user, c.password));
    }
}

// A value the request cannot carry: not UTF-8, or a character XML 1.0 has no
// place for.
TEST(RequestTest, CarriesOnlyXmlText) {
    for (const auto& [value, carried] : std::vector<std::pair<std::string, bool>>{
             {"plain \t\r\n", true},
             {"\xEF\xBF\xBD\xF4\x8F\xBF\xBF\x7F\xC2\x85", true},
             {std::string("a\0b", 3), false},
             {"\x01", false},
             {"\x1F", false},
             {"\xEF\xBF\xBE", false},
             {"\xEF\xBF\xBF", false},
             {"\xC3", false},
             {"\xC0\xAF", false}}) {
        EXPECT_EQ(FDESetupHelper::requestCanCarry(value), carried)
            << ::testing::PrintToString(value);
    }
}

// Runs filevaultAuth against the stand-in tool, which is steered through
// variables of this test process's environment (its child inherits them).
class FilevaultAuthTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const auto reason = untrustedTestProgramsReason()) {
            GTEST_SKIP() << *reason;
        }
    }

    void TearDown() override {
        for (const char* name :
             {"FAKE_FDESETUP_RECORD", "FAKE_FDESETUP_READ", "FAKE_FDESETUP_OUTPUT",
              "FAKE_FDESETUP_FLOOD", "FAKE_FDESETUP_LINGER", "FAKE_FDESETUP_HANG",
              "FAKE_FDESETUP_END"}) {
            ::unsetenv(name);
        }
    }

    bool run(std::string_view user, std::string_view password,
             const std::map<std::string, std::string>& settings = {},
             const ChildLimits& limits = kToolLimits) {
        ::setenv("FAKE_FDESETUP_RECORD", (dir_ / "call").c_str(), 1);
        for (const auto& [name, value] : settings) {
            ::setenv(("FAKE_FDESETUP_" + name).c_str(), value.c_str(), 1);
        }
        return FDESetupHelper::filevaultAuth(user, password, tool_, limits);
    }

    // The message filevaultAuth logged at `level` (debug: what the tool
    // printed).
    [[nodiscard]] static std::string loggedOutput(const LogCapture& capture,
                                                  std::int64_t level = kLogLevelDebug) {
        for (const auto& line : capture.lines(level)) {
            if (const auto at = line.text.find(kFunction); at != std::string::npos) {
                return line.text.substr(at + kFunction.size());
            }
        }
        return "<nothing logged>";
    }

    TempDir dir_;
    std::filesystem::path tool_ = trustedTestProgram("fake_fdesetup");
};

TEST_F(FilevaultAuthTest, HandsTheRequestToTheToolOnItsInputOnly) {
    LogCapture capture;
    EXPECT_TRUE(run("a<b", "horse&{{username}}"));
    EXPECT_EQ(readFile(dir_ / "call.args"), "authrestart\0-delayminutes\0-1\0-inputplist\0"s);
    EXPECT_EQ(readFile(dir_ / "call.stdin"), request("a&lt;b", "horse&amp;{{username}}"));
    EXPECT_EQ(readFile(dir_ / "call.env").find("horse"), std::string::npos);
    EXPECT_EQ(loggedOutput(capture), "No output");
    EXPECT_FALSE(capture.contains("horse")) << capture.dump();
    EXPECT_TRUE(capture.lines(kLogLevelError).empty()) << capture.dump();
}

TEST_F(FilevaultAuthTest, ResultFollowsTheToolsExit) {
    for (const auto& [end, expected] : std::vector<std::pair<std::string, bool>>{
             {"0", true}, {"1", false}, {"2", false}, {"s9", false}, {"s15", false}}) {
        LogCapture capture;
        EXPECT_EQ(run("u", "p", {{"END", end}, {"OUTPUT", "1:done\n"}}), expected) << end;
        EXPECT_EQ(loggedOutput(capture), "done") << end;
    }
}

// What the tool printed on its output and error, in their order, trimmed.
TEST_F(FilevaultAuthTest, LogsWhatTheToolPrintedOnOneLine) {
    for (const auto& [output, logged] : std::vector<std::pair<std::string, std::string>>{
             {"1:\n\n  armed for restart \t\n\n", "armed for restart"},
             {"1:first\n\nlast\n", "first\n\nlast"},
             {"1:out one\n|2:Error: refused\n|1:out two\n", "out one\nError: refused\nout two"},
             {"1: \n\t\r\n", "No output"},
             {"1:\xC2\xA0spaced\xE2\x80\xA8", "spaced"},
             {"1:bad \xFF byte\n", "No output"},  // not UTF-8
         }) {
        LogCapture capture;
        EXPECT_TRUE(run("u", "p", {{"OUTPUT", output}}));
        EXPECT_EQ(loggedOutput(capture), logged) << output;
    }
}

TEST_F(FilevaultAuthTest, MissingToolFailsWithTheSystemsReason) {
    LogCapture capture;
    const TrustedTempDir folder;
    tool_ = folder / "no-fdesetup";
    EXPECT_FALSE(run("u", "p"));
    EXPECT_EQ(loggedOutput(capture), "Failed to run command: No such file or directory");
    EXPECT_EQ(capture.lines().size(), 1U) << capture.dump();
}

TEST_F(FilevaultAuthTest, ToolThatIgnoresALargeInputNeitherKillsNorHangs) {
    // Several times what a pipe holds, so the write meets a closed pipe.
    const std::string user(512 * 1024, 'u');
    for (const auto& [end, expected] :
         std::vector<std::pair<std::string, bool>>{{"0", true}, {"3", false}}) {
        LogCapture capture;
        EXPECT_EQ(run(user, "p", {{"READ", "0"}, {"END", end}, {"OUTPUT", "1:quit early"}}),
                  expected);
        EXPECT_EQ(loggedOutput(capture), "quit early");
    }
}

// Tools that someone other than root could have changed are never started:
// the request goes nowhere, and the refusal is logged at error level with
// the reason. (The daemon's tests try the plainer cases on /usr/bin/fdesetup
// itself: modes, owner, a link, a folder, a writable /usr/bin.)
TEST_F(FilevaultAuthTest, RefusesAToolThatRootAloneCouldNotHavePutThere) {
    constexpr uid_t kOtherUser = 65534;
    struct Case {
        const char* name;
        // Makes the tool (and whatever is around it) in `folder`.
        std::function<void(const std::filesystem::path& folder)> make;
        // The reason, with "DIR" for the folder.
        std::string reason;
    };
    namespace fs = std::filesystem;
    const fs::path standIn = tool_;
    const auto copy = [&standIn](const fs::path& to, fs::perms mode) {
        fs::create_directories(to.parent_path());
        fs::copy_file(standIn, to);
        fs::permissions(to, mode);
    };
    const std::vector<Case> cases{
        {"a FIFO",
         [](const fs::path& f) { ASSERT_EQ(::mkfifo((f / "fdesetup").c_str(), 0755), 0); },
         "it is not a regular file"},
        {"another user owns its folder",
         [&](const fs::path& f) {
             copy(f / "bin/fdesetup", fs::perms(0755));
             ASSERT_EQ(::chown((f / "bin").c_str(), kOtherUser, 0), 0);
         },
         "folder DIR/bin is owned by uid 65534, not root"},
        {"a folder reached through another user's link",
         [&](const fs::path& f) {
             copy(f / "real/fdesetup", fs::perms(0755));
             fs::create_directory_symlink("real", f / "bin");
             ASSERT_EQ(::lchown((f / "bin").c_str(), kOtherUser, 0), 0);
         },
         "link DIR/bin is owned by uid 65534, not root"},
        {"a writable folder reached through root's link",
         [&](const fs::path& f) {
             copy(f / "open/fdesetup", fs::perms(0755));
             fs::permissions(f / "open", fs::perms(0757));
             fs::create_directory_symlink("open", f / "bin");
         },
         "folder DIR/open is writable by group or others (mode 0757)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TrustedTempDir folder;
        c.make(folder.path());
        const bool inBin = c.reason.find("DIR/") != std::string::npos;
        tool_ = folder / (inBin ? "bin/fdesetup" : "fdesetup");
        std::string reason = c.reason;
        if (const auto at = reason.find("DIR"); at != std::string::npos) {
            reason.replace(at, 3, folder.path().string());
        }
        LogCapture capture;
        EXPECT_FALSE(run("u", "p"));
        EXPECT_FALSE(std::filesystem::exists(dir_ / "call.args")) << "the tool was started";
        EXPECT_EQ(loggedOutput(capture, kLogLevelError),
                  "Refusing to run " + tool_.string() + ": " + reason);
        EXPECT_EQ(capture.lines().size(), 1U) << capture.dump();
    }

    // Links among the folders that root owns lead to a good tool: it runs.
    const TrustedTempDir folder;
    copy(folder / "real/fdesetup", fs::perms(0755));
    fs::create_directory_symlink("real", folder / "bin");
    fs::create_directory_symlink(folder.path(), folder / "again");
    tool_ = folder / "again/bin/fdesetup";
    EXPECT_TRUE(run("u", "p"));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "call.args"));
}

// A tool that never finishes is stopped within its limits and the stop is
// logged at error level; output past the kept size is counted, and a
// character cut by that size is left out of what is logged. (The daemon's
// tests flood the tool's output and leave a child holding it.)
TEST_F(FilevaultAuthTest, ToolIsBoundedInTimeAndOutput) {
    using std::chrono::milliseconds;
    const ChildLimits quick{milliseconds(300), milliseconds(300), milliseconds(300), 64 * 1024};
    const std::string tool = tool_.string();
    struct Case {
        const char* name;
        std::map<std::string, std::string> steering;
        ChildLimits limits;
        bool result;
        std::string error;   // logged at error level ("" for nothing)
        std::string output;  // logged at debug level
        std::string info;    // logged at info level ("" for nothing)
    };
    const std::vector<Case> cases{
        {"ignores SIGTERM",
         {{"HANG", "ignore-term"}},
         quick,
         false,
         tool + " did not finish within 300 ms; its process group was sent SIGTERM, then "
                "SIGKILL 300 ms later",
         "No output",
         ""},
        {"is cut inside a character",
         {{"OUTPUT", "1:123456789\xC3\xA9 and more"}},
         ChildLimits{kToolRunLimit, kToolStopGrace, kToolOutputGrace, 10},
         true,
         "",
         "123456789",
         "Dropped 10 bytes of output of " + tool + " beyond the first 10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(run("u", "p", c.steering, c.limits), c.result);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        TearDown();
        const auto logged = [&capture](std::int64_t level, const std::string& expected) {
            EXPECT_EQ(loggedOutput(capture, level),
                      expected.empty() ? "<nothing logged>" : expected);
        };
        logged(kLogLevelError, c.error);
        logged(kLogLevelDebug, c.output);
        logged(kLogLevelInfo, c.info);
    }
}

}  // namespace
}  // namespace lockstep::testing
