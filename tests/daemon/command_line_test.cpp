#include "daemon/command_line.h"

#include <gmock/gmock.h>
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
             Accepted{{"-s", "--"}, true, kNone, kNone},
             // Tab, line breaks and characters beyond the BMP travel in XML.
             Accepted{
                 {"-p", "a\tb\r\nc\xf0\x9f\x94\x91"}, false, kNone, "a\tb\r\nc\xf0\x9f\x94\x91"},
         }) {
        const ParseOutcome outcome = parseCommandLine(c.arguments);
        ASSERT_TRUE(std::holds_alternative<PasswordDaemon>(outcome))
            << ::testing::PrintToString(c.arguments);
        const auto& command = std::get<PasswordDaemon>(outcome);
        EXPECT_EQ(std::tuple(command.setUser, command.user, command.password),
                  std::tuple(c.setUser, c.user, c.password));
    }
}

// Every usage error, with the message it gives: a password value never shows,
// whatever form it was given in, and unexpected arguments are listed in the
// order given.
TEST(CommandLine, UsageErrorsSayWhatIsWrongWithoutShowingAPassword) {
    struct Refused {
        Args arguments;
        std::string message;
    };
    const std::string mask = "********";
    for (const Refused& c : {
             Refused{{"-p", "-x"}, "Missing value for '--password <password>'"},
             Refused{{"--password", "-1"}, "Missing value for '--password <password>'"},
             Refused{{"-u", "alice", "-p"}, "Missing value for '--password <password>'"},
             Refused{{"--user"}, "Missing value for '--user <user>'"},
             Refused{{"-pSECRET"}, "Unknown option '-p" + mask + "'"},
             Refused{{"-spSECRET"}, "Unknown option '-sp" + mask + "'"},
             Refused{{"--passwordSECRET"}, "Unknown option '--password" + mask + "'"},
             Refused{{"--pasword=SECRET"}, "Unknown option '--pasword'"},
             Refused{{"--pasword", "SECRET"}, "Unknown option '--pasword'"},
             Refused{{"-x", "-p", "SECRET"}, "Unknown option '-x'"},
             Refused{{"-p", "SECRET", "more"}, "The following arguments were not expected: more"},
             Refused{{"-ualice"}, "Unknown option '-ualice'"},
             Refused{{"--set-user=1"}, "Unknown option '--set-user=1'"},
             Refused{{"--version"}, "Unknown option '--version'"},
             Refused{{"alice"}, "The following arguments were not expected: alice"},
             Refused{{"-s", "--", "-u", "x"}, "The following arguments were not expected: -u x"},
             Refused{{"--", "-h"}, "The following arguments were not expected: -h"},
             Refused{{"--", "-pSECRET", "-p", "SECRET"},
                     "The following arguments were not expected: -p" + mask + " -p " + mask},
             Refused{{"-u", "al\xffice"}, "Invalid value for '--user <user>'"},
             Refused{{"--password=pa\x01ss"}, "Invalid value for '--password <password>'"},
             Refused{{"-p", "\xef\xbf\xbe"}, "Invalid value for '--password <password>'"},
             Refused{{"-p", "\xed\xa0\x80"}, "Invalid value for '--password <password>'"},
         }) {
        const ParseOutcome outcome = parseCommandLine(c.arguments);
        ASSERT_TRUE(std::holds_alternative<UsageError>(outcome))
            << ::testing::PrintToString(c.arguments);
        const std::string& message = std::get<UsageError>(outcome).message;
        EXPECT_EQ(message.rfind(c.message, 0), 0U) << message;
        EXPECT_EQ(message.find("SECRET"), std::string::npos) << message;
    }
}

TEST(CommandLine, EveryFormOfAPasswordIsFoundForScrubbing) {
    constexpr auto npos = std::string::npos;
    using Offsets = std::vector<std::size_t>;
    for (const auto& [arguments, offsets] : {
             std::pair{Args{"-p", "pw", "--password", "pw"}, Offsets{npos, 0, npos, 0}},
             std::pair{Args{"--password=pw", "--password=", "-ppw"}, Offsets{11, 11, 2}},
             std::pair{Args{"-sp", "pw", "-spw", "--passwordpw"}, Offsets{npos, 0, 3, 10}},
             std::pair{Args{"-u", "pete", "--user=-p", "-p"}, Offsets{npos, npos, npos, npos}},
             std::pair{Args{"-p", "-p", "x"}, Offsets{npos, 0, 0}},
         }) {
        EXPECT_EQ(passwordTextOffsets(arguments), offsets) << ::testing::PrintToString(arguments);
    }
}

TEST(CommandLine, HelpWinsOverOtherArgumentsAndShowsTheHelpTexts) {
    for (const Args& arguments : {Args{"--help"}, Args{"-s", "-u", "a", "-h"}, Args{"-sh"},
                                  Args{"--bogus", "-h"}, Args{"-h", "--", "x"}}) {
        const ParseOutcome outcome = parseCommandLine(arguments);
        ASSERT_TRUE(std::holds_alternative<HelpRequest>(outcome));
        EXPECT_THAT(std::get<HelpRequest>(outcome).text,
                    ::testing::AllOf(::testing::HasSubstr("set username and password in system"),
                                     ::testing::HasSubstr("user password to put into keychain"),
                                     ::testing::Not(::testing::HasSubstr("version"))));
    }
}

}  // namespace
}  // namespace lockstep
