#include "daemon/command_line.h"

// GCC 12 reports a potential null dereference inside CLI11's inlined string
// splitting (a false positive in std::vector growth); it is not ours to fix.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wnull-dereference"
#endif
#include <CLI/CLI.hpp>
#include <algorithm>
#include <string_view>

#include "filevault/fdesetup_helper.h"

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

constexpr std::string_view kPasswordLong = "--password";
constexpr char kPasswordShort = 'p';
constexpr std::string_view kMask = "********";

// An argument as a usage error may show it: with any password text in it
// replaced by the mask.
std::string shown(std::string_view argument, std::size_t secretFrom) {
    if (secretFrom == std::string_view::npos || secretFrom >= argument.size()) {
        return std::string(argument);
    }
    return std::string(argument.substr(0, secretFrom)) + std::string(kMask);
}

// What one scan of the arguments found.
struct Scan {
    std::optional<std::string> error;     // the first error, in argument order
    std::vector<std::string> unexpected;  // positional arguments, as shown, in order
    bool help = false;                    // -h or --help before any "--"
    bool setUser = false;
    std::optional<std::string> user;      // the last value given
    std::optional<std::size_t> password;  // index of the argument holding the last value
    std::size_t passwordOffset = 0;       // where the value starts in that argument
};

// Walks the arguments once with the grammar: long names with a separate or
// "="-joined value, groups of short flags, a short name with a separate
// value, and "--", after which every argument is positional. A separate
// value must not look like an option. Values must be text that the restart
// request can carry.
Scan scan(const std::vector<std::string>& arguments, const std::vector<std::size_t>& secretFrom) {
    Scan result;
    const auto fail = [&result](std::string message) {
        if (!result.error) {
            result.error = std::move(message);
        }
    };
    const auto unknown = [&](std::size_t i) {
        fail("Unknown option '" + shown(arguments[i], secretFrom[i]) + "'");
    };
    const auto takeValue = [&](const OptionName& option, std::size_t index, std::size_t offset) {
        const std::string_view value = std::string_view(arguments[index]).substr(offset);
        if (!FDESetupHelper::requestCanCarry(value)) {
            fail("Invalid value for '" + displayName(option) +
                 "': not UTF-8 text that the restart request can carry");
        }
        if (option.shortName == kPasswordShort) {
            result.password = index;
            result.passwordOffset = offset;
        } else {
            result.user = std::string(value);
        }
    };
    // A separate value: the next argument, unless there is none or it looks
    // like an option. Gives whether it was taken.
    const auto separateValue = [&](const OptionName& option, std::size_t i) {
        if (i + 1 >= arguments.size() || arguments[i + 1].starts_with('-')) {
            fail("Missing value for '" + displayName(option) + "'");
            return false;
        }
        takeValue(option, i + 1, 0);
        return true;
    };

    bool positionalOnly = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (positionalOnly || argument.size() < 2 || argument[0] != '-') {
            result.unexpected.push_back(shown(argument, secretFrom[i]));
            continue;
        }
        if (argument == "--") {
            positionalOnly = true;
            continue;
        }
        if (argument[1] == '-') {
            const auto equals = argument.find('=');
            const OptionName* option = findLong(argument.substr(0, equals));
            if (option == nullptr) {
                // Only the name: what follows an "=" may be a mistyped password.
                fail("Unknown option '" + shown(argument.substr(0, equals), secretFrom[i]) + "'");
            } else if (equals != std::string_view::npos && !option->takesValue) {
                unknown(i);
            } else if (equals != std::string_view::npos) {
                takeValue(*option, i, equals + 1);
            } else if (option->takesValue) {
                if (separateValue(*option, i)) {
                    ++i;
                }
            } else {
                (option->shortName == 'h' ? result.help : result.setUser) = true;
            }
            continue;
        }
        // A group of short names: only flags may be combined, and no value
        // may be joined to a short name.
        for (std::size_t j = 1; j < argument.size(); ++j) {
            const OptionName* option = findShort(argument[j]);
            if (option == nullptr || (option->takesValue && argument.size() > 2)) {
                unknown(i);
                break;
            }
            if (option->takesValue) {
                if (separateValue(*option, i)) {
                    ++i;
                }
            } else {
                (option->shortName == 'h' ? result.help : result.setUser) = true;
            }
        }
    }
    if (!result.unexpected.empty()) {
        std::string list;
        for (const std::string& argument : result.unexpected) {
            list += (list.empty() ? "" : " ") + argument;
        }
        fail("The following arguments were not expected: " + list);
    }
    return result;
}

}  // namespace

std::vector<std::size_t> passwordTextOffsets(const std::vector<std::string>& arguments) {
    // Deliberately wider than the grammar: whatever could be meant as a
    // password is covered, even in arguments that are errors.
    std::vector<std::size_t> offsets(arguments.size(), std::string_view::npos);
    bool nextIsValue = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (nextIsValue) {
            offsets[i] = 0;
        }
        nextIsValue = false;
        if (argument.starts_with(kPasswordLong)) {
            if (argument.size() == kPasswordLong.size()) {
                nextIsValue = true;
            } else {
                const std::size_t from =
                    kPasswordLong.size() + (argument[kPasswordLong.size()] == '=' ? 1 : 0);
                offsets[i] = std::min(offsets[i], from);
            }
        } else if (argument.size() >= 2 && argument[0] == '-' && argument[1] != '-') {
            const std::size_t p = argument.find(kPasswordShort, 1);
            if (p + 1 == argument.size()) {
                nextIsValue = true;
            } else if (p != std::string_view::npos) {
                offsets[i] = std::min(offsets[i], p + 1);
            }
        }
    }
    return offsets;
}

ParseOutcome parseCommandLine(const std::vector<std::string>& arguments) {
    PasswordDaemon command;
    CLI::App app{"", std::string(kCommandName)};
    app.add_flag("-s,--set-user", command.setUser, "set username and password in system keychain");
    std::optional<std::string> user;
    app.add_option("-u,--user", user, "user account name to put into keychain")
        ->type_name("<user>")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // The password never passes through the parser library: its copies of the
    // arguments are not wiped. Only its help text is the library's.
    std::optional<std::string> passwordPlaceholder;
    app.add_option("-p,--password", passwordPlaceholder, "user password to put into keychain")
        ->type_name("<password>")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    const Scan found = scan(arguments, passwordTextOffsets(arguments));
    if (found.help) {
        return HelpRequest{app.help()};
    }
    if (found.error) {
        return UsageError{*found.error};
    }

    // The arguments as the library takes them (in reverse order), each value
    // as an argument of its own (it mistakes an empty "--password=" for a
    // missing value).
    std::vector<std::string> reversed;
    if (found.user) {
        reversed.push_back(*found.user);
        reversed.emplace_back("--user");
    }
    if (found.setUser) {
        reversed.emplace_back("--set-user");
    }
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        return UsageError{error.what()};
    }
    command.user = std::move(user);
    if (found.password) {
        command.password =
            SecretString(std::string_view(arguments[*found.password]).substr(found.passwordOffset));
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
