#pragma once

#include <filesystem>
#include <string>

namespace lockstep {

// Whether a program may be handed a secret: what checkRootOwnedProgram found.
struct ProgramTrust {
    enum class Verdict {
        trusted,    // only root can have made or changed it
        missing,    // nothing there (or a component is not a folder): `error`
        untrusted,  // someone other than root could change it: `reason`
    };
    Verdict verdict = Verdict::missing;
    // For `untrusted`: why, in words, e.g. "it is writable by group or others
    // (mode 0777)" or "folder /usr/bin is owned by uid 1000, not root".
    std::string reason;
    // For `missing`: the system's error number (ENOENT, ENOTDIR).
    int error = 0;

    [[nodiscard]] bool trusted() const { return verdict == Verdict::trusted; }
};

// Checks an absolute program path component by component with lstat, from
// "/" down: every folder must be owned by root and not writable by group or
// others, and the program itself a regular file owned by root and not
// writable by group or others. A symbolic link at the last component is
// refused; a link among the folders is followed only when root owns it (its
// folder, already checked, is root's alone, so nobody else can have planted
// or changed it), and its target is checked the same way. When the answer
// is `trusted`, nothing but root can change what the path names afterwards,
// so starting it by the same path runs what was checked.
[[nodiscard]] ProgramTrust checkRootOwnedProgram(const std::filesystem::path& program);

}  // namespace lockstep
