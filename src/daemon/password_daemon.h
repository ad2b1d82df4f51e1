#pragma once

#include <chrono>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

#include "filevault/fdesetup_helper.h"
#include "platform/bytes.h"
#include "platform/context.h"

namespace lockstep {

// What one run did, for callers that report it (the printed lines say the
// same to a person) and for the run's record.
struct RunOutcome {
    // How the run ended.
    enum class Result {
        // Nothing stored to arm with: no line printed.
        noCredential,
        // The enrolment's password check refused: "incorrect password", ...
        incorrectPassword,
        accountDoesNotExist,
        accountLocked,
        otherError,
        // The enrolment could not store the credential.
        passwordSetFailed,
        // The restart tool was asked and armed the restart ...
        armed,
        // ... or did not (refused, missing, unsafe, killed for time).
        notArmed,
    };

    // The keychain a run used: the System keychain, or the user's default
    // keychain when the System keychain could not be had.
    struct Keychain {
        bool system = true;
        // The file; nothing when the keychain service cannot tell.
        std::optional<std::filesystem::path> path{};
        bool operator==(const Keychain&) const = default;
    };

    // When the run started.
    std::chrono::system_clock::time_point time{};
    // True when the run took the enrolment path.
    bool enrolment = false;
    // The account enrolled, or the account of the credential used to arm.
    std::string account{};
    Result result = Result::noCredential;
    // The last line the run printed ("Successfully authenticated with
    // FileVault", "incorrect password", ...); empty when it printed none
    // after the enrolment line.
    std::string resultLine{};
    // True only when the restart was armed.
    bool armed = false;
    // The keychain the credential was stored in or read from; nothing when
    // the run ended before it reached one.
    std::optional<Keychain> keychain{};
    // The request to the restart tool; nothing when none was made.
    std::optional<ToolRun> tool{};
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

    // The same run, telling what it did. Either way, when the context names
    // a run record file, the outcome is recorded there (a record that cannot
    // be written is logged at error level and changes nothing else).
    [[nodiscard]] RunOutcome perform(const Context& context, std::ostream& out) const noexcept;
};

}  // namespace lockstep
