#include "fdesetup/volumes.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

namespace lockstep::fde {

namespace {

std::optional<std::string> readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimmed(std::string text) {
    const auto end = text.find_last_not_of(" \t\r\n");
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (true) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string_view::npos) {
            return out;
        }
        const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
        out.push_back(line.substr(at, end - at));
        at = end;
    }
}

std::vector<std::string_view> splitOptions(std::string_view options) {
    std::vector<std::string_view> out;
    while (!options.empty()) {
        const std::size_t comma = std::min(options.find(','), options.size());
        if (comma > 0) {
            out.push_back(options.substr(0, comma));
        }
        options.remove_prefix(std::min(comma + 1, options.size()));
    }
    return out;
}

// mountinfo escapes blanks, tabs, line feeds and backslashes as \ooo.
std::string unescapeMountField(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string_view octal = field.substr(i + 1, 3);
            if (octal.find_first_not_of("01234567") == std::string_view::npos) {
                out.push_back(static_cast<char>(std::stoi(std::string(octal), nullptr, 8)));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

// Walks a block device and everything it is stacked on, collecting the
// names of the encrypted mappings met on the way.
void collectCryptNames(const Machine& machine, const std::filesystem::path& device,
                       std::set<std::filesystem::path>& seen, std::vector<std::string>& names) {
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(device, error);
    if (error || !seen.insert(canonical).second || seen.size() > 256) {
        return;
    }
    const auto uuid = readText(device / "dm" / "uuid");
    const auto name = readText(device / "dm" / "name");
    if (uuid && name && trimmed(*uuid).starts_with("CRYPT-")) {
        names.push_back(trimmed(*name));
    }
    for (const auto& slave : std::filesystem::directory_iterator(device / "slaves", error)) {
        collectCryptNames(machine,
                          machine / ("/sys/class/block/" + slave.path().filename().string()), seen,
                          names);
    }
}

}  // namespace

std::filesystem::path Machine::operator/(std::string_view absolute) const {
    std::string_view relative = absolute;
    while (relative.starts_with('/')) {
        relative.remove_prefix(1);
    }
    return root / relative;
}

bool CrypttabEntry::hasOption(std::string_view option) const {
    for (const std::string_view item : splitOptions(options)) {
        if (item == option) {
            return true;
        }
    }
    return false;
}

std::string CrypttabEntry::optionsWithout(const std::vector<std::string_view>& keys) const {
    std::string out;
    for (const std::string_view item : splitOptions(options)) {
        const std::string_view key = item.substr(0, item.find('='));
        bool dropped = false;
        for (const std::string_view k : keys) {
            dropped = dropped || key == k;
        }
        if (!dropped) {
            if (!out.empty()) {
                out += ',';
            }
            out += item;
        }
    }
    return out;
}

std::string CrypttabEntry::line() const {
    std::string text = name + " " + source + " " + keyFile;
    if (!options.empty()) {
        text += " " + options;
    }
    return text;
}

std::vector<CrypttabEntry> parseCrypttab(std::string_view text) {
    std::vector<CrypttabEntry> entries;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const auto parts = fields(line);
        if (parts.size() < 2 || parts[0].starts_with('#')) {
            continue;
        }
        CrypttabEntry entry{std::string(parts[0]), std::string(parts[1]), "none", ""};
        if (parts.size() > 2 && parts[2] != "-") {
            entry.keyFile = parts[2];
        }
        if (parts.size() > 3) {
            entry.options = parts[3];
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::optional<std::vector<std::string>> rootCryptNames(const Machine& machine,
                                                       std::string* problem) {
    const auto mountinfo = readText(machine / "/proc/self/mountinfo");
    if (!mountinfo) {
        *problem = "cannot read /proc/self/mountinfo";
        return std::nullopt;
    }
    // The last mount on "/" is the one in effect.
    std::string rootDevice;
    std::string rootSource;
    std::istringstream lines(*mountinfo);
    for (std::string line; std::getline(lines, line);) {
        const auto parts = fields(line);
        if (parts.size() >= 5 && unescapeMountField(parts[4]) == "/") {
            rootDevice = parts[2];
            // After the optional fields and "-": type, source, options.
            const auto dash = std::find(parts.begin() + 5, parts.end(), "-");
            rootSource = dash != parts.end() && dash + 2 < parts.end()
                             ? unescapeMountField(*(dash + 2))
                             : std::string();
        }
    }
    // Btrfs (and other file systems spanning devices) report an anonymous
    // device number: the mount source names the block device instead.
    struct stat source {};
    if (rootDevice.starts_with("0:") && rootSource.starts_with("/dev/") &&
        ::stat((machine / rootSource).c_str(), &source) == 0 && S_ISBLK(source.st_mode)) {
        rootDevice =
            std::to_string(major(source.st_rdev)) + ":" + std::to_string(minor(source.st_rdev));
    }
    if (rootDevice.empty()) {
        *problem = "the root file system is not in the mount table";
        return std::nullopt;
    }
    std::vector<std::string> names;
    std::set<std::filesystem::path> seen;
    collectCryptNames(machine, machine / ("/sys/dev/block/" + rootDevice), seen, names);
    return names;
}

std::optional<std::filesystem::path> sourceDevice(const Machine& machine, std::string_view source) {
    static constexpr std::pair<std::string_view, std::string_view> kLinks[] = {
        {"UUID=", "/dev/disk/by-uuid/"},
        {"PARTUUID=", "/dev/disk/by-partuuid/"},
        {"LABEL=", "/dev/disk/by-label/"},
        {"PARTLABEL=", "/dev/disk/by-partlabel/"},
    };
    for (const auto& [prefix, folder] : kLinks) {
        if (source.starts_with(prefix)) {
            const std::string_view value = source.substr(prefix.size());
            if (value.empty() || value.find('/') != std::string_view::npos || value == "." ||
                value == "..") {
                return std::nullopt;
            }
            return machine / (std::string(folder) + std::string(value));
        }
    }
    if (source.starts_with('/')) {
        return machine / source;
    }
    return std::nullopt;
}

std::optional<VolumeModel> readVolumeModel(const Machine& machine, std::string* problem) {
    VolumeModel model;
    const auto names = rootCryptNames(machine, problem);
    if (!names) {
        return std::nullopt;
    }
    const auto crypttab = readText(machine / "/etc/crypttab");
    const std::vector<CrypttabEntry> entries =
        crypttab ? parseCrypttab(*crypttab) : std::vector<CrypttabEntry>{};
    for (const CrypttabEntry& entry : entries) {
        bool underRoot = false;
        for (const std::string& name : *names) {
            underRoot = underRoot || name == entry.name;
        }
        if (underRoot) {
            model.rootVolumes.push_back(entry.name);
            model.rootEncrypted = true;
        }
        if (underRoot || entry.hasOption("initramfs")) {
            model.volumes.push_back(entry);
        }
    }
    return model;
}

std::optional<std::string> untrustedFileReason(const Machine& machine, std::string_view absolute) {
    const std::filesystem::path top = machine.root.lexically_normal();
    std::filesystem::path current = machine / absolute;
    int links = 0;
    while (true) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0) {
            return current.string() + " cannot be read";
        }
        if (info.st_uid != machine.trustedOwner) {
            return current.string() + " is not owned by root";
        }
        if (S_ISLNK(info.st_mode)) {
            // The kernel and initramfs in /boot are often links: what they
            // point to must be as safe (its own folders included).
            std::error_code error;
            const auto target = std::filesystem::read_symlink(current, error);
            if (error || ++links > 8) {
                return current.string() + " is a link that cannot be followed";
            }
            const auto next =
                (target.is_absolute() ? machine / target.string() : current.parent_path() / target)
                    .lexically_normal();
            std::string inside = "/";
            inside += next.lexically_relative(top).string();
            if (auto reason = untrustedFileReason(machine, inside)) {
                return reason;
            }
        } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return current.string() + " is writable by others than root";
        }
        if (current.lexically_normal() == top || !current.has_parent_path() ||
            current.parent_path() == current) {
            return std::nullopt;
        }
        current = current.parent_path();
    }
}

}  // namespace lockstep::fde
