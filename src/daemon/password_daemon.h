#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "platform/bytes.h"
#include "platform/context.h"

namespace lockstep {

// What one run did, for callers that report it (the printed lines say the
// same to a person).
struct RunOutcome {
    // True when the run took the enrolment path.
    bool enrolment = false;
    // The account enrolled, or the account of the credential used to arm.
    std::string account;
    // The last line the run printed ("Successfully authenticated with
    // FileVault", "incorrect password", ...); empty when it printed none
    // after the enrolment line.
    std::string resultLine;
    // True only when the restart was armed.
    bool armed = false;
};

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
    void run(const Context& context, std::ostream& out) const noexcept {
        static_cast<void>(perform(context, out));
    }

    // The same run, telling what it did.
    [[nodiscard]] RunOutcome perform(const Context& context, std::ostream& out) const noexcept;
};

}  // namespace lockstep
