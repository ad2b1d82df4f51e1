// Entry point of fdesetup, the restart tool for LUKS volumes: the real
// machine, the real kexec_file_load and the terminal.

#include <sys/utsname.h>
#include <syslog.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "fdesetup/request.h"
#include "fdesetup/tool.h"
#include "log/unified_logger.h"
#include "platform/directory/local_directory.h"
#include "platform/hardening.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    // Before anything secret is read: no core dumps, no ptrace by others.
    if (!lockstep::protectMemory()) {
        std::cerr << "Error: the process cannot be protected from core dumps.\n";
        return lockstep::fde::kExitFailure;
    }
    const std::vector<std::string> arguments(argv + 1, argv + argc);

    utsname names{};
    const std::string release = ::uname(&names) == 0 ? names.release : "";
    ::openlog("fdesetup", LOG_PID, LOG_AUTHPRIV);

    // The account check logs as lockstepd does (system log and log file),
    // never on this tool's standard streams, which carry only its own lines.
    lockstep::LoggerEnvironment environment = lockstep::LoggerEnvironment::system();
    environment.writeStandardError = nullptr;
    environment.writeStandardOutput = nullptr;
    lockstep::MDLUnifiedLogger logger(std::move(environment));
    const lockstep::ScopedSharedLogger loggerScope(logger);

    lockstep::fde::SyscallKexec kexec;
    // The accounts' password check reads the local account files; the
    // keychain service is part of the context but is never opened here.
    lockstep::SqliteKeychainService keychain{lockstep::SqliteKeychainOptions{}};
    lockstep::LocalDirectoryService directory{"/"};
    const lockstep::Context accounts{.keychain = keychain,
                                     .directory = directory,
                                     .fdesetupPath = "/usr/bin/fdesetup",
                                     .bundlePath = "/usr/bin",
                                     .machineRoot = "/"};

    lockstep::fde::ToolEnvironment env{
        .machine = lockstep::fde::Machine{},
        .release = release,
        .kexec = kexec,
        .accounts = accounts,
        .root = ::geteuid() == 0,
        .inputFd = STDIN_FILENO,
        .out = std::cout,
        .err = std::cerr,
        .askLine = lockstep::fde::askTerminal,
        .askSecret = lockstep::fde::askTerminalSecret,
        .log =
            [](std::string_view message) {
                const std::string text(message);
                ::syslog(LOG_NOTICE, "%s", text.c_str());
            },
        .runCommand =
            [](const std::vector<std::string>& command) {
                lockstep::ProcessOptions options;
                options.program = command.front();
                options.arguments.assign(command.begin() + 1, command.end());
                auto spawned = lockstep::spawnProcess(options);
                if (!spawned.process) {
                    return false;
                }
                const auto status = spawned.process->wait();
                return status.has_value() && status->success();
            },
    };
    return lockstep::fde::runTool(arguments, env);
}
