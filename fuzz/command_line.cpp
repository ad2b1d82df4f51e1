// The daemon's command-line parser. Input: the process arguments (without
// the program path), separated by NUL bytes; an empty input is no arguments.
//
// Checks: parsing never throws; a usage error has a message and its printed
// text is labelled "Error"; an accepted command only holds values that were
// on the command line; and an accepted command, written back as arguments
// (long forms joined with "=", and short forms with separate values where a
// value allows it), parses to the same command.

#include "daemon/command_line.h"

#include <exception>
#include <string>
#include <variant>
#include <vector>

#include "support/fuzz_support.h"

namespace lockstep::fuzz {
namespace {

ParseOutcome parse(const std::vector<std::string>& arguments) {
    try {
        return parseCommandLine(arguments);
    } catch (const std::exception& error) {
        fail(std::string("parseCommandLine threw: ") + error.what());
    } catch (...) {
        fail("parseCommandLine threw a non-standard exception");
    }
}

bool sameCommand(const PasswordDaemon& a, const PasswordDaemon& b) {
    return a.setUser == b.setUser && a.user == b.user && a.password == b.password;
}

// Whether `value` stands on the command line as an argument of its own or
// after the "=" of a joined long form.
bool onCommandLine(const std::string& value, const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == value) {
            return true;
        }
        const std::size_t equals = argument.find('=');
        if (argument.starts_with("--") && equals != std::string::npos &&
            argument.compare(equals + 1, std::string::npos, value) == 0) {
            return true;
        }
    }
    return false;
}

void checkReparses(const PasswordDaemon& command, bool shortForms) {
    std::vector<std::string> arguments;
    if (command.setUser) {
        arguments.emplace_back(shortForms ? "-s" : "--set-user");
    }
    const auto addValue = [&](const std::optional<std::string>& value, const char* longName,
                              const char* shortName) {
        if (!value) {
            return;
        }
        // A separate value must not look like an option; such a value is
        // written joined, the only form that carries it.
        if (shortForms && !value->starts_with('-')) {
            arguments.emplace_back(shortName);
            arguments.push_back(*value);
        } else {
            arguments.push_back(std::string(longName) + "=" + *value);
        }
    };
    addValue(command.user, "--user", "-u");
    addValue(command.password ? std::optional<std::string>(command.password->view()) : std::nullopt,
             "--password", "-p");
    const ParseOutcome again = parse(arguments);
    check(std::holds_alternative<PasswordDaemon>(again), "a parsed command does not parse again");
    check(sameCommand(std::get<PasswordDaemon>(again), command),
          "a parsed command parses again to another command");
}

}  // namespace

void fuzzOne(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> arguments =
        size == 0 ? std::vector<std::string>() : splitAtNul(textOf(data, size));
    const ParseOutcome outcome = parse(arguments);

    if (const auto* error = std::get_if<UsageError>(&outcome)) {
        check(!error->message.empty(), "a usage error without a message");
        check(usageErrorText(*error).starts_with("Error: "), "a usage error not labelled Error");
        return;
    }
    if (const auto* help = std::get_if<HelpRequest>(&outcome)) {
        check(!help->text.empty(), "an empty help text");
        return;
    }
    const auto& command = std::get<PasswordDaemon>(outcome);
    for (const std::string& argument : arguments) {
        check(argument != "-h" && argument != "--help", "a help request taken as a command");
    }
    check(!command.user || onCommandLine(*command.user, arguments),
          "a user value that was not on the command line");
    check(!command.password || onCommandLine(std::string(command.password->view()), arguments),
          "a password value that was not on the command line");
    checkReparses(command, false);
    checkReparses(command, true);
}

}  // namespace lockstep::fuzz
