#include "machine_fixture.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <libcryptsetup.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/temp_dir.h"

namespace lockstep::fde::testing {

using lockstep::testing::writeFile;

namespace {

struct CryptFree {
    void operator()(crypt_device* cd) const { crypt_free(cd); }
};

std::vector<std::uint8_t> readBytes(int fd) {
    std::vector<std::uint8_t> out;
    std::uint8_t chunk[65536];
    off_t at = 0;
    while (true) {
        const ssize_t got = ::pread(fd, chunk, sizeof(chunk), at);
        if (got <= 0) {
            return out;
        }
        out.insert(out.end(), chunk, chunk + got);
        at += got;
    }
}

}  // namespace

std::string makeLuksImage(const std::filesystem::path& path, int version,
                          const std::string& passphrase) {
    std::filesystem::create_directories(path.parent_path());
    { std::ofstream create(path); }
    std::filesystem::resize_file(path, 20U << 20U);
    crypt_device* raw = nullptr;
    if (crypt_init(&raw, path.c_str()) < 0) {
        throw std::runtime_error("crypt_init failed");
    }
    std::unique_ptr<crypt_device, CryptFree> cd(raw);
    crypt_pbkdf_type pbkdf{};
    pbkdf.type = CRYPT_KDF_PBKDF2;
    pbkdf.hash = "sha256";
    pbkdf.iterations = 1000;
    pbkdf.flags = CRYPT_PBKDF_NO_BENCHMARK;
    int rc = 0;
    if (version == 2) {
        crypt_params_luks2 params{};
        params.pbkdf = &pbkdf;
        params.sector_size = 512;
        rc = crypt_format(cd.get(), CRYPT_LUKS2, "aes", "xts-plain64", nullptr, nullptr, 64,
                          &params);
    } else {
        if (crypt_set_pbkdf_type(cd.get(), &pbkdf) < 0) {
            throw std::runtime_error("crypt_set_pbkdf_type failed");
        }
        crypt_params_luks1 params{};
        params.hash = "sha256";
        rc = crypt_format(cd.get(), CRYPT_LUKS1, "aes", "xts-plain64", nullptr, nullptr, 64,
                          &params);
    }
    if (rc < 0 || crypt_keyslot_add_by_volume_key(cd.get(), CRYPT_ANY_SLOT, nullptr, 0,
                                                  passphrase.data(), passphrase.size()) < 0) {
        throw std::runtime_error("cannot format a LUKS image");
    }
    return crypt_get_uuid(cd.get());
}

void destroyKeyslot(const std::filesystem::path& image, int slot) {
    crypt_device* raw = nullptr;
    if (crypt_init(&raw, image.c_str()) < 0) {
        throw std::runtime_error("crypt_init failed");
    }
    std::unique_ptr<crypt_device, CryptFree> cd(raw);
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
    if (filter == "lz4") {
        // The kernel reads only lz4's legacy frames (lz4 -l, as
        // initramfs-tools writes them), which libarchive cannot write.
        const auto plain = makeArchive(files, "");
        lockstep::testing::TempDir dir;
        writeFile(dir / "in", std::string(plain.begin(), plain.end()));
        const std::string command =
            "lz4 -l -q -c '" + (dir / "in").string() + "' > '" + (dir / "out").string() + "'";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("lz4 failed");
        }
        const std::string packed = lockstep::testing::readFile(dir / "out");
        return {packed.begin(), packed.end()};
    }
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
        if ((file.mode & 0170000) == 0120000) {
            archive_entry_set_symlink(entry, file.contents.c_str());
            archive_entry_set_size(entry, 0);
        } else {
            archive_entry_set_size(entry, static_cast<la_int64_t>(file.contents.size()));
        }
        archive_write_header(writer, entry);
        if ((file.mode & 0170000) == 0100000) {
            archive_write_data(writer, file.contents.data(), file.contents.size());
        }
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    out.resize(used);
    return out;
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

int RecordingKexec::execute() {
    ++executed;
    return EPERM;
}

int RecordingKexec::unload() {
    ++unloads;
    return 0;
}

TestMachine::TestMachine(const std::vector<TestVolume>& volumes) : volumes_(volumes) {
    const auto& r = root();
    std::filesystem::permissions(r, std::filesystem::perms(0755));
    std::string crypttab = "# <target name> <source device> <key file> <options>\n";
    int index = 0;
    for (const TestVolume& volume : volumes) {
        const auto path = r / "images" / (volume.name + ".img");
        const std::string uuid = makeLuksImage(path, volume.version, volume.passphrase);
        uuids_.emplace_back(volume.name, uuid);
        std::filesystem::create_directories(r / "dev/disk/by-uuid");
        // Relative, so a copy of the machine folder is a machine too.
        std::filesystem::create_symlink("../../../images/" + volume.name + ".img",
                                        r / "dev/disk/by-uuid" / uuid);
        crypttab += volume.name + " UUID=" + uuid + " none " + volume.options +
                    (volume.underRoot ? "" : ",initramfs") + "\n";
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
    writeInitramfs();
    for (const auto& sub : {"boot", "etc", "proc", "sys", "dev", "images"}) {
        std::filesystem::permissions(r / sub, std::filesystem::perms(0755));
    }
}

void TestMachine::setRootDevice(const std::string& majorMinor) {
    writeFile(root() / "proc/self/mountinfo",
              "22 27 0:21 / /proc rw - proc proc rw\n"
              "27 1 " +
                  majorMinor + " / / rw,relatime shared:1 - ext4 /dev/mapper/vg-root rw\n");
}

std::filesystem::path TestMachine::image(const std::string& name) const {
    return root() / "images" / (name + ".img");
}

const std::string& TestMachine::uuid(const std::string& name) const {
    for (const auto& [volume, uuid] : uuids_) {
        if (volume == name) {
            return uuid;
        }
    }
    throw std::runtime_error("no volume " + name);
}

std::string TestMachine::initramfsCrypttab() const {
    std::string text;
    for (const TestVolume& volume : volumes_) {
        text += volume.name + " UUID=" + uuid(volume.name) + " none " + volume.options + "\n";
    }
    return text;
}

void TestMachine::writeInitramfs(const std::string& filter) {
    auto image = makeArchive(
        {{"kernel", "", 040755}, {"kernel/x86/microcode/GenuineIntel.bin", "microcode"}}, "");
    const auto main = makeArchive({{"conf", "", 040755},
                                   {"conf/initramfs.conf", "MODULES=most\n"},
                                   {"scripts/local-top/cryptroot", "#!/bin/sh\n", 0100755},
                                   {"cryptroot", "", 040755},
                                   {"cryptroot/crypttab", initramfsCrypttab()},
                                   {"init", "#!/bin/sh\n", 0100755}},
                                  filter);
    image.insert(image.end(), main.begin(), main.end());
    writeInitramfs(image);
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
    // Standard input: a memory file holding the input (a pipe could not
    // take more than its buffer before the tool reads).
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
        if (answered >= terminal.size()) {
            return std::nullopt;
        }
        return terminal[answered++];
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
    Result result;
    result.exit = runTool(arguments, env);
    ::close(inputFd);
    result.out = out.str();
    result.err = err.str();
    return result;
}

}  // namespace lockstep::fde::testing
