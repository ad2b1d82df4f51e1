#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "platform/bytes.h"
#include "platform/context.h"

namespace lockstep {

// The parsed command: one value per process, made by the command-line
// parser and used once by run().
struct PasswordDaemon {
    bool setUser = false;
    std::optional<std::string> user;
    // Wiped when the command goes away.
    std::optional<SecretString> password;

    // The whole work of one process: enrolment when --set-user, --user and
    // --password are all given, then (or otherwise) the plain path that arms
    // the authenticated restart. Prints result lines on `out`; raises nothing.
    void run(const Context& context, std::ostream& out) const noexcept;
};

}  // namespace lockstep
