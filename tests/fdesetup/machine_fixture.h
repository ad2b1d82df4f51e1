#pragma once

// A machine in a temporary folder for the restart tool: a mount table and
// sysfs chain for its root file system, /etc/crypttab, LUKS images standing
// in for the devices, a kernel and an initramfs in /boot, and a kexec that
// records what it was given.

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libcryptsetup.h>
#include <sys/mman.h>
#include <unistd.h>

#include "fdesetup/kexec.h"
#include "fdesetup/newc.h"
#include "fdesetup/tool.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "support/directory_fixture.h"

namespace lockstep::fde::testing {

namespace fs = std::filesystem;
using Bytes8 = std::vector<std::uint8_t>;
using lockstep::testing::readFile;
using lockstep::testing::writeFile;

using Crypt = std::unique_ptr<crypt_device, decltype(&crypt_free)>;
// The LUKS image at `path`, its header loaded unless it is yet to be made.
inline Crypt crypt(const fs::path& path, bool load = true) {
    crypt_device* raw = nullptr;
    const int status = crypt_init(&raw, path.c_str());
    Crypt cd(raw, &crypt_free);
    if (status < 0 || (load && crypt_load(raw, CRYPT_LUKS, nullptr) < 0)) {
        throw std::runtime_error("cannot open " + path.string());
    }
    return cd;
}

// A LUKS image file with one keyslot for `passphrase`, made with a cheap key
// derivation. Gives the volume's UUID.
inline std::string makeLuksImage(const fs::path& path, int version, const std::string& passphrase) {
    writeFile(path, "");
    fs::resize_file(path, 20U << 20U);
    const Crypt cd = crypt(path, false);
    const crypt_pbkdf_type pbkdf{CRYPT_KDF_PBKDF2,        "sha256", 0, 1000, 0, 0,
                                 CRYPT_PBKDF_NO_BENCHMARK};
    if (crypt_set_pbkdf_type(cd.get(), &pbkdf) < 0 ||
        crypt_format(cd.get(), version == 1 ? CRYPT_LUKS1 : CRYPT_LUKS2, "aes", "xts-plain64",
                     nullptr, nullptr, 64, nullptr) < 0 ||
        crypt_keyslot_add_by_volume_key(cd.get(), CRYPT_ANY_SLOT, nullptr, 0, passphrase.data(),
                                        passphrase.size()) < 0) {
        throw std::runtime_error("cannot format a LUKS image");
    }
    return crypt_get_uuid(cd.get());
}

struct ArchiveFile {
    std::string name;
    std::string contents = {};  // a link's target when not a regular file
    std::uint32_t mode = 0100644;
};
// A newc archive; `filter` is a libarchive compression ("" for none).
inline Bytes8 makeArchive(const std::vector<ArchiveFile>& files, const std::string& filter) {
    archive* writer = archive_write_new();
    archive_write_set_format_cpio_newc(writer);
    if (!filter.empty()) {
        archive_write_add_filter_by_name(writer, filter.c_str());
    }
    archive_write_set_bytes_in_last_block(writer, 1);
    Bytes8 out(64U << 20U);
    std::size_t used = 0;
    archive_write_open_memory(writer, out.data(), out.size(), &used);
    for (const ArchiveFile& file : files) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, file.name.c_str());
        archive_entry_set_mode(entry, file.mode);
        const std::size_t size = (file.mode & 0170000) == 0100000 ? file.contents.size() : 0;
        if (size == 0) {
            archive_entry_set_symlink(entry, file.contents.c_str());
        }
        archive_entry_set_size(entry, static_cast<la_int64_t>(size));
        archive_write_header(writer, entry);
        archive_write_data(writer, file.contents.data(), size);
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    out.resize(used);
    return out;
}

// The entries of the archive appended to `original` in `loaded`, each as
// "name mode uid:gid contents", after checking that the original is kept and
// padded to four bytes with zeros.
inline std::vector<std::string> appended(const std::string& original, const std::string& loaded) {
    const std::size_t padded = (original.size() + 3) & ~std::size_t{3};
    EXPECT_EQ(loaded.substr(0, padded), original + std::string(padded - original.size(), '\0'));
    const Bytes8 bytes(loaded.begin(), loaded.end());
    std::vector<newc::Entry> entries;
    EXPECT_EQ(newc::read(bytes, padded, &entries), loaded.size());
    std::vector<std::string> listing;
    for (const newc::Entry& e : entries) {
        std::ostringstream line;
        line << e.name << " " << std::oct << e.mode << std::dec << " " << e.uid << ":" << e.gid
             << " " << e.contents;
        listing.push_back(line.str());
    }
    return listing;
}

class RecordingKexec final : public KexecLoader {
  public:
    int load(int kernelFd, int initrdFd, std::string_view line) override {
        const auto readAll = [](int fd) {
            std::string out(64U << 20U, '\0');
            out.resize(
                static_cast<std::size_t>(std::max(::pread(fd, out.data(), out.size(), 0), 0L)));
            return out;
        };
        if (answer == 0) {
            kernel = readAll(kernelFd);
            initrd = readAll(initrdFd);
            commandLine = line;
            seals = ::fcntl(initrdFd, F_GET_SEALS);
        }
        return answer;
    }
    int unload() override { return 0; }
    int execute() override { return ++executed, EPERM; }  // as a kernel that will not boot it

    std::optional<std::string> kernel;
    std::optional<std::string> initrd;
    std::string commandLine;
    int seals = 0, answer = 0 /* the errno load answers with */, executed = 0;
};

