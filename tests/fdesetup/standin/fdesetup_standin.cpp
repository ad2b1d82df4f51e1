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
    const lockstep::Context accounts{keychain, directory, "/usr/bin/fdesetup", "/usr/bin", "/"};
    // The daemon runs it never asking nor scheduling.
    lockstep::fde::ToolEnvironment env{
        lockstep::fde::Machine{variable("LOCKSTEP_STANDIN_MACHINE"), 0},
        variable("LOCKSTEP_STANDIN_RELEASE"),
        kexec,
        accounts,
        ::geteuid() == 0,
        STDIN_FILENO,
        std::cout,
        std::cerr,
        {},
        {},
        [](std::string_view) {},
        {}};
    return lockstep::fde::runTool({argv + 1, argv + argc}, env);
}
