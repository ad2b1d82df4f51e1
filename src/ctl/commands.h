#pragma once

// The pieces of lockstepctl's commands, used by ctl.cpp and by the tests.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "account/password_utils.h"
#include "ctl/ctl.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/status.h"

namespace lockstep::ctl {

// How a command ended: its exit status and, for a failure, the one line that
// goes to standard error (without the program name).
struct CommandResult {
    ExitStatus status = ExitStatus::ok;
    std::string error;
};

// ---- Text ----------------------------------------------------------------

// Text that is safe to put on a terminal: control characters (C0, DEL, C1)
// and bytes that are not well-formed UTF-8 are written as \xNN, and a
// backslash as \\. Item attributes come from a file anybody may have made.
[[nodiscard]] std::string printable(std::string_view text);

// A time in the local time zone as an ISO 8601 internet date-time, the form
// of the log file's timestamps.
[[nodiscard]] std::string formatTime(std::chrono::system_clock::time_point time);

// A keychain status in words with its number, e.g.
// "not an intact keychain (status -25295)".
[[nodiscard]] std::string describeStatus(OSStatus status);

// ---- Keychain items ------------------------------------------------------

// The contents of a partition description: text keys to lists of texts.
using TextLists = std::map<std::string, std::vector<std::string>>;

// Reads a partition description (hexadecimal text of a property list whose
// root maps text keys to lists of texts). Nothing when it is not one.
[[nodiscard]] std::optional<TextLists> decodePartitionDescription(std::string_view description);

// Reads the items of an existing keychain file without its key and without
// creating anything. On failure `why` tells the reason in words.
[[nodiscard]] bool readKeychainItems(const std::filesystem::path& keychain,
                                     std::vector<KeychainItemInfo>* items, std::string* why);

// Which items `show` prints; an absent field matches every item.
struct ItemFilter {
    std::optional<std::string> service;
    std::optional<std::string> account;
};

// Prints the items of a keychain that match, with their attributes and ACL
// lists, never their secrets. `isSystemKeychain`: a System keychain that does
// not exist yet holds no items rather than being an error.
[[nodiscard]] CommandResult printItems(const std::filesystem::path& keychain, bool isSystemKeychain,
                                       const ItemFilter& filter, std::ostream& out);

// Removes every stored credential of the service (only the account's when
// one is given) from the System keychain.
[[nodiscard]] CommandResult disarm(const Services& services,
                                   const std::optional<std::string>& account, std::ostream& out);

// ---- Status --------------------------------------------------------------

// The outcome of a lockstepd run, as its log file records it.
struct LogOutcome {
    // The line's timestamp, as written.
    std::string time;
    // The message, e.g. "Successfully authenticated with FileVault".
    std::string message;
};

// What the log file tells about the last run.
struct LogFinding {
    std::filesystem::path file;
    // Whether the file could be read; `error` says why not.
    bool readable = false;
    std::string error;
    std::optional<LogOutcome> lastOutcome;
};

// Looks for the last outcome of a lockstepd run in its log file (only the
// last few megabytes of a large file are read). Lines of other programs, such
// as lockstepctl's own, are passed over.
[[nodiscard]] LogFinding findLastOutcome(const std::filesystem::path& logFile);

// The stored credential that lockstepd would use: the oldest item of the
// service.
struct StoredCredential {
    std::string account;
    bool hasAccount = false;
    std::chrono::system_clock::time_point stored;
    std::chrono::system_clock::time_point modified;
    // How many items of the service the keychain holds.
    std::size_t itemsOfService = 0;
};

struct StatusReport {
    std::filesystem::path keychainPath;
    // Whether something is at the keychain's path; nothing there means that
    // nothing was ever enrolled.
    bool keychainExists = false;
    // Why the keychain or the credential in it cannot be read.
    std::optional<std::string> keychainError;
    std::optional<StoredCredential> credential;
    // The verdict of the local password check; none when it was not made.
    std::optional<LocalPasswordResult> passwordCheck;
    std::filesystem::path toolPath;
    bool toolPresent = false;
    // Nothing when the log file could not be told.
    std::optional<LogFinding> log;
    // Whether an authenticated restart is armed (nothing: no kexec), and
    // why the tool cannot arm one here (nothing: it can, or nobody asked).
    std::optional<bool> restartArmed;
    std::optional<std::string> restartUnsupported;

    // The first problem in the documented order, or ok.
    [[nodiscard]] ExitStatus verdict() const;
};

// Checks everything a restart needs, without changing anything: it never
// creates the keychain.
[[nodiscard]] StatusReport checkStatus(const Services& services);

void printStatus(const StatusReport& report, std::ostream& out);
void printStatusJson(const StatusReport& report, std::ostream& out);

}  // namespace lockstep::ctl
