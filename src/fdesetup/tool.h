#pragma once

// The restart tool's commands: fdesetup authrestart, supportsauthrestart,
// status, isactive, list, add and remove, run against a machine and the
// kernel's kexec through the environment main() (or a test) builds.

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "fdesetup/kexec.h"
#include "fdesetup/secure_memory.h"
#include "fdesetup/volumes.h"
#include "platform/context.h"

namespace lockstep::fde {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 64;

struct ToolEnvironment {
    Machine machine;
    // The running kernel's release (uname -r).
    std::string release;
    KexecLoader& kexec;
    // The local accounts, for checking a password before it is enrolled.
    const Context& accounts;
    bool root = false;
    // Standard input, for -inputplist.
    int inputFd = 0;
    std::ostream& out;
    std::ostream& err;
    // The terminal: a line, and a line typed without echo.
    std::function<std::optional<std::string>(const std::string&)> askLine;
    std::function<std::optional<LockedBuffer>(const std::string&)> askSecret;
    // The tool's own syslog identity.
    std::function<void(std::string_view)> log;
    // Starts a restart (systemctl kexec) or schedules one (shutdown -r +N);
    // true when the command succeeded.
    std::function<bool(const std::vector<std::string>&)> runCommand;
    std::function<std::chrono::system_clock::time_point()> now = [] {
        return std::chrono::system_clock::now();
    };
};

// Runs one command (the arguments after the program name) and gives the
// exit status.
[[nodiscard]] int runTool(const std::vector<std::string>& arguments, ToolEnvironment& env);

}  // namespace lockstep::fde
