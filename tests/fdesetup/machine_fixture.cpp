#include "machine_fixture.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libcryptsetup.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"

namespace lockstep::fde::testing {

using lockstep::testing::writeFile;

namespace {

struct CryptFree {
    void operator()(crypt_device* cd) const { crypt_free(cd); }
};
std::unique_ptr<crypt_device, CryptFree> cryptInit(const std::filesystem::path& path) {
    crypt_device* raw = nullptr;
    if (crypt_init(&raw, path.c_str()) < 0) {
        throw std::runtime_error("crypt_init failed");
    }
    return std::unique_ptr<crypt_device, CryptFree>(raw);
}

std::vector<std::uint8_t> readBytes(int fd) {
    std::vector<std::uint8_t> out;
    std::uint8_t chunk[65536];
    ssize_t got = 0;
    while ((got = ::pread(fd, chunk, sizeof(chunk), static_cast<off_t>(out.size()))) > 0) {
        out.insert(out.end(), chunk, chunk + got);
    }
    return out;
}

}  // namespace

std::string makeLuksImage(const std::filesystem::path& path, int version,
                          const std::string& passphrase) {
    std::filesystem::create_directories(path.parent_path());
    { std::ofstream create(path); }
    std::filesystem::resize_file(path, 20U << 20U);
    const auto cd = cryptInit(path);
    crypt_pbkdf_type pbkdf{.type = CRYPT_KDF_PBKDF2,
                           .hash = "sha256",
                           .time_ms = 0,
                           .iterations = 1000,
                           .max_memory_kb = 0,
                           .parallel_threads = 0,
                           .flags = CRYPT_PBKDF_NO_BENCHMARK};
    crypt_params_luks1 luks1{.hash = "sha256", .data_alignment = 0, .data_device = nullptr};
    crypt_params_luks2 luks2{};
    luks2.pbkdf = &pbkdf;
    luks2.sector_size = 512;
    if (version == 1 && crypt_set_pbkdf_type(cd.get(), &pbkdf) < 0) {
        throw std::runtime_error("crypt_set_pbkdf_type failed");
    }
    if (crypt_format(cd.get(), version == 1 ? CRYPT_LUKS1 : CRYPT_LUKS2, "aes", "xts-plain64",
                     nullptr, nullptr, 64,
                     version == 1 ? static_cast<void*>(&luks1) : static_cast<void*>(&luks2)) < 0 ||
        crypt_keyslot_add_by_volume_key(cd.get(), CRYPT_ANY_SLOT, nullptr, 0, passphrase.data(),
                                        passphrase.size()) < 0) {
        throw std::runtime_error("cannot format a LUKS image");
    }
    return crypt_get_uuid(cd.get());
}

void destroyKeyslot(const std::filesystem::path& image, int slot) {
    const auto cd = cryptInit(image);
    if (crypt_load(cd.get(), CRYPT_LUKS, nullptr) < 0 ||
        crypt_keyslot_destroy(cd.get(), slot) < 0) {
        throw std::runtime_error("cannot destroy a keyslot");
    }
}

LockedBuffer secret(std::string_view text) {
    LockedBuffer buffer(4096);
    static_cast<void>(buffer.append(text));
    return buffer;
}

std::vector<std::uint8_t> makeArchive(const std::vector<ArchiveFile>& files,
                                      const std::string& filter) {
    archive* writer = archive_write_new();
    archive_write_set_format_cpio_newc(writer);
    if (!filter.empty()) {
        archive_write_add_filter_by_name(writer, filter.c_str());
    }
    archive_write_set_bytes_in_last_block(writer, 1);
    std::vector<std::uint8_t> out(64U << 20U);
    std::size_t used = 0;
    archive_write_open_memory(writer, out.data(), out.size(), &used);
    for (const ArchiveFile& file : files) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, file.name.c_str());
        archive_entry_set_mode(entry, file.mode);
        const bool regular = (file.mode & 0170000) == 0100000;
        if (!regular) {
            archive_entry_set_symlink(entry, file.contents.c_str());
        }
        archive_entry_set_size(entry, regular ? static_cast<la_int64_t>(file.contents.size()) : 0);
        archive_write_header(writer, entry);
        archive_write_data(writer, file.contents.data(), regular ? file.contents.size() : 0);
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    out.resize(used);
    return out;
}

std::vector<newc::Entry> appended(const std::vector<std::uint8_t>& original,
                                  const std::vector<std::uint8_t>& loaded) {
    const std::size_t padded = (original.size() + 3) & ~std::size_t{3};
    EXPECT_TRUE(std::equal(original.begin(), original.end(), loaded.begin()));
    EXPECT_TRUE(std::all_of(loaded.begin() + static_cast<long>(original.size()),
                            loaded.begin() + static_cast<long>(padded),
                            [](std::uint8_t byte) { return byte == 0; }));
    std::vector<newc::Entry> entries;
    EXPECT_EQ(newc::read(loaded, padded, &entries), loaded.size());
    return entries;
}

int RecordingKexec::load(int kernelFd, int initrdFd, std::string_view line) {
    if (answer != 0) {
        return answer;
    }
    const auto kernelBytes = readBytes(kernelFd);
    kernel = std::string(kernelBytes.begin(), kernelBytes.end());
    initrd = readBytes(initrdFd);
    commandLine = line;
    seals = ::fcntl(initrdFd, F_GET_SEALS);
    return 0;
}

