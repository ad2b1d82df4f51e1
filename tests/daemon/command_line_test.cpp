#include "daemon/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace lockstep {
namespace {

using Args = std::vector<std::string>;

// What the parser made of the arguments, in one line: "set USER [PASSWORD]"
// ("run" without --set-user, "-" for what is missing), "help: TEXT" or the
// usage error's message.
std::string outcome(const Args& arguments) {
    const ParseOutcome parsed = parseCommandLine(arguments);
    if (const auto* command = std::get_if<PasswordDaemon>(&parsed)) {
        return (command->setUser ? "set " : "run ") + command->user.value_or("-") +
               (command->password ? " [" + std::string(command->password->view()) + "]" : " -");
    }
    const auto* help = std::get_if<HelpRequest>(&parsed);
    return help != nullptr ? "help: " + help->text : std::get<UsageError>(parsed).message;
}

// Every form of argument, with what it gives (the start of it). A password
// never shows in an error, whatever form it was given in; unexpected
// arguments are listed in the order given; help wins over everything else.
TEST(CommandLine, EachFormOfArgumentsGivesItsCommandHelpOrError) {
    const std::string missing = "Missing value for '--password <password>'", mask = "********";
    const std::string invalid = "Invalid value for '--password <password>'";
    const std::string unexpected = "The following arguments were not expected: ";
    for (const auto& [arguments, expected] : std::vector<std::pair<Args, std::string>>{
             {{}, "run - -"},
             {{"--set-user", "--user", "alice", "--password", "pw"}, "set alice [pw]"},
             {{"-s", "-u", "alice", "-p", "pw"}, "set alice [pw]"},
             {{"--user=alice", "--password=pw"}, "run alice [pw]"},
             // A value that begins with "-" is accepted when joined with "=".
             {{"-s", "-u", "bob", "--password=-x"}, "set bob [-x]"},
             {{"--set-user"}, "set - -"},
             {{"-s", "-u", "alice"}, "set alice -"},
             {{"--password", "a=b"}, "run - [a=b]"},
             {{"-s", "--"}, "set - -"},
             // Tab, line breaks and characters beyond the BMP travel in XML.
             {{"-p", "a\tb\r\nc\xf0\x9f\x94\x91"}, "run - [a\tb\r\nc\xf0\x9f\x94\x91]"},
             {{"-p", "-x"}, missing},
             {{"-u", "alice", "-p"}, missing},
             {{"--user"}, "Missing value for '--user <user>'"},
             {{"-pSECRET"}, "Unknown option '-p" + mask + "'"},
             {{"-spSECRET"}, "Unknown option '-sp" + mask + "'"},
             {{"--passwordSECRET"}, "Unknown option '--password" + mask + "'"},
             {{"--pasword=SECRET"}, "Unknown option '--pasword'"},
             {{"--pasword", "SECRET"}, "Unknown option '--pasword'"},
             {{"-ualice"}, "Unknown option '-ualice'"},
             {{"--set-user=1"}, "Unknown option '--set-user=1'"},
             {{"-p", "SECRET", "more"}, unexpected + "more"},
             {{"--", "-pSECRET", "-p", "SECRET"}, unexpected + "-p" + mask + " -p " + mask},
             {{"--", "-h"}, unexpected + "-h"},
             {{"-u", "al\xffice"}, "Invalid value for '--user <user>'"},
             {{"--password=pa\x01ss"}, invalid},
             {{"-p", "\xef\xbf\xbe"}, invalid},
             {{"-p", "\xed\xa0\x80"}, invalid},
             {{"--help"}, "help: "},
             {{"-s", "-u", "a", "-h"}, "help: "},
             {{"-sh"}, "help: "},
             {{"--bogus", "-h"}, "help: "},
             {{"-h", "--", "x"}, "help: "},
         }) {
        const std::string got = outcome(arguments);
        EXPECT_EQ(got.substr(0, expected.size()), expected) << ::testing::PrintToString(arguments);
        EXPECT_EQ(got.find("SECRET"), std::string::npos) << got;
    }
    const std::string help = outcome({"-h"});
    EXPECT_NE(help.find("set username and password in system"), std::string::npos);
    EXPECT_NE(help.find("user password to put into keychain"), std::string::npos);
    EXPECT_EQ(help.find("version"), std::string::npos);
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

}  // namespace
}  // namespace lockstep
