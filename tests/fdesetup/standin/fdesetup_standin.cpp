// The restart tool as the tests install it at /usr/bin/fdesetup: the real
// commands on a machine folder, with a kexec that records what it would have
// loaded instead of loading it. A test program only. Its environment:
//   LOCKSTEP_STANDIN_MACHINE  the machine folder (as a test machine lays it out)
//   LOCKSTEP_STANDIN_RELEASE  the running kernel's release
//   LOCKSTEP_STANDIN_RECORD   path prefix of PREFIX.kernel, .initrd and .cmdline

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "fdesetup/tool.h"
#include "platform/directory/local_directory.h"
#include "platform/hardening.h"
#include "platform/keychain/sqlite_keychain.h"

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class RecordingKexec final : public lockstep::fde::KexecLoader {
  public:
    explicit RecordingKexec(std::string prefix) : prefix_(std::move(prefix)) {}
    int load(int kernelFd, int initrdFd, std::string_view commandLine) override {
        save(".kernel", kernelFd);
        save(".initrd", initrdFd);
        std::ofstream(prefix_ + ".cmdline") << commandLine;
        return 0;
    }
    int unload() override { return 0; }
    int execute() override { return EPERM; }

  private:
    void save(const std::string& suffix, int fd) const {
        std::ofstream out(prefix_ + suffix, std::ios::binary | std::ios::trunc);
        char chunk[65536];
        off_t at = 0;
        ssize_t got = 0;
        while ((got = ::pread(fd, chunk, sizeof(chunk), at)) > 0) {
            out.write(chunk, got);
            at += got;
        }
    }
    std::string prefix_;
};

}  // namespace

int main(int argc, char** argv) {
    if (!lockstep::protectMemory()) {
        return 1;
    }
    RecordingKexec kexec(variable("LOCKSTEP_STANDIN_RECORD"));
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
        .askLine = [](const std::string&) { return std::optional<std::string>(); },
        .askSecret =
            [](const std::string&) { return std::optional<lockstep::fde::LockedBuffer>(); },
        .log = [](std::string_view) {},
        .runCommand = [](const std::vector<std::string>&) { return false; },
    };
    return lockstep::fde::runTool({argv + 1, argv + argc}, env);
}
