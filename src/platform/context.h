#pragma once

#include <filesystem>
#include <optional>

#include "platform/process.h"

namespace lockstep {

class KeychainService;
class DirectoryService;

// What the logic reaches on the machine, made once by main() from the real
// machine and by tests from temporary folders. The logic never reaches a
// service or a fixed machine path any other way.
struct Context {
    KeychainService& keychain;
    DirectoryService& directory;
    // The restart tool that the daemon starts.
    std::filesystem::path fdesetupPath = "/usr/bin/fdesetup";
    // The folder that holds the running executable: the program's "bundle".
    std::filesystem::path bundlePath;
    // Root under which fixed absolute machine paths are looked up (the
    // trusted application candidates, the firmware serial number). "/" on a
    // real machine.
    std::filesystem::path machineRoot = "/";
    // The file where each run of the daemon records its outcome, replacing
    // the last one; empty: runs are not recorded.
    std::filesystem::path runRecordPath{};
    // The bounds on the restart tool's run; nothing: the daemon's own
    // (kToolLimits). Tests shorten them.
    std::optional<ChildLimits> toolLimits{};
};

}  // namespace lockstep
