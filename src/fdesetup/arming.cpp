#include "fdesetup/arming.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "fdesetup/luks.h"
#include "fdesetup/newc.h"
#include "platform/scoped_fd.h"

namespace lockstep::fde {

namespace {

// Largest initramfs read.
constexpr std::size_t kMaxInitramfs = std::size_t{1} << 30U;

// Opens a file the tool trusts, after checking it and its folders, and
// checks the opened file again (it cannot have been swapped after that).
ScopedFD openTrusted(const Machine& machine, std::string_view absolute, std::string* problem) {
    if (auto reason = untrustedFileReason(machine, absolute)) {
        *problem = *reason;
        return {};
    }
    ScopedFD fd(::open((machine / absolute).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        *problem = std::string(absolute) + " cannot be read";
        return {};
    }
    if (info.st_uid != machine.trustedOwner || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *problem = std::string(absolute) + " is not owned by root or is writable by others";
        return {};
    }
    return fd;
}

bool readAll(int fd, std::vector<std::uint8_t>& out) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size < 0 ||
        static_cast<std::size_t>(info.st_size) > kMaxInitramfs) {
        return false;
    }
    out.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::read(fd, out.data() + done, out.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool writeAllAt(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t put = ::pwrite(fd, data, size, offset);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
        offset += put;
    }
    return true;
}

bool safeName(std::string_view name) {
    return !name.empty() && name.size() <= 64 && !name.starts_with('.') &&
           name.find_first_not_of(
               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
               "0123456789._-") == std::string_view::npos;
}

std::string_view trimNewline(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::optional<RestartPlan> planRestart(const Machine& machine, std::string_view release,
                                       bool openVolumes, std::string* problem) {
    RestartPlan plan;
    auto model = readVolumeModel(machine, problem);
    if (!model) {
        return std::nullopt;
    }
    if (!model->rootEncrypted) {
        *problem = "the root file system is not on an encrypted volume of /etc/crypttab";
        return std::nullopt;
    }
    plan.model = std::move(*model);
    if (auto reason = untrustedFileReason(machine, "/etc/crypttab")) {
        *problem = *reason;
        return std::nullopt;
    }
    if (auto reason = kexecUnavailableReason(machine)) {
        *problem = *reason;
        return std::nullopt;
    }
    if (release.empty() || release.find('/') != std::string_view::npos) {
        *problem = "the running kernel's release is unknown";
        return std::nullopt;
    }
    plan.kernelPath = "/boot/vmlinuz-" + std::string(release);
    plan.initrdPath = "/boot/initrd.img-" + std::string(release);
    if (!openTrusted(machine, plan.kernelPath, problem)) {
        return std::nullopt;
    }
    const ScopedFD initrd = openTrusted(machine, plan.initrdPath, problem);
    if (!initrd) {
        return std::nullopt;
    }
    if (!readAll(initrd.get(), plan.initramfs)) {
        *problem = plan.initrdPath + " cannot be read";
        return std::nullopt;
    }
    plan.info = inspectInitramfs(plan.initramfs);
    if (auto reason = unsupportedReason(plan.info)) {
        *problem = *reason;
        return std::nullopt;
    }
    plan.crypttab = parseCrypttab(*plan.info.cryptrootCrypttab);
    for (const std::string& rootVolume : plan.model.rootVolumes) {
        const bool unlocked = std::any_of(plan.crypttab.begin(), plan.crypttab.end(),
                                          [&](const auto& e) { return e.name == rootVolume; });
        if (!unlocked) {
            *problem = "the initramfs does not unlock " + rootVolume +
                       " (update-initramfs -u may be needed)";
            return std::nullopt;
        }
    }
    for (std::size_t i = 0; i < plan.crypttab.size(); ++i) {
        const CrypttabEntry& entry = plan.crypttab[i];
        if (entry.keyFile != "none") {
            continue;  // it opens without a prompt already
        }
        if (entry.hasOption("plain") || entry.hasOption("tcrypt") || entry.hasOption("bitlk") ||
            entry.options.find("header=") != std::string::npos) {
            *problem = entry.name + " is not a LUKS volume with its header on the device";
            return std::nullopt;
        }
        if (!sourceDevice(machine, entry.source)) {
            *problem = "the device of " + entry.name + " cannot be found (" + entry.source + ")";
            return std::nullopt;
        }
        if (openVolumes) {
            std::string why;
            if (!LuksVolume::open(*sourceDevice(machine, entry.source), &why)) {
                *problem = entry.name + ": " + why;
                return std::nullopt;
            }
        }
        plan.needKeys.push_back(i);
    }
    return plan;
}

std::optional<std::vector<UnlockedVolume>> authenticate(const Machine& machine,
                                                        const RestartPlan& plan,
                                                        std::string_view user,
                                                        const LockedBuffer& password,
                                                        std::string* problem) {
    std::vector<UnlockedVolume> unlocked;
    for (const std::size_t index : plan.needKeys) {
        const CrypttabEntry& entry = plan.crypttab[index];
        std::string why;
        const auto device = sourceDevice(machine, entry.source);
        auto volume = device ? LuksVolume::open(*device, &why) : std::nullopt;
        if (!volume) {
            *problem = entry.name + ": " + (why.empty() ? "no device" : why);
            return std::nullopt;
        }
        const auto slot = volume->keyslotFor(user);
        if (!slot) {
            *problem = std::string(user) + " is not enabled on " + entry.name;
            return std::nullopt;
        }
        const auto opened = volume->openingKeyslot(password, *slot);
        if (!opened) {
            *problem = "the password does not open " + entry.name;
            return std::nullopt;
        }
        unlocked.push_back({entry.name, *opened});
    }
    return unlocked;
}

std::string keyFilePath(const CrypttabEntry& entry, std::size_t index) {
    return "/lockstep/" + (safeName(entry.name) ? entry.name : "volume-" + std::to_string(index)) +
           ".key";
}

bool buildKeyArchive(const RestartPlan& plan, const std::vector<UnlockedVolume>& volumes,
                     const LockedBuffer& password, LockedBuffer& out) {
    std::string crypttab;
    for (std::size_t i = 0; i < plan.crypttab.size(); ++i) {
        CrypttabEntry entry = plan.crypttab[i];
        const auto unlocked = std::find_if(volumes.begin(), volumes.end(),
                                           [&](const auto& v) { return v.name == entry.name; });
        if (unlocked != volumes.end()) {
            // The key file replaces the prompt (and any script that would
            // ask); trying only the keyslot it opens keeps the boot quick.
            entry.keyFile = keyFilePath(entry, i);
            entry.options = entry.optionsWithout({"keyscript", "keyslot", "key-slot", "tries"});
            if (!entry.options.empty()) {
                entry.options += ',';
            }
            entry.options.append("key-slot=").append(std::to_string(unlocked->keyslot));
        }
        crypttab += entry.line() + "\n";
    }
    newc::Writer writer(out);
    if (!writer.addDirectory("lockstep", 0700)) {
        return false;
    }
    for (std::size_t i = 0; i < plan.crypttab.size(); ++i) {
        const CrypttabEntry& entry = plan.crypttab[i];
        const bool keyed = std::any_of(volumes.begin(), volumes.end(),
                                       [&](const auto& v) { return v.name == entry.name; });
        if (keyed && !writer.addFile(keyFilePath(entry, i).substr(1), 0400, password.bytes())) {
            return false;
        }
    }
    return writer.addFile("cryptroot/crypttab", 0644, crypttab) && writer.finish();
}

std::optional<std::string> loadRestart(const Machine& machine, const RestartPlan& plan,
                                       const LockedBuffer& archive, KexecLoader& kexec) {
    std::string problem;
    const ScopedFD kernel = openTrusted(machine, plan.kernelPath, &problem);
    if (!kernel) {
        return problem;
    }
    std::string commandLine;
    {
        const ScopedFD cmdline(
            ::open((machine / "/proc/cmdline").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        std::vector<std::uint8_t> text;
        if (!cmdline) {
            return std::string("/proc/cmdline cannot be read");
        }
        std::array<char, 4096> chunk{};
        while (true) {
            const ssize_t got = ::read(cmdline.get(), chunk.data(), chunk.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return std::string("/proc/cmdline cannot be read");
            }
            if (got == 0) {
                break;
            }
            commandLine.append(chunk.data(), static_cast<std::size_t>(got));
        }
        commandLine = std::string(trimNewline(commandLine));
    }

    // The initramfs, zero padding to a 4-byte boundary (an uncompressed
    // archive after a compressed one is unpacked only from there), then the
    // archive with the keys: in memory only, sealed before the kernel reads it.
    const std::size_t padded = (plan.initramfs.size() + 3U) & ~std::size_t{3};
    const std::size_t total = padded + archive.size();
    const ScopedFD memory(::memfd_create("lockstep-initramfs", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!memory || ::ftruncate(memory.get(), static_cast<off_t>(total)) != 0) {
        return std::string("cannot make the in-memory initramfs: ") + std::strerror(errno);
    }
    // The pages that will hold the keys are locked before the keys are put
    // there, so they are never written to swap. A private read-only mapping
    // pins them without keeping the file writable.
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const std::size_t page = pageSize > 0 ? static_cast<std::size_t>(pageSize) : 4096U;
    const std::size_t lockFrom = (padded / page) * page;
    const std::size_t lockLength = total - lockFrom;
    void* pinned = ::mmap(nullptr, lockLength, PROT_READ, MAP_PRIVATE, memory.get(),
                          static_cast<off_t>(lockFrom));
    if (pinned == MAP_FAILED) {
        return std::string("cannot map the in-memory initramfs: ") + std::strerror(errno);
    }
    struct Unmap {
        void* at;
        std::size_t length;
        ~Unmap() { ::munmap(at, length); }
    } unmap{pinned, lockLength};
    if (::mlock(pinned, lockLength) != 0) {
        return std::string("cannot lock the in-memory initramfs: ") + std::strerror(errno);
    }
    if (!writeAllAt(memory.get(), plan.initramfs.data(), plan.initramfs.size(), 0) ||
        !writeAllAt(memory.get(), archive.data(), archive.size(), static_cast<off_t>(padded))) {
        return std::string("cannot write the in-memory initramfs: ") + std::strerror(errno);
    }
    if (::fcntl(memory.get(), F_ADD_SEALS,
                F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
        return std::string("cannot seal the in-memory initramfs: ") + std::strerror(errno);
    }
    if (const int error = kexec.load(kernel.get(), memory.get(), commandLine); error != 0) {
        return kexecFailureReason(error);
    }
    return std::nullopt;
}

}  // namespace lockstep::fde
