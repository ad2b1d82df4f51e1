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
#include "daemon/password_daemon.h"
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
// and bytes that are not well-formed UTF-8 are written as \xNN, the
// bidirectional formatting characters (U+202A to U+202E, U+2066 to U+2069,
// U+200E, U+200F, U+061C) as \uXXXX, and a backslash as \\. Item
// attributes come from a file anybody may have made.
[[nodiscard]] std::string printable(std::string_view text);

// A time in the local time zone as an ISO 8601 internet date-time, the form
// of the log file's timestamps.
[[nodiscard]] std::string formatTime(std::chrono::system_clock::time_point time);

// A keychain status in words, e.g. "not an intact keychain, or its key file
// is unsafe"; the number (which means nothing on Linux) only for a status
// without words. The JSON output carries the number.
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
                                       const ItemFilter& filter, std::ostream& out,
                                       bool json = false);

// The items as one JSON object: the keychain's path and the items with
// their numbers in the whole keychain.
void printItemsJson(const std::filesystem::path& keychain,
                    const std::vector<std::pair<std::size_t, const KeychainItemInfo*>>& items,
                    std::ostream& out);

// Removes every stored credential of the service (only the account's when
// one is given) from the System keychain.
[[nodiscard]] CommandResult disarm(const Services& services,
                                   const std::optional<std::string>& account, std::ostream& out);

// Enrols the account as `lockstepd --set-user` does (the same checks, printed
// lines, store and arming), with the password read as one line from
// services.passwordInput, or asked for twice on services.terminal without
// echo. ok only when the restart was armed.
[[nodiscard]] CommandResult enrol(const Services& services, const std::string& user,
                                  bool fromStandardInput, std::ostream& out);

// ---- Preferences ---------------------------------------------------------

// Checks each of services.preferences.files as lockstepd reads it: the file
// itself (a regular file that only root or the user can change), its
// contents (a property list with a dictionary at its root), and every key in
// it (known, of a kind lockstepd reads, and a usable value). Prints one line
// per problem, "FILE: KEY: what is wrong", or "FILE: what is wrong" for the
// file as a whole; a missing file is no problem. Gives the number of problems.
[[nodiscard]] std::size_t checkPreferences(const Services& services, std::ostream& out);

// ---- Status --------------------------------------------------------------

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

// Something wrong with a file or folder that a restart relies on, with the
// fix, e.g. "key file /var/lib/lockstep/System.keychain.key is mode 0644"
// and "chmod 600 it".
struct FileProblem {
    std::string what{};
    std::string fix{};

    [[nodiscard]] std::string line() const { return what + ": " + fix; }
};

// Checks the System keychain's folder (0700, root's), the keychain (a
// regular file, root's, 0600) and its key file (a regular file, root's,
// mode 0600, 32 bytes). Nothing is reported for what is not there yet, nor
// for what the caller may not look at (the keychain report says so).
[[nodiscard]] std::vector<FileProblem> checkKeychainFiles(const std::filesystem::path& keychain);

// What the last run's record says.
struct LastRun {
    std::filesystem::path file{};
    // Nothing, with `error` telling why, when there is no record to read.
    std::optional<RunOutcome> run{};
    std::string error{};

    // Whether the run asked the restart tool to arm a restart and it did not.
    [[nodiscard]] bool armingFailed() const;
};

// What became of a request to the restart tool, in words, e.g.
// "/usr/bin/fdesetup exited with status 1: \"Authentication failed\"".
[[nodiscard]] std::string describeToolRun(const ToolRun& tool);

struct StatusReport {
    // The System keychain.
    std::filesystem::path keychainPath;
    // Whether something is at the keychain's path; nothing there means that
    // nothing was ever enrolled.
    bool keychainExists = false;
    // Why the System keychain cannot be used (damaged, or its key does not
    // open it); lockstepd then looks in the user's keychain.
    std::optional<std::string> systemKeychainDamage;
    // The keychain service's status for that.
    OSStatus systemKeychainStatus = errSecSuccess;
    // What is wrong with the System keychain's folder, file and key file.
    std::vector<FileProblem> keychainFiles;
    // The keychain that holds (or would hold) the credential lockstepd uses:
    // the System keychain, or the user's when the System keychain is damaged.
    std::filesystem::path credentialKeychainPath;
    bool credentialInUserKeychain = false;
    // Why that keychain or the credential in it cannot be read.
    std::optional<std::string> keychainError;
    std::optional<StoredCredential> credential;
    // The verdict of the local password check; none when it was not made.
    std::optional<LocalPasswordResult> passwordCheck;
    std::filesystem::path toolPath;
    // Whether the restart tool exists as an executable file.
    bool toolPresent = false;
    // Why lockstepd would refuse to start it (someone other than root could
    // change it, or a folder above it), as lockstepd logs it; nothing when
    // it is safe.
    std::optional<std::string> toolUnsafe;
    // Whether an authenticated restart is armed (nothing: no kexec), and
    // why the tool cannot arm one here (nothing: it can, or nobody asked).
    std::optional<bool> restartArmed;
    std::optional<std::string> restartUnsupported;
    // The record of the last run of lockstepd (or of lockstepctl enrol).
    LastRun lastRun;

    // The first problem in the documented order, or ok.
    [[nodiscard]] ExitStatus verdict() const;
    // The verdict in words, e.g. "nothing enrolled" or "restart tool unsafe:
    // " and the reason.
    [[nodiscard]] std::string problem() const;
};

// Checks everything a restart needs, without changing anything: it never
// creates the keychain.
[[nodiscard]] StatusReport checkStatus(const Services& services);

void printStatus(const StatusReport& report, std::ostream& out);
void printStatusJson(const StatusReport& report, std::ostream& out);
// The node_exporter textfile format: one gauge family per fact, for a
// fleet's monitoring.
void printStatusPrometheus(const StatusReport& report, std::ostream& out);

// A label value as the text exposition format writes it between double
// quotes: backslash, double quote and line feed escaped.
[[nodiscard]] std::string prometheusLabelValue(std::string_view value);

}  // namespace lockstep::ctl
