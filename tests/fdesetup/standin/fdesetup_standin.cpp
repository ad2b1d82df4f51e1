// The restart tool as the tests install it at /usr/bin/fdesetup: the real
// commands on a machine folder, with a kexec that records what it would have
// loaded instead of loading it. A test program only. Its environment:
//   LOCKSTEP_STANDIN_MACHINE  the machine folder (as a test machine lays it out)
//   LOCKSTEP_STANDIN_RELEASE  the running kernel's release
//   LOCKSTEP_STANDIN_RECORD   path prefix of PREFIX.initrd and .cmdline

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "fdesetup/tool.h"
#include "platform/directory/local_directory.h"
#include "platform/hardening.h"
#include "platform/keychain/sqlite_keychain.h"

namespace {

std::string variable(const char* name) {
    return std::getenv(name) != nullptr ? std::getenv(name) : "";
}

class RecordingKexec final : public lockstep::fde::KexecLoader {
  public:
    int load(int, int initrdFd, std::string_view commandLine) override {
        std::ofstream out(prefix_ + ".initrd", std::ios::binary | std::ios::trunc);
        char chunk[65536];
        ssize_t got = 0;
        for (off_t at = 0; (got = ::pread(initrdFd, chunk, sizeof(chunk), at)) > 0; at += got) {
            out.write(chunk, got);
        }
        std::ofstream(prefix_ + ".cmdline") << commandLine;
        return 0;
    }
    int unload() override { return 0; }
    int execute() override { return EPERM; }

  private:
    std::string prefix_ = variable("LOCKSTEP_STANDIN_RECORD");
};

}  // namespace

int main(int argc, char** argv) {
    if (!lockstep::protectMemory()) {
        return 1;
    }
    RecordingKexec kexec;
    lockstep::SqliteKeychainService keychain{lockstep::SqliteKeychainOptions{}};
    lockstep::LocalDirectoryService directory{"/"};
    const lockstep::Context accounts{.keychain = keychain,
                                     .directory = directory,
                                     .fdesetupPath = "/usr/bin/fdesetup",
                                     .bundlePath = "/usr/bin",
                                     .machineRoot = "/"};
    lockstep::fde::ToolEnvironment env{
        .machine = lockstep::fde::Machine{variable("LOCKSTEP_STANDIN_MACHINE"), 0},
        .release = variable("LOCKSTEP_STANDIN_RELEASE"),
        .kexec = kexec,
        .accounts = accounts,
        .root = ::geteuid() == 0,
        .inputFd = STDIN_FILENO,
        .out = std::cout,
        .err = std::cerr,
        // The daemon runs it never asking nor scheduling.
        .askLine = {},
        .askSecret = {},
        .log = [](std::string_view) {},
        .runCommand = {},
    };
    return lockstep::fde::runTool({argv + 1, argv + argc}, env);
}
