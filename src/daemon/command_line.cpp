#include "daemon/command_line.h"

// GCC 12 reports a potential null dereference inside CLI11's inlined string
// splitting (a false positive in std::vector growth); it is not ours to fix.
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include <CLI/CLI.hpp>
#include <algorithm>
#include <string_view>

namespace lockstep {

namespace {

constexpr std::string_view kCommandName = "lockstepd";
constexpr std::string_view kUsageLine =
    "Usage: lockstepd [--set-user] [--user <user>] [--password <password>]";

struct OptionName {
    std::string_view longName;
    char shortName;
    bool takesValue;
};

constexpr OptionName kOptions[] = {
    {"--set-user", 's', false},
    {"--user", 'u', true},
    {"--password", 'p', true},
    {"--help", 'h', false},
};

const OptionName* findLong(std::string_view name) {
    for (const auto& option : kOptions) {
        if (option.longName == name) {
            return &option;
        }
    }
    return nullptr;
}

const OptionName* findShort(char name) {
    for (const auto& option : kOptions) {
        if (option.shortName == name) {
            return &option;
        }
    }
    return nullptr;
}

std::string displayName(const OptionName& option) {
    std::string name(option.longName);
    if (option.takesValue) {
        name += " <";
        name += option.longName.substr(2);
        name += '>';
    }
    return name;
}

// Checks the parts of the grammar that CLI11 is more lenient about: a
// separate value must not look like an option, short options carry no
// joined value, and flags take no "=" value. Gives the error message, or
// nothing when the arguments keep to the grammar.
std::optional<std::string> checkGrammar(const std::vector<std::string>& arguments) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (argument == "--" || argument.size() < 2 || argument[0] != '-') {
            continue;  // positional arguments are reported by CLI11
        }
        const OptionName* option = nullptr;
        if (argument[1] == '-') {
            const auto equals = argument.find('=');
            option = findLong(argument.substr(0, equals));
            if (option == nullptr) {
                return "Unknown option '" + std::string(argument.substr(0, equals)) + "'";
            }
            if (equals != std::string_view::npos) {
                if (!option->takesValue) {
                    return "Unknown option '" + std::string(argument) + "'";
                }
                continue;
            }
        } else {
            // A group of short names: only flags may be combined, and no
            // value may be joined to a short name.
            for (std::size_t j = 1; j < argument.size(); ++j) {
                const OptionName* shortOption = findShort(argument[j]);
                if (shortOption == nullptr || (shortOption->takesValue && argument.size() > 2)) {
                    return "Unknown option '" + std::string(argument) + "'";
                }
                option = shortOption;
            }
        }
        if (option->takesValue) {
            if (i + 1 >= arguments.size() || arguments[i + 1].starts_with('-')) {
                return "Missing value for '" + displayName(*option) + "'";
            }
            ++i;
        }
    }
    return std::nullopt;
}

}  // namespace

ParseOutcome parseCommandLine(const std::vector<std::string>& arguments) {
    PasswordDaemon command;
    CLI::App app{"", std::string(kCommandName)};
    app.add_flag("-s,--set-user", command.setUser, "set username and password in system keychain");
    app.add_option("-u,--user", command.user, "user account name to put into keychain")
        ->type_name("<user>")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("-p,--password", command.password, "user password to put into keychain")
        ->type_name("<password>")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    const bool helpRequested = std::any_of(arguments.begin(), arguments.end(), [](const auto& a) {
        return a == "-h" || a == "--help";
    });

    const auto grammarError = checkGrammar(arguments);
    if (grammarError && !helpRequested) {
        return UsageError{*grammarError};
    }

    // Hands CLI11 every value as an argument of its own (it mistakes an
    // empty "--password=" for a missing value), in the reverse order it takes.
    std::vector<std::string> reversed;
    reversed.reserve(arguments.size() * 2);
    for (std::size_t i = arguments.size(); i-- > 0;) {
        const std::string_view argument = arguments[i];
        const auto equals = argument.find('=');
        const OptionName* option = argument.starts_with("--") && equals != std::string_view::npos
                                       ? findLong(argument.substr(0, equals))
                                       : nullptr;
        if (option != nullptr && option->takesValue) {
            reversed.emplace_back(argument.substr(equals + 1));
            reversed.emplace_back(option->longName);
        } else {
            reversed.emplace_back(argument);
        }
    }
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        return HelpRequest{app.help()};
    } catch (const CLI::ParseError& error) {
        if (helpRequested) {
            return HelpRequest{app.help()};
        }
        return UsageError{error.what()};
    }
    if (helpRequested) {
        return HelpRequest{app.help()};
    }
    return command;
}

std::string usageErrorText(const UsageError& error) {
    std::string text = "Error: " + error.message + "\n";
    text += kUsageLine;
    text += "\n  See 'lockstepd --help' for more information.\n";
    return text;
}

}  // namespace lockstep
