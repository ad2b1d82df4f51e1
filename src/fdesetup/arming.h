#pragma once

// Arming an authenticated restart: what will be loaded (checked without any
// password), the password checked against every volume the initramfs
// unlocks, the archive of key files appended to the initramfs, and the load
// itself.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fdesetup/initramfs.h"
#include "fdesetup/kexec.h"
#include "fdesetup/secure_memory.h"
#include "fdesetup/volumes.h"

namespace lockstep::fde {

struct RestartPlan {
    std::string kernelPath;  // on the machine, e.g. /boot/vmlinuz-6.1.0-13-amd64
    std::string initrdPath;
    std::vector<std::uint8_t> initramfs;
    InitramfsInfo info;
    // The initramfs's own crypttab, and which of its entries need a key
    // (those that would ask for a passphrase at boot).
    std::vector<CrypttabEntry> crypttab;
    std::vector<std::size_t> needKeys;
    VolumeModel model;
};

// Everything that can be checked before a password is asked for. Nothing,
// with a one-line reason, when an authenticated restart is not possible.
// `openVolumes` also reads each volume's LUKS header (needs root).
[[nodiscard]] std::optional<RestartPlan> planRestart(const Machine& machine,
                                                     std::string_view release, bool openVolumes,
                                                     std::string* problem);

struct UnlockedVolume {
    std::string name;
    int keyslot = -1;
};

// Checks that the password opens, on every volume the initramfs must be
// given a key for, the keyslot of the enabled account `user` (or, with no
// enabled accounts there, any keyslot). Nothing, with the reason, when it
// does not; nothing is activated either way.
[[nodiscard]] std::optional<std::vector<UnlockedVolume>> authenticate(const Machine& machine,
                                                                      const RestartPlan& plan,
                                                                      std::string_view user,
                                                                      const LockedBuffer& password,
                                                                      std::string* problem);

// The path, inside the initramfs, of the key file for a volume.
[[nodiscard]] std::string keyFilePath(const CrypttabEntry& entry, std::size_t index);

// The archive appended to the initramfs: the crypttab copy with a key file
// named for each volume that needs one, and those key files (0400, root)
// holding the password. Written into `out`, a locked buffer.
[[nodiscard]] bool buildKeyArchive(const RestartPlan& plan,
                                   const std::vector<UnlockedVolume>& volumes,
                                   const LockedBuffer& password, LockedBuffer& out);

// Loads the kernel with the initramfs and the archive appended (in a sealed
// memory file, never on disk) and the running kernel's command line.
// Nothing on success; otherwise the reason.
[[nodiscard]] std::optional<std::string> loadRestart(const Machine& machine,
                                                     const RestartPlan& plan,
                                                     const LockedBuffer& archive,
                                                     KexecLoader& kexec);

}  // namespace lockstep::fde
