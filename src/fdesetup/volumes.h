#pragma once

// The machine's encrypted volumes: /etc/crypttab, the device chain under the
// root file system, and the crypttab copy an initramfs carries.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lockstep::fde {

// Where the machine's files are read: "/" on a real machine, a prepared
// folder in tests. Absolute machine paths are looked up below it.
struct Machine {
    std::filesystem::path root = "/";
    // Who must own what the tool trusts: root (0) on a real machine.
    unsigned trustedOwner = 0;
    [[nodiscard]] std::filesystem::path operator/(std::string_view absolute) const;
};

// One line of a crypttab: volume name, source device, key file and options.
struct CrypttabEntry {
    std::string name;
    std::string source;
    std::string keyFile = "none";
    std::string options;

    [[nodiscard]] bool hasOption(std::string_view option) const;
    // Options other than those named (by key, e.g. "keyscript").
    [[nodiscard]] std::string optionsWithout(const std::vector<std::string_view>& keys) const;
    // The line as crypttab(5) writes it.
    [[nodiscard]] std::string line() const;
};

[[nodiscard]] std::vector<CrypttabEntry> parseCrypttab(std::string_view text);

// The encrypted volumes (their mapped names) that the root file system's
// device sits on, through any stacking (LVM, RAID), found from the mount
// table and sysfs. Empty when the root is on no encrypted volume; nothing
// (with `problem` set) when the chain cannot be read.
[[nodiscard]] std::optional<std::vector<std::string>> rootCryptNames(const Machine& machine,
                                                                     std::string* problem);

// A crypttab source (UUID=, PARTUUID=, LABEL=, PARTLABEL= or a path) as the
// path of its block device below the machine's root; nothing for a form
// that names no device.
[[nodiscard]] std::optional<std::filesystem::path> sourceDevice(const Machine& machine,
                                                                std::string_view source);

// The volumes of /etc/crypttab that the initramfs unlocks at boot: those
// under the root file system and those marked "initramfs".
struct VolumeModel {
    std::vector<CrypttabEntry> volumes;
    // Names of the volumes the root file system lives on.
    std::vector<std::string> rootVolumes;
    // True when the root file system is on a volume of /etc/crypttab.
    bool rootEncrypted = false;
};

[[nodiscard]] std::optional<VolumeModel> readVolumeModel(const Machine& machine,
                                                         std::string* problem);

// Whether a file the tool reads to decide what to load is safe to trust:
// owned by root and writable by nobody else, and so is every folder above
// it up to the machine's root, and whatever a link points to. Nothing when
// it is; otherwise the reason.
[[nodiscard]] std::optional<std::string> untrustedFileReason(const Machine& machine,
                                                             std::string_view absolute);

}  // namespace lockstep::fde
