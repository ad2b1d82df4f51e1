#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "daemon/password_daemon.h"

namespace lockstep {

// The help text, to be printed on standard output with exit status 0.
struct HelpRequest {
    std::string text;
};

// A usage error: the parser's message (labelled "Error") and the usage line,
// to be printed on standard error with exit status 64.
struct UsageError {
    std::string message;
};

using ParseOutcome = std::variant<PasswordDaemon, HelpRequest, UsageError>;

inline constexpr int kExitUsage = 64;

// Parses the process arguments (without the program path) into the root
// command. Grammar: --set-user/-s, --user/-u <user>, --password/-p
// <password>, --help/-h. A value is the next argument or joined to the long
// form with "="; a next argument that begins with "-" is never taken as a
// value. After "--" every argument is positional. Undeclared options,
// positional arguments and values that are not UTF-8 text the restart
// request can carry are usage errors, whose messages never show a password.
// Help wins over every error before "--".
[[nodiscard]] ParseOutcome parseCommandLine(const std::vector<std::string>& arguments);

// For each argument, where the password text in it starts: 0 for a value
// that follows -p, --password or a group of short names ending in p; past
// "--password=" or "-p" (alone or after other short names) for a joined one;
// npos when the argument holds none. Wider than the grammar, so that every
// form someone may have meant as a password is scrubbed from the process's
// argument memory and never shown in a usage error.
[[nodiscard]] std::vector<std::size_t> passwordTextOffsets(
    const std::vector<std::string>& arguments);

// The full text printed for a usage error: "Error: <message>", the usage
// line and a pointer to the help.
[[nodiscard]] std::string usageErrorText(const UsageError& error);

}  // namespace lockstep
