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
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"

namespace {

// The folder that holds the running executable.
std::filesystem::path executableFolder() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path.parent_path();
}

// Overwrites the password values in the process's own argument memory once
// they have been copied, so they no longer show in /proc/<pid>/cmdline.
void scrubPasswordArguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        char* argument = argv[i];
        const std::string_view text(argument);
        if ((text == "-p" || text == "--password") && i + 1 < argc) {
            std::memset(argv[i + 1], 'x', std::strlen(argv[i + 1]));
            ++i;
        } else if (text.starts_with("--password=")) {
            const std::size_t prefix = std::strlen("--password=");
            std::memset(argument + prefix, 'x', text.size() - prefix);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    scrubPasswordArguments(argc, argv);

    const lockstep::ParseOutcome outcome = lockstep::parseCommandLine(arguments);
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
    };
    std::get<lockstep::PasswordDaemon>(outcome).run(context, std::cout);
    return 0;
}
