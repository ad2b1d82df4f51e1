#include "filevault/fdesetup_helper.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

using namespace std::string_literals;

constexpr std::string_view kFunction = " filevaultAuth(username:password:) ";

std::string request(std::string_view user, std::string_view password) {
    return " <plist>\n"
           "   <dict>\n"
           "         <key>Username</key>\n"
           "         <string>" +
           std::string(user) +
           "</string>\n"
           "         <key>Password</key>\n"
           "         <string>" +
           std::string(password) +
           "</string>\n"
           "   </dict>\n"
           "</plist>\n";
}

// The two texts of a request, as a property-list parser reads them back.
std::optional<std::pair<std::string, std::string>> parseRequest(const Bytes& bytes) {
    const auto parsed = parsePlist(bytes);
    if (!parsed) {
        return std::nullopt;
    }
    const auto text = [&parsed](const char* key) -> std::optional<std::string> {
        plist_t node = plist_dict_get_item(static_cast<plist_t>(parsed->root.get()), key);
        if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
            return std::nullopt;
        }
        char* raw = nullptr;
        plist_get_string_val(node, &raw);
        const std::unique_ptr<char, decltype(&std::free)> value(raw, &std::free);
        return std::string(value ? value.get() : "");
    };
    const auto user = text("Username");
    const auto password = text("Password");
    if (!user || !password) {
        return std::nullopt;
    }
    return std::make_pair(*user, *password);
}

TEST(RequestTemplateTest, IsTheFixed175ByteText) {
    const std::string expected =
        std::string(1, ' ') + "<plist>\n" + std::string(3, ' ') + "<dict>\n" + std::string(9, ' ') +
        "<key>Username</key>\n" + std::string(9, ' ') + "<string>{{username}}</string>\n" +
        std::string(9, ' ') + "<key>Password</key>\n" + std::string(9, ' ') +
        "<string>{{password}}</string>\n" + std::string(3, ' ') + "</dict>\n" + "</plist>\n";
    EXPECT_EQ(FDESetupHelper::kRequestTemplate.size(), 175U);
    EXPECT_EQ(FDESetupHelper::kRequestTemplate, expected);
}

struct RequestCase {
    const char* name;
    std::string user;
    std::string password;
    std::string escapedUser;
    std::string escapedPassword;
};

class BuildRequestTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(BuildRequestTest, EscapesValuesAndFillsOnce) {
    const auto& c = GetParam();
    const SecretBytes built = FDESetupHelper::buildRequest(c.user, c.password);
    EXPECT_EQ(toString(built.bytes()), request(c.escapedUser, c.escapedPassword));
    const auto parsed = parseRequest(built.bytes());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->first, c.user);
    EXPECT_EQ(parsed->second, c.password);
}

INSTANTIATE_TEST_SUITE_P(
    Values, BuildRequestTest,
    ::testing::Values(RequestCase{"Plain", "alice", "s3cret pass", "alice", "s3cret pass"},
                      RequestCase{"Markup", "a<b&c>", "p\"'<&>", "a&lt;b&amp;c&gt;",
                                  "p&quot;&apos;&lt;&amp;&gt;"},
                      RequestCase{"PasswordPlaceholderInName", "x{{password}}", "pw",
                                  "x{{password}}", "pw"},
                      RequestCase{"NamePlaceholderInPassword", "bob", "{{username}}{{password}}",
                                  "bob", "{{username}}{{password}}"},
                      RequestCase{"EntityLookalike", "&amp;", "&lt;", "&amp;amp;", "&amp;lt;"},
                      RequestCase{"Unicode", "J\xC3\xBCrgen", "\xE2\x82\xAC\xF0\x9F\x94\x91",
                                  "J\xC3\xBCrgen", "\xE2\x82\xAC\xF0\x9F\x94\x91"},
                      RequestCase{"Empty", "", "", "", ""}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// Runs filevaultAuth against the stand-in tool, which is steered through
// variables of this test process's environment (its child inherits them).
class FilevaultAuthTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const char* name : {"FAKE_FDESETUP_RECORD", "FAKE_FDESETUP_READ",
                                 "FAKE_FDESETUP_OUTPUT", "FAKE_FDESETUP_END"}) {
            ::unsetenv(name);
        }
    }

    bool run(std::string_view user, std::string_view password,
             const std::map<std::string, std::string>& settings = {}) {
        ::setenv("FAKE_FDESETUP_RECORD", (dir_ / "call").c_str(), 1);
        for (const auto& [name, value] : settings) {
            ::setenv(("FAKE_FDESETUP_" + name).c_str(), value.c_str(), 1);
        }
        return FDESetupHelper::filevaultAuth(user, password, tool_);
    }

    [[nodiscard]] std::vector<std::string> recordedArguments() const {
        const std::string raw = readFile(dir_ / "call.args");
        std::vector<std::string> arguments;
        std::size_t start = 0;
        while (start < raw.size()) {
            const std::size_t end = raw.find('\0', start);
            arguments.push_back(raw.substr(start, end - start));
            start = end + 1;
        }
        return arguments;
    }

    [[nodiscard]] std::string recordedInput() const { return readFile(dir_ / "call.stdin"); }

    // The one message filevaultAuth logged after the tool ended.
    [[nodiscard]] static std::string loggedOutput(const LogCapture& capture) {
        for (const auto& line : capture.lines(kLogLevelDebug)) {
            const auto at = line.text.find(kFunction);
            if (at != std::string::npos) {
                return line.text.substr(at + kFunction.size());
            }
        }
        return "<nothing logged>";
    }

    TempDir dir_;
    std::filesystem::path tool_ =
        std::filesystem::path(LOCKSTEP_TEST_HELPERS_DIR) / "fake_fdesetup";
};

