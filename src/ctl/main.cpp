// Entry point of lockstepctl: builds the real machine services, as lockstepd
// does, and runs one command.

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "ctl/ctl.h"
#include "fdesetup/kexec.h"
#include "log/log.h"
#include "log/unified_logger.h"
#include "platform/directory/local_directory.h"
#include "platform/hardening.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/process.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"

namespace {

// The folder that holds the running executable.
std::filesystem::path executableFolder() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path.parent_path();
}

// The restart the tool arms on this machine: the kernel's kexec state, and
// the tool's own answer to whether it can arm one.
lockstep::ctl::ArmedRestart restartOfThisMachine() {
    return {
        .armed = [] { return lockstep::fde::kexecLoaded(lockstep::fde::Machine{}); },
        .unload = [] { return lockstep::fde::SyscallKexec().unload(); },
        .unsupportedReason = []() -> std::optional<std::string> {
            lockstep::ProcessOptions options;
            options.program = "/usr/bin/fdesetup";
            options.arguments = {"supportsauthrestart", "-verbose"};
            options.input = lockstep::ChildStream::Null;
            options.output = lockstep::ChildStream::Pipe;
            options.error = lockstep::ChildStream::Null;
            auto spawned = lockstep::spawnProcess(options);
            if (!spawned.process) {
                return "the restart tool cannot be started: " + spawned.errorDescription();
            }
            const auto output = spawned.process->communicate();
            static_cast<void>(spawned.process->wait());
            const std::string text(output.output.begin(), output.output.end());
            if (text.starts_with("true\n")) {
                return std::nullopt;
            }
            const std::size_t reason = text.find('\n');
            const std::string why =
                reason == std::string::npos ? std::string() : text.substr(reason + 1);
            return why.empty() ? std::string("the restart tool says it cannot")
                               : why.substr(0, why.find('\n'));
        },
    };
}

}  // namespace

int main(int argc, char** argv) {
    lockstep::hardenProcess();
    const std::vector<std::string> arguments(argv + 1, argv + argc);

    // The library code logs as it does in lockstepd: to the system log and to
    // the log file (both tagged lockstepctl), but not to standard error, which
    // carries only this tool's own one-line errors.
    // Its lines carry its own name in the system log.
    lockstep::SyslogSystemLog systemLog("lockstepctl");
    const lockstep::ScopedSystemLog systemLogScope(systemLog);

    lockstep::LoggerEnvironment environment = lockstep::LoggerEnvironment::system();
    environment.writeStandardError = nullptr;
    environment.writeStandardOutput = nullptr;
    lockstep::MDLUnifiedLogger logger(std::move(environment));
    const lockstep::ScopedSharedLogger loggerScope(logger);

    lockstep::SqliteKeychainService keychain{lockstep::SqliteKeychainOptions{}};
    lockstep::LocalDirectoryService directory{"/"};
    const lockstep::ctl::Services services{
        .context =
            lockstep::Context{
                .keychain = keychain,
                .directory = directory,
                .fdesetupPath = "/usr/bin/fdesetup",
                .bundlePath = executableFolder(),
                .machineRoot = "/",
            },
        .systemKeychainPath = lockstep::kDefaultSystemKeychainPath,
        // lockstepd runs as root; another user's log file would be that
        // user's own, so only root is told where the daemon's is.
        .logFile = [&logger]() -> std::optional<std::filesystem::path> {
            if (lockstep::realUserID() != 0) {
                return std::nullopt;
            }
            if (logger.logFileURL().empty()) {
                logger.updateLogPath();
            }
            if (logger.logFileURL().empty()) {
                return std::nullopt;
            }
            return logger.hostPath(logger.logFileURL());
        },
        .restart = restartOfThisMachine(),
    };
    return lockstep::ctl::run(arguments, services, std::cout, std::cerr);
}
