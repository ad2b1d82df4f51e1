// Entry point of lockstepctl: builds the real machine services, as lockstepd
// does, and runs one command.

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "ctl/ctl.h"
#include "daemon/run_record.h"
#include "log/log.h"
#include "log/unified_logger.h"
#include "platform/directory/local_directory.h"
#include "platform/hardening.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"

namespace {

// The folder that holds the running executable.
std::filesystem::path executableFolder() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path.parent_path();
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
                // enrol records its run as lockstepd does; status reads it.
                .runRecordPath =
                    std::filesystem::path(lockstep::kDefaultSystemKeychainPath).parent_path() /
                    lockstep::kRunRecordName,
            },
        .systemKeychainPath = lockstep::kDefaultSystemKeychainPath,
        .userKeychainPath = keychain.defaultKeychainPath(lockstep::kSecPreferencesDomainUser),
    };
    return lockstep::ctl::run(arguments, services, std::cout, std::cerr);
}