TestMachine::TestMachine(const std::vector<TestVolume>& volumes) {
    const auto& r = root();
    std::filesystem::permissions(r, std::filesystem::perms(0755));
    std::string crypttab;
    std::string initramfsCrypttab;
    int index = 0;
    for (const TestVolume& volume : volumes) {
        const std::string uuid =
            makeLuksImage(image(volume.name), volume.version, volume.passphrase);
        uuids_[volume.name] = uuid;
        std::filesystem::create_directories(r / "dev/disk/by-uuid");
        // Relative, so a copy of the machine folder is a machine too.
        std::filesystem::create_symlink("../../../images/" + volume.name + ".img",
                                        r / "dev/disk/by-uuid" / uuid);
        const std::string line = volume.name + " UUID=" + uuid + " none " + volume.options;
        crypttab += line + (volume.underRoot ? "\n" : ",initramfs\n");
        initramfsCrypttab += line + "\n";
        // The mapping in sysfs, stacked under the root's logical volume.
        const std::string dm = "dm-" + std::to_string(index++);
        writeFile(r / "sys/class/block" / dm / "dm/uuid", "CRYPT-LUKS2-x-" + volume.name + "\n");
        writeFile(r / "sys/class/block" / dm / "dm/name", volume.name + "\n");
        if (volume.underRoot) {
            std::filesystem::create_directories(r / "sys/dev/block/254:9/slaves" / dm);
        }
    }
    writeFile(r / "sys/dev/block/254:9/dm/uuid", "LVM-abcdef\n");
    writeFile(r / "sys/dev/block/254:9/dm/name", "vg-root\n");
    setRootDevice("254:9");
    writeFile(r / "etc/crypttab", crypttab);
    writeFile(r / "sys/kernel/kexec_loaded", "0\n");
    writeFile(r / "proc/cmdline", std::string(kCommandLine) + "\n");
    writeFile(r / "boot" / (std::string("vmlinuz-") + kRelease), "MZ a kernel image");
    // initramfs-tools: an early microcode archive, then the compressed main one.
    auto initrd = makeArchive(
        {{"kernel", "", 040755}, {"kernel/x86/microcode/GenuineIntel.bin", "microcode"}}, "");
    const auto main = makeArchive({{"conf/initramfs.conf", "MODULES=most\n"},
                                   {"scripts/local-top/cryptroot", "#!/bin/sh\n", 0100755},
                                   {"cryptroot/crypttab", initramfsCrypttab},
                                   {"init", "#!/bin/sh\n", 0100755}},
                                  "zstd");
    initrd.insert(initrd.end(), main.begin(), main.end());
    writeInitramfs(initrd);
    for (const auto& sub : {"boot", "etc", "proc", "sys", "dev", "images"}) {
        std::filesystem::permissions(r / sub, std::filesystem::perms(0755));
    }
}

void TestMachine::setRootDevice(const std::string& majorMinor) {
    writeFile(root() / "proc/self/mountinfo",
              "22 27 0:21 / /proc rw - proc proc rw\n27 1 " + majorMinor +
                  " / / rw,relatime shared:1 - ext4 /dev/mapper/vg-root rw\n");
}

void TestMachine::writeInitramfs(const std::vector<std::uint8_t>& image) {
    writeFile(root() / "boot" / (std::string("initrd.img-") + kRelease),
              std::string(image.begin(), image.end()));
}

std::vector<std::uint8_t> TestMachine::initramfs() const {
    const std::string text =
        lockstep::testing::readFile(root() / "boot" / (std::string("initrd.img-") + kRelease));
    return {text.begin(), text.end()};
}

TestMachine::Result TestMachine::run(const std::vector<std::string>& arguments,
                                     const std::string& input) {
    // A memory file: a pipe could not take more than its buffer before the
    // tool reads.
    const int inputFd = ::memfd_create("input", MFD_CLOEXEC);
    if (inputFd < 0 ||
        ::write(inputFd, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
        ::lseek(inputFd, 0, SEEK_SET) != 0) {
        throw std::runtime_error("standard input");
    }
    SqliteKeychainService keychain{SqliteKeychainOptions{}};
    LocalDirectoryService directory{accounts_.root()};
    const Context accounts{.keychain = keychain,
                           .directory = directory,
                           .fdesetupPath = "/usr/bin/fdesetup",
                           .bundlePath = "/usr/bin",
                           .machineRoot = accounts_.root()};
    std::ostringstream out;
    std::ostringstream err;
    std::size_t answered = 0;
    const auto answer = [this, &answered]() -> std::optional<std::string> {
        return answered < terminal.size() ? std::optional(terminal[answered++]) : std::nullopt;
    };
    ToolEnvironment env{
        .machine = Machine{root(), static_cast<unsigned>(::getuid())},
        .release = kRelease,
        .kexec = kexec,
        .accounts = accounts,
        .root = true,
        .inputFd = inputFd,
        .out = out,
        .err = err,
        .askLine = [&answer](const std::string&) { return answer(); },
        .askSecret = [&answer](const std::string&) -> std::optional<LockedBuffer> {
            auto text = answer();
            return text ? std::optional(secret(*text)) : std::nullopt;
        },
        .log = [this](std::string_view message) { logged.emplace_back(message); },
        .runCommand =
            [this](const std::vector<std::string>& command) {
                commands.push_back(command);
                return true;
            },
    };
    const int exit = runTool(arguments, env);
    ::close(inputFd);
    return {exit, out.str(), err.str()};
}

}  // namespace lockstep::fde::testing
