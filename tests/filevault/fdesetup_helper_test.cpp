#include "filevault/fdesetup_helper.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// The request the tool must read, written out by hand around two texts.
std::string request(std::string_view user, std::string_view password) {
    return " <plist>\n   <dict>\n         <key>Username</key>\n         <string>" +
           std::string(user) + "</string>\n         <key>Password</key>\n         <string>" +
           std::string(password) + "</string>\n   </dict>\n</plist>\n";
}

// Values are XML-escaped and filled in one pass: a value holding a
// placeholder is never filled again.
TEST(RequestTest, EscapesValuesAndFillsOnce) {
    struct Case {
        std::string user, password, escapedUser, escapedPassword;
    };
    for (const Case& c :
         std::vector<Case>{{"a<b&c>", "p\"'<&>", "a&lt;b&amp;c&gt;", "p&quot;&apos;&lt;&amp;&gt;"},
                           {"x{{password}}", "{{username}}{{password}}", "x{{password}}",
                            "{{username}}{{password}}"},
                           {"J\xC3\xBCrgen", "line\r\nend", "J\xC3\xBCrgen", "line&#13;\nend"},
                           {"", "", "", ""}}) {
        SCOPED_TRACE(c.user + " / " + c.password);
        EXPECT_EQ(toString(FDESetupHelper::buildRequest(c.user, c.password).bytes()),
                  request(c.escapedUser, c.escapedPassword));
    }
}

// Only UTF-8 that XML 1.0 has a place for can be carried.
TEST(RequestTest, CarriesOnlyXmlText) {
    for (const auto& [value, carried] : std::vector<std::pair<std::string, bool>>{
             {"plain \t\r\n", true},
             {"\xEF\xBF\xBD\xF4\x8F\xBF\xBF\x7F\xC2\x85", true},
             {std::string("a\0b", 3), false},
             {"\x1F", false},
             {"\xEF\xBF\xBE", false},
             {"\xC3", false},
             {"\xC0\xAF", false}}) {
        EXPECT_EQ(FDESetupHelper::requestCanCarry(value), carried)
            << ::testing::PrintToString(value);
    }
}

// filevaultAuth against the stand-in tool, steered through this process's
// environment (its child inherits it).
class FilevaultAuthTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const auto reason = untrustedTestProgramsReason()) {
            GTEST_SKIP() << *reason;
        }
    }
    void TearDown() override {
        for (const char* name : {"RECORD", "READ", "OUTPUT", "HANG", "END"}) {
            ::unsetenv(("FAKE_FDESETUP_"s + name).c_str());
        }
    }
    bool run(std::string_view user, std::string_view password,
             const std::map<std::string, std::string>& settings = {},
             const ChildLimits& limits = kToolLimits) {
        TearDown();  // each run starts unsteered
        ::setenv("FAKE_FDESETUP_RECORD", (dir_ / "call").c_str(), 1);
        for (const auto& [name, value] : settings) {
            ::setenv(("FAKE_FDESETUP_" + name).c_str(), value.c_str(), 1);
        }
        return FDESetupHelper::filevaultAuth(user, password, tool_, limits);
    }
    // What filevaultAuth logged at `level` (debug: what the tool printed).
    [[nodiscard]] static std::string logged(const LogCapture& capture,
                                            std::int64_t level = kLogLevelDebug) {
        constexpr std::string_view kFunction = " filevaultAuth(username:password:) ";
        for (const auto& line : capture.lines(level)) {
            if (const auto at = line.text.find(kFunction); at != std::string::npos) {
                return line.text.substr(at + kFunction.size());
            }
        }
        return "";
    }

    TempDir dir_;
    fs::path tool_ = trustedTestProgram("fake_fdesetup");
};

TEST_F(FilevaultAuthTest, HandsTheRequestToTheToolOnItsInputOnly) {
    LogCapture capture;
    EXPECT_TRUE(run("a<b", "horse&{{username}}"));
    EXPECT_EQ(readFile(dir_ / "call.args"), "authrestart\0-delayminutes\0-1\0-inputplist\0"s);
    EXPECT_EQ(readFile(dir_ / "call.stdin"), request("a&lt;b", "horse&amp;{{username}}"));
    EXPECT_EQ(readFile(dir_ / "call.env").find("horse"), std::string::npos);
    EXPECT_EQ(logged(capture), "No output");
    EXPECT_FALSE(capture.contains("horse")) << capture.dump();
    EXPECT_TRUE(capture.lines(kLogLevelError).empty()) << capture.dump();
}

