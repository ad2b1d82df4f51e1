#include "daemon/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace lockstep {
namespace {

using Args = std::vector<std::string>;

struct Accepted {
    Args arguments;
    bool setUser;
    std::optional<std::string> user;
    std::optional<std::string> password;
};

class AcceptedCommandLine : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedCommandLine, FillsTheCommand) {
    const auto& expected = GetParam();
    const ParseOutcome outcome = parseCommandLine(expected.arguments);
    ASSERT_TRUE(std::holds_alternative<PasswordDaemon>(outcome))
        << (std::holds_alternative<UsageError>(outcome) ? std::get<UsageError>(outcome).message
                                                        : "help");
    const auto& command = std::get<PasswordDaemon>(outcome);
    EXPECT_EQ(command.setUser, expected.setUser);
    EXPECT_EQ(command.user, expected.user);
    EXPECT_EQ(command.password, expected.password);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, AcceptedCommandLine,
    ::testing::Values(
        Accepted{{}, false, std::nullopt, std::nullopt},
        Accepted{{"--set-user", "--user", "alice", "--password", "pw"}, true, "alice", "pw"},
        Accepted{{"-s", "-u", "alice", "-p", "pw"}, true, "alice", "pw"},
        Accepted{{"--user=alice", "--password=pw"}, false, "alice", "pw"},
        // A value that begins with "-" is accepted when joined with "=".
        Accepted{{"-s", "-u", "bob", "--password=-x"}, true, "bob", "-x"},
        Accepted{{"--password=", "-u", "bob"}, false, "bob", ""},
        Accepted{{"--set-user"}, true, std::nullopt, std::nullopt},
        Accepted{{"-s", "-u", "alice"}, true, "alice", std::nullopt},
        Accepted{{"--password", "a=b"}, false, std::nullopt, "a=b"},
        Accepted{{"-u", "first", "-u", "last"}, false, "last", std::nullopt}));

class RejectedCommandLine : public ::testing::TestWithParam<Args> {};

TEST_P(RejectedCommandLine, IsAUsageError) {
    const ParseOutcome outcome = parseCommandLine(GetParam());
    ASSERT_TRUE(std::holds_alternative<UsageError>(outcome));
    EXPECT_FALSE(std::get<UsageError>(outcome).message.empty());
}

INSTANTIATE_TEST_SUITE_P(Grammar, RejectedCommandLine,
                         ::testing::Values(Args{"-p", "-x"}, Args{"--password", "-1"},
                                           Args{"-p", "-"}, Args{"--user"}, Args{"-u"},
                                           Args{"--bogus"}, Args{"-x"}, Args{"alice"},
                                           Args{"-s", "extra"}, Args{"--", "-u"}, Args{"-ualice"},
                                           Args{"--set-user=1"}, Args{"--version"},
                                           Args{"-u", "alice", "-p"}));

TEST(CommandLineHelp, WinsOverOtherArgumentsAndShowsTheHelpTexts) {
    for (const Args& arguments : {Args{"--help"}, Args{"-h"}, Args{"-s", "-u", "a", "-h"},
                                  Args{"--user", "alice", "--help", "-p", "pw"}}) {
        const ParseOutcome outcome = parseCommandLine(arguments);
        ASSERT_TRUE(std::holds_alternative<HelpRequest>(outcome));
        const std::string& text = std::get<HelpRequest>(outcome).text;
        EXPECT_NE(text.find("set username and password in system keychain"), std::string::npos);
        EXPECT_NE(text.find("user account name to put into keychain"), std::string::npos);
        EXPECT_NE(text.find("user password to put into keychain"), std::string::npos);
        EXPECT_NE(text.find("--set-user"), std::string::npos);
        EXPECT_EQ(text.find("version"), std::string::npos);
    }
}

TEST(CommandLineUsageError, IsLabelledAndCarriesTheUsageLine) {
    const std::string text =
        usageErrorText(UsageError{"Missing value for '--password <password>'"});
    EXPECT_EQ(text.rfind("Error: Missing value for '--password <password>'\n", 0), 0U);
    EXPECT_NE(text.find("Usage: lockstepd [--set-user] [--user <user>] [--password <password>]"),
              std::string::npos);
}

}  // namespace
}  // namespace lockstep
