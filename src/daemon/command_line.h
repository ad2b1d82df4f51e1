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
// value. Undeclared options and positional arguments are usage errors.
[[nodiscard]] ParseOutcome parseCommandLine(const std::vector<std::string>& arguments);

// The full text printed for a usage error: "Error: <message>", the usage
// line and a pointer to the help.
[[nodiscard]] std::string usageErrorText(const UsageError& error);

}  // namespace lockstep