// The result follows the tool's exit; what it printed on its output and
// error is logged in order, trimmed, on one line.
TEST_F(FilevaultAuthTest, ResultFollowsTheToolAndItsOutputIsLogged) {
    struct Case {
        std::string end, output, logged;
        bool result;
    };
    for (const Case& c :
         std::vector<Case>{{"0", "1:\n\n  armed for restart \t\n\n", "armed for restart", true},
                           {"1", "1:out one\n|2:Error: refused\n|1:out two\n",
                            "out one\nError: refused\nout two", false},
                           {"s9", "1:\xC2\xA0spaced\xE2\x80\xA8", "spaced", false},
                           {"0", "1: \n\t\r\n", "No output", true},
                           {"0", "1:bad \xFF byte\n", "No output", true}}) {
        LogCapture capture;
        EXPECT_EQ(run("u", "p", {{"END", c.end}, {"OUTPUT", c.output}}), c.result) << c.output;
        EXPECT_EQ(logged(capture), c.logged) << c.output;
    }
    // A tool that quits without reading a large request is neither killed
    // by the closed pipe nor waited for.
    LogCapture capture;
    EXPECT_TRUE(run(std::string(512 * 1024, 'u'), "p", {{"READ", "0"}, {"OUTPUT", "1:early"}}));
    EXPECT_EQ(logged(capture), "early");
}

TEST_F(FilevaultAuthTest, MissingToolFailsWithTheSystemsReason) {
    LogCapture capture;
    const TrustedTempDir folder;
    tool_ = folder / "no-fdesetup";
    EXPECT_FALSE(run("u", "p"));
    EXPECT_EQ(logged(capture), "Failed to run command: No such file or directory");
    EXPECT_EQ(capture.lines().size(), 1U) << capture.dump();
}

// A tool someone other than root could have changed is never started; the
// refusal and its reason are logged at error level.
TEST_F(FilevaultAuthTest, RefusesAToolThatRootAloneCouldNotHavePutThere) {
    constexpr uid_t kOther = 65534;
    const fs::path standIn = tool_;
    const auto copy = [&standIn](const fs::path& to) {
        fs::create_directories(to.parent_path());
        fs::copy_file(standIn, to);
    };
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;  // the tool in folder/bin
        std::string reason;                         // "DIR" for the folder
    };
    const std::vector<Case> cases{
        {"another user owns its folder",
         [&](const fs::path& f) {
             copy(f / "bin/fdesetup");
             ASSERT_EQ(::chown((f / "bin").c_str(), kOther, 0), 0);
         },
         "folder DIR/bin is owned by uid 65534, not root"},
        {"another user's link to its folder",
         [&](const fs::path& f) {
             copy(f / "real/fdesetup");
             fs::create_directory_symlink("real", f / "bin");
             ASSERT_EQ(::lchown((f / "bin").c_str(), kOther, 0), 0);
         },
         "link DIR/bin is owned by uid 65534, not root"},
        {"root's link to a writable folder",
         [&](const fs::path& f) {
             copy(f / "open/fdesetup");
             fs::permissions(f / "open", fs::perms(0757));
             fs::create_directory_symlink("open", f / "bin");
         },
         "folder DIR/open is writable by group or others (mode 0757)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TrustedTempDir folder;
        c.make(folder.path());
        tool_ = folder / "bin/fdesetup";
        std::string reason = c.reason;
        if (const auto at = reason.find("DIR"); at != std::string::npos) {
            reason.replace(at, 3, folder.path().string());
        }
        LogCapture capture;
        EXPECT_FALSE(run("u", "p"));
        EXPECT_FALSE(fs::exists(dir_ / "call.args")) << "the tool was started";
        EXPECT_EQ(logged(capture, kLogLevelError),
                  "Refusing to run " + tool_.string() + ": " + reason);
    }
    // Links among folders root owns lead to a good tool: it runs.
    const TrustedTempDir folder;
    copy(folder / "real/fdesetup");
    fs::create_directory_symlink("real", folder / "bin");
    fs::create_directory_symlink(folder.path(), folder / "again");
    tool_ = folder / "again/bin/fdesetup";
    EXPECT_TRUE(run("u", "p"));
    EXPECT_TRUE(fs::exists(dir_ / "call.args"));
}

// A tool that never finishes is stopped within its limits; output past the
// kept size is counted, and a character cut by that size is left out.
TEST_F(FilevaultAuthTest, ToolIsBoundedInTimeAndOutput) {
    using std::chrono::milliseconds;
    const std::string tool = tool_.string();
    LogCapture capture;
    EXPECT_FALSE(run("u", "p", {{"HANG", "ignore-term"}},
                     {milliseconds(300), milliseconds(300), milliseconds(300), 64 * 1024}));
    EXPECT_EQ(logged(capture, kLogLevelError),
              tool +
                  " did not finish within 300 ms; its process group was sent SIGTERM, then "
                  "SIGKILL 300 ms later");
    capture.clear();
    EXPECT_TRUE(run("u", "p", {{"OUTPUT", "1:123456789\xC3\xA9 and more"}},
                    {kToolRunLimit, kToolStopGrace, kToolOutputGrace, 10}));
    EXPECT_EQ(logged(capture), "123456789");
    EXPECT_EQ(logged(capture, kLogLevelInfo),
              "Dropped 10 bytes of output of " + tool + " beyond the first 10");
}

}  // namespace
}  // namespace lockstep::testing
