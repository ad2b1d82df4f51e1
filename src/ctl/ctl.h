#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/context.h"

namespace lockstep::ctl {

// Exit statuses of lockstepctl, as lockstepctl(8) documents them. `status`
// reports the first problem in this order: keychain unreadable, nothing
// enrolled, password no longer valid, restart tool missing.
enum class ExitStatus : int {
    // Ready to arm a restart; or the command did what it was asked.
    ok = 0,
    // The command could not do its work (a removal failed, output failed).
    failure = 1,
    // No credential of the service is stored; for `show` and `disarm`, no
    // item matches.
    notEnrolled = 2,
    // The stored password no longer verifies against the local account.
    passwordInvalid = 3,
    // The restart tool is missing or not executable.
    toolMissing = 4,
    // The keychain (or its key) cannot be read.
    keychainUnreadable = 5,
    // The command line is wrong.
    usage = 64,
};

// The service name of the credential that lockstepd stores and reads.
inline constexpr std::string_view kCredentialService = "Lockstep";

// The authenticated restart that the restart tool arms by loading a kernel
// for kexec. Every member may be empty (then nothing is known or done).
struct ArmedRestart {
    // Whether a restart kernel is loaded; nothing when the kernel has no kexec.
    std::function<std::optional<bool>()> armed;
    // Unloads it: 0, or the errno.
    std::function<int()> unload;
    // Whether the restart tool can arm one here: nothing when it can, else
    // why not in its words.
    std::function<std::optional<std::string>()> unsupportedReason;
};

// What lockstepctl reaches on the machine. main() builds it from the real
// machine; tests from temporary folders. Nothing here is taken from the
// environment.
struct Services {
    // The keychain and directory services, the restart tool and the roots the
    // library code uses, as for the daemon.
    Context context;
    // The file that context.keychain opens as the System keychain. Read
    // without being created, so that looking does not change the machine.
    std::filesystem::path systemKeychainPath;
    // The log file lockstepd writes, or nothing when it cannot be told (for
    // instance for another user than root).
    std::function<std::optional<std::filesystem::path>()> logFile;
    ArmedRestart restart{};
};

// Runs one lockstepctl command line (without the program name): results on
// `out`, errors as one line each on `err`. Gives the exit status as a number.
// Never prints a secret; raises nothing.
[[nodiscard]] int run(const std::vector<std::string>& arguments, const Services& services,
                      std::ostream& out, std::ostream& err) noexcept;

}  // namespace lockstep::ctl
