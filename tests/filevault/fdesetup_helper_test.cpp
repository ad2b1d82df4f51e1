#include "filevault/fdesetup_helper.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

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
// placeholder is never filled again. Only UTF-8 that XML 1.0 has a place for
// can be carried.
TEST(RequestTest, EscapesValuesFillsOnceAndCarriesOnlyXmlText) {
    for (const auto& [user, password, escaped] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"a<b&c>", "p\"'<&>", request("a&lt;b&amp;c&gt;", "p&quot;&apos;&lt;&amp;&gt;")},
             {"x{{password}}", "{{username}}{{password}}",
              request("x{{password}}", "{{username}}{{password}}")},
             {"J\xC3\xBCrgen", "line\r\nend", request("J\xC3\xBCrgen", "line&#13;\nend")}}) {
        EXPECT_EQ(toString(FDESetupHelper::buildRequest(user, password).bytes()), escaped);
    }
    for (const std::string value : {"plain \t\r\n", "\xEF\xBF\xBD\xF4\x8F\xBF\xBF\x7F\xC2\x85"}) {
        EXPECT_TRUE(FDESetupHelper::requestCanCarry(value)) << ::testing::PrintToString(value);
    }
    for (const std::string& value : {"a\0b"s, "\x1F"s, "\xEF\xBF\xBE"s, "\xC3"s, "\xC0\xAF"s}) {
        EXPECT_FALSE(FDESetupHelper::requestCanCarry(value)) << ::testing::PrintToString(value);
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
    bool run(std::string_view user, const std::map<std::string, std::string>& settings = {},
             const ChildLimits& limits = kToolLimits) {
        TearDown();  // each run starts unsteered
        capture_.clear();
        ::setenv("FAKE_FDESETUP_RECORD", (dir_ / "call").c_str(), 1);
        for (const auto& [name, value] : settings) {
            ::setenv(("FAKE_FDESETUP_" + name).c_str(), value.c_str(), 1);
        }
        return FDESetupHelper::filevaultAuth(user, "horse&{{username}}", tool_, limits);
    }
    // What filevaultAuth logged at `level` (debug: what the tool printed).
    [[nodiscard]] std::string logged(std::int64_t level = kLogLevelDebug) const {
        constexpr std::string_view kFunction = " filevaultAuth(username:password:) ";
        for (const auto& line : capture_.lines(level)) {
            if (const auto at = line.text.find(kFunction); at != std::string::npos) {
                return line.text.substr(at + kFunction.size());
            }
        }
        return "";
    }

    LogCapture capture_;
    TempDir dir_;
    fs::path tool_ = trustedTestProgram("fake_fdesetup");
};

TEST_F(FilevaultAuthTest, HandsTheRequestToTheToolOnItsInputOnly) {
    EXPECT_TRUE(run("a<b"));
    EXPECT_EQ(std::tuple(readFile(dir_ / "call.args"), readFile(dir_ / "call.stdin"), logged()),
              std::tuple("authrestart\0-delayminutes\0-1\0-inputplist\0"s,
                         request("a&lt;b", "horse&amp;{{username}}"), "No output"));
    EXPECT_EQ(readFile(dir_ / "call.env").find("horse"), std::string::npos);
    EXPECT_FALSE(capture_.contains("horse") || !capture_.lines(kLogLevelError).empty())
        << capture_.dump();
    // A missing tool fails with the system's reason.
    const TrustedTempDir folder;
    tool_ = folder / "no-fdesetup";
    EXPECT_FALSE(run("u"));
    EXPECT_EQ(std::tuple(logged(), capture_.lines().size()),
              std::tuple("Failed to run command: No such file or directory", 1U));
}

// The result follows the tool's exit; what it printed on its output and
// error is logged in order, trimmed, on one line.
TEST_F(FilevaultAuthTest, ResultFollowsTheToolAndItsOutputIsLogged) {
    for (const auto& [end, output, log, result] :
         std::vector<std::tuple<std::string, std::string, std::string, bool>>{
             {"0", "1:\n\n  armed for restart \t\n\n", "armed for restart", true},
             {"1", "1:out one\n|2:Error: refused\n|1:out two\n", "out one\nError: refused\nout two",
              false},
             {"s9", "1:\xC2\xA0spaced\xE2\x80\xA8", "spaced", false},
             {"0", "1: \n\t\r\n", "No output", true},
             {"0", "1:bad \xFF byte\n", "No output", true}}) {
        EXPECT_EQ(run("u", {{"END", end}, {"OUTPUT", output}}), result) << output;
        EXPECT_EQ(logged(), log) << output;
    }
    // A tool that quits without reading a large request is neither killed
    // by the closed pipe nor waited for.
    EXPECT_TRUE(run(std::string(512 * 1024, 'u'), {{"READ", "0"}, {"OUTPUT", "1:early"}}));
    EXPECT_EQ(logged(), "early");
}

// A tool someone other than root could have changed is never started; the
// refusal and its reason are logged at error level. One that never finishes
// is stopped within its limits; output past the kept size is counted, and a
// character cut by that size is left out.
TEST_F(FilevaultAuthTest, RefusesAnUntrustedToolAndBoundsTimeAndOutput) {
    const TrustedTempDir folder;
    fs::create_directories(folder / "bin");
    fs::copy_file(tool_, folder / "bin/fdesetup");
    ASSERT_EQ(::chown((folder / "bin").c_str(), 65534, 0), 0);
    const fs::path trusted = std::exchange(tool_, folder / "bin/fdesetup");
    EXPECT_FALSE(run("u"));
    EXPECT_FALSE(fs::exists(dir_ / "call.args")) << "the tool was started";
    EXPECT_EQ(logged(kLogLevelError), "Refusing to run " + tool_.string() + ": folder " +
                                          (folder / "bin").string() +
                                          " is owned by uid 65534, not root");

    using std::chrono::milliseconds;
    tool_ = trusted;
    EXPECT_FALSE(run("u", {{"HANG", "ignore-term"}},
                     {milliseconds(300), milliseconds(300), milliseconds(300), 1024}));
    EXPECT_EQ(logged(kLogLevelError), tool_.string() +
                                          " did not finish within 300 ms; its process "
                                          "group was sent SIGTERM, then SIGKILL 300 ms later");
    EXPECT_TRUE(run("u", {{"OUTPUT", "1:123456789\xC3\xA9 and more"}},
                    {kToolRunLimit, kToolStopGrace, kToolOutputGrace, 10}));
    EXPECT_EQ(std::tuple(logged(), logged(kLogLevelInfo)),
              std::tuple("123456789", "Dropped 10 bytes of output of " + tool_.string() +
                                          " beyond the first 10"));
}

}  // namespace
}  // namespace lockstep::testing
