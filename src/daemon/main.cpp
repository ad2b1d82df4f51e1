// Entry point of lockstepd: builds the real machine services, parses the
// command line and performs one run.

#include <openssl/crypto.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "daemon/command_line.h"
#include "daemon/password_daemon.h"
#include "daemon/run_record.h"
#include "platform/directory/local_directory.h"
#include "platform/hardening.h"
#include "platform/keychain/sqlite_keychain.h"

namespace {

// The folder that holds the running executable.
std::filesystem::path executableFolder() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path.parent_path();
}

// Overwrites every password text in the process's own argument memory once
// the arguments have been copied, so it no longer shows in /proc/<pid>/cmdline.
void scrubPasswordArguments(char** argv, const std::vector<std::size_t>& offsets) {
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        char* argument = argv[i + 1];
        const std::size_t length = std::strlen(argument);
        if (offsets[i] < length) {
            std::memset(argument + offsets[i], 'x', length - offsets[i]);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    lockstep::hardenProcess();

    std::vector<std::string> arguments(argv + 1, argv + argc);
    scrubPasswordArguments(argv, lockstep::passwordTextOffsets(arguments));
    const lockstep::ParseOutcome outcome = lockstep::parseCommandLine(arguments);
    // The command holds its own wiped copy of the password; these copies go.
    for (std::string& argument : arguments) {
        lockstep::secureWipe(argument.data(), argument.size());
    }
    if (const auto* help = std::get_if<lockstep::HelpRequest>(&outcome)) {
        std::cout << help->text << std::flush;
        return 0;
    }
    if (const auto* usage = std::get_if<lockstep::UsageError>(&outcome)) {
        std::cerr << lockstep::usageErrorText(*usage) << std::flush;
        return lockstep::kExitUsage;
    }

    // OpenSSL would read and apply its configuration file (openssl.cnf) on
    // first use; nothing in it concerns sealing and opening keychain secrets,
    // so that is skipped. The call reads and loads nothing itself: the
    // library still sets up its algorithms only when a run first needs them.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);

    lockstep::SqliteKeychainService keychain{lockstep::SqliteKeychainOptions{}};
    lockstep::LocalDirectoryService directory{"/"};
    const lockstep::Context context{
        .keychain = keychain,
        .directory = directory,
        .fdesetupPath = "/usr/bin/fdesetup",
        .bundlePath = executableFolder(),
        .machineRoot = "/",
        .runRecordPath = std::filesystem::path(lockstep::kDefaultSystemKeychainPath).parent_path() /
                         lockstep::kRunRecordName,
    };
    std::get<lockstep::PasswordDaemon>(outcome).run(context, std::cout);
    return 0;
}