TEST_F(FilevaultAuthTest, HandsTheRequestToTheToolOnItsInputOnly) {
    LogCapture capture;
    EXPECT_TRUE(run("alice", "correct horse"));
    EXPECT_EQ(recordedArguments(),
              (std::vector<std::string>{"authrestart", "-delayminutes", "-1", "-inputplist"}));
    EXPECT_EQ(recordedInput(), request("alice", "correct horse"));
    EXPECT_EQ(loggedOutput(capture), "No output");
    EXPECT_FALSE(capture.contains("correct horse")) << capture.dump();
}

TEST_F(FilevaultAuthTest, EscapedValuesReachTheToolAsAValidPropertyList) {
    EXPECT_TRUE(run("a<b", "p&w{{username}}"));
    const auto parsed = parseRequest(toBytes(recordedInput()));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->first, "a<b");
    EXPECT_EQ(parsed->second, "p&w{{username}}");
}

TEST_F(FilevaultAuthTest, ResultFollowsTheToolsExit) {
    struct Case {
        const char* end;
        bool expected;
    };
    for (const auto& [end, expected] : std::vector<Case>{
             {"0", true}, {"1", false}, {"2", false}, {"s9", false}, {"s15", false}}) {
        LogCapture capture;
        EXPECT_EQ(run("u", "p", {{"END", end}, {"OUTPUT", "1:done\n"}}), expected) << end;
        EXPECT_EQ(loggedOutput(capture), "done") << end;
    }
}

TEST_F(FilevaultAuthTest, LogsTheOutputTrimmed) {
    struct Case {
        std::string output;
        std::string logged;
    };
    for (const auto& [output, logged] : std::vector<Case>{
             {"1:\n\n  armed for restart \t\n\n", "armed for restart"},
             {"1:first\n\nlast\n", "first\n\nlast"},
             {"1: \n\t\r\n", "No output"},
             {"1:\xC2\xA0spaced\xE2\x80\xA8", "spaced"},
             {"1:bad \xFF byte\n", "No output"},  // not UTF-8
             {"", "No output"},
         }) {
        LogCapture capture;
        EXPECT_TRUE(run("u", "p", {{"OUTPUT", output}}));
        EXPECT_EQ(loggedOutput(capture), logged) << output;
    }
}

TEST_F(FilevaultAuthTest, ErrorAndOutputShareOneLineInTheirOrder) {
    LogCapture capture;
    EXPECT_FALSE(
        run("u", "p", {{"OUTPUT", "1:out one\n|2:Error: refused\n|1:out two\n"}, {"END", "1"}}));
    EXPECT_EQ(loggedOutput(capture), "out one\nError: refused\nout two");
}

TEST_F(FilevaultAuthTest, MissingToolFailsWithTheSystemsReason) {
    LogCapture capture;
    tool_ = dir_ / "no-fdesetup";
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

}  // namespace
}  // namespace lockstep::testing