struct TestVolume {
    std::string name, passphrase;
    int version = 2;
    std::string options = "luks,discard";
    bool underRoot = true;
};

class TestMachine {
  public:
    static constexpr const char* kRelease = "6.1.0-99-amd64";
    static constexpr const char* kCommandLine = "BOOT_IMAGE=/vmlinuz root=/dev/mapper/vg-root ro";

    // Root on LVM on the volumes marked underRoot; the others are marked
    // "initramfs" in /etc/crypttab. The initramfs lists every volume.
    explicit TestMachine(const std::vector<TestVolume>& volumes) {
        const fs::path& r = root();
        std::string crypttab, initramfsCrypttab;
        int index = 0;
        for (const TestVolume& volume : volumes) {
            const std::string uuid = uuids[volume.name] =
                makeLuksImage(image(volume.name), volume.version, volume.passphrase);
            fs::create_directories(r / "dev/disk/by-uuid");
            // Relative, so a copy of the machine folder is a machine too.
            fs::create_symlink("../../../images/" + volume.name + ".img",
                               r / "dev/disk/by-uuid" / uuid);
            const std::string line = volume.name + " UUID=" + uuid + " none " + volume.options;
            crypttab += line + (volume.underRoot ? "\n" : ",initramfs\n");
            initramfsCrypttab += line + "\n";
            // The mapping in sysfs, stacked under the root's logical volume.
            const fs::path dm = r / "sys/class/block" / ("dm-" + std::to_string(index++));
            writeFile(dm / "dm/uuid", "CRYPT-LUKS2-x-" + volume.name + "\n");
            writeFile(dm / "dm/name", volume.name + "\n");
            if (volume.underRoot) {
                fs::create_directories(r / "sys/dev/block/254:9/slaves" / dm.filename());
            }
        }
        for (const auto& [file, text] : std::map<std::string, std::string>{
                 {"sys/dev/block/254:9/dm/uuid", "LVM-abcdef\n"},
                 {"sys/dev/block/254:9/dm/name", "vg-root\n"},
                 {"etc/crypttab", crypttab},
                 {"sys/kernel/kexec_loaded", "0\n"},
                 {"proc/cmdline", std::string(kCommandLine) + "\n"},
                 {std::string("boot/vmlinuz-") + kRelease, "MZ a kernel image"}}) {
            writeFile(r / file, text);
        }
        setRootDevice("254:9");
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
    }

    [[nodiscard]] const fs::path& root() const { return dir_.path(); }
    [[nodiscard]] fs::path image(const std::string& name) const {
        return root() / "images" / (name + ".img");
    }
    void writeInitramfs(const Bytes8& image) {
        writeFile(root() / "boot/initrd.img-6.1.0-99-amd64",
                  std::string(image.begin(), image.end()));
    }
    [[nodiscard]] std::string initramfs() const {
        return readFile(root() / "boot/initrd.img-6.1.0-99-amd64");
    }
    void setRootDevice(const std::string& majorMinor) {
        writeFile(root() / "proc/self/mountinfo",
                  "22 27 0:21 / /proc rw - proc proc rw\n27 1 " + majorMinor +
                      " / / rw,relatime shared:1 - ext4 /dev/mapper/vg-root rw\n");
    }

    struct Result {
        int exit = -1;
        std::string out, err;
    };
    // Runs the tool as root with `input` on standard input: a memory file, as
    // a pipe could not take more than its buffer before the tool reads.
    Result run(const std::vector<std::string>& arguments, const std::string& input = "") {
        const int inputFd = ::memfd_create("input", MFD_CLOEXEC);
        if (inputFd < 0 ||
            ::write(inputFd, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
            ::lseek(inputFd, 0, SEEK_SET) != 0) {
            throw std::runtime_error("standard input");
        }
        SqliteKeychainService keychain{SqliteKeychainOptions{}};
        LocalDirectoryService directory{accounts.root()};
        const Context context{keychain, directory, "/usr/bin/fdesetup", "/usr/bin",
                              accounts.root()};
        std::ostringstream out, err;
        auto next = terminal.begin();
        const auto answer = [&]() -> std::optional<std::string> {
            return next != terminal.end() ? std::optional(*next++) : std::nullopt;
        };
        ToolEnvironment env{Machine{root(), static_cast<unsigned>(::getuid())},
                            kRelease,
                            kexec,
                            context,
                            true,
                            inputFd,
                            out,
                            err,
                            {},
                            {},
                            {},
                            {}};
        env.askLine = [&answer](const std::string&) { return answer(); };
        env.askSecret = [&answer](const std::string&) {
            std::optional<LockedBuffer> buffer;
            if (const auto text = answer()) {
                static_cast<void>(buffer.emplace(4096).append(*text));
            }
            return buffer;
        };
        env.log = [this](std::string_view message) { logged.emplace_back(message); };
        env.runCommand = [this](const std::vector<std::string>& c) {
            return commands.push_back(c), true;
        };
        const int exit = runTool(arguments, env);
        ::close(inputFd);
        return {exit, out.str(), err.str()};
    }

    RecordingKexec kexec;
    std::vector<std::string> logged;
    std::vector<std::vector<std::string>> commands;
    std::vector<std::string> terminal;  // what the terminal answers, in order
    std::map<std::string, std::string> uuids;
    lockstep::testing::TestDirectory accounts;

  private:
    lockstep::testing::TempDir dir_;
};

}  // namespace lockstep::fde::testing
