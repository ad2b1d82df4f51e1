#include "daemon/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace lockstep {
namespace {

using Args = std::vector<std::string>;
constexpr auto kNone = std::nullopt;

TEST(CommandLine, AcceptedArgumentsFillTheCommand) {
    struct Accepted {
        Args arguments;
        bool setUser;
        std::optional<std::string> user;
        std::optional<std::string> password;
    };
    for (const Accepted& c : {
             Accepted{{}, false, kNone, kNone},
             Accepted{{"--set-user", "--user", "alice", "--password", "pw"}, true, "alice", "pw"},
             Accepted{{"-s", "-u", "alice", "-p", "pw"}, true, "alice", "pw"},
             Accepted{{"--user=alice", "--password=pw"}, false, "alice", "pw"},
             // A value that begins with "-" is accepted when joined with "=".
             Accepted{{"-s", "-u", "bob", "--password=-x"}, true, "bob", "-x"},
             Accepted{{"--password=", "-u", "bob"}, false, "bob", ""},
             Accepted{{"--set-user"}, true, kNone, kNone},
             Accepted{{"-s", "-u", "alice"}, true, "alice", kNone},
             Accepted{{"--password", "a=b"}, false, kNone, "a=b"},
             Accepted{{"-u", "first", "-u", "last"}, false, "last", kNone},
         }) {
        const ParseOutcome outcome = parseCommandLine(c.arguments);
        ASSERT_TRUE(std::holds_alternative<PasswordDaemon>(outcome))
            << ::testing::PrintToString(c.arguments);
        const auto& command = std::get<PasswordDaemon>(outcome);
        EXPECT_EQ(command.setUser, c.setUser);
        EXPECT_EQ(command.user, c.user);
        EXPECT_EQ(command.password, c.password);
    }
}

TEST(CommandLine, OtherArgumentsAreAUsageError) {
    for (const Args& arguments :
         {Args{"-p", "-x"}, Args{"--password", "-1"}, Args{"-p", "-"}, Args{"--user"}, Args{"-u"},
          Args{"--bogus"}, Args{"-x"}, Args{"alice"}, Args{"-s", "extra"}, Args{"--", "-u"},
          Args{"-ualice"}, Args{"--set-user=1"}, Args{"--version"}, Args{"-u", "alice", "-p"}}) {
        const ParseOutcome outcome = parseCommandLine(arguments);
        ASSERT_TRUE(std::holds_alternative<UsageError>(outcome))
            << ::testing::PrintToString(arguments);
        EXPECT_FALSE(std::get<UsageError>(outcome).message.empty());
    }
}

TEST(CommandLine, HelpWinsOverOtherArgumentsAndShowsTheHelpTexts) {
    for (const Args& arguments : {Args{"--help"}, Args{"-h"}, Args{"-s", "-u", "a", "-h"},
                                  Args{"--user", "alice", "--help", "-p", "pw"}}) {
        const ParseOutcome outcome = parseCommandLine(arguments);
        ASSERT_TRUE(std::holds_alternative<HelpRequest>(outcome));
        const std::string& text = std::get<HelpRequest>(outcome).text;
        for (const char* expected :
             {"set username and password in system keychain", "--set-user",
              "user account name to put into keychain", "user password to put into keychain"}) {
            EXPECT_NE(text.find(expected), std::string::npos) << expected;
        }
        EXPECT_EQ(text.find("version"), std::string::npos);
    }
}

}  // namespace
}  // namespace lockstep
