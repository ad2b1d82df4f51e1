#pragma once

// A machine in a temporary folder for the restart tool: a mount table and
// sysfs chain for its root file system, /etc/crypttab, LUKS images standing
// in for the devices, a kernel and an initramfs in /boot, and a kexec that
// records what it was given.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fdesetup/kexec.h"
#include "fdesetup/newc.h"
#include "fdesetup/tool.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "support/directory_fixture.h"

namespace lockstep::fde::testing {

// A LUKS image file with one keyslot for `passphrase`, made with a cheap key
// derivation (tests only). Gives the volume's UUID.
std::string makeLuksImage(const std::filesystem::path& path, int version,
                          const std::string& passphrase);

// Destroys a keyslot behind the tool's back, as cryptsetup luksKillSlot.
void destroyKeyslot(const std::filesystem::path& image, int slot);

// A buffer holding the text.
LockedBuffer secret(std::string_view text);

// newc and compressed archives, as initramfs builders make them.
struct ArchiveFile {
    std::string name;
    std::string contents;
    std::uint32_t mode = 0100644;
};
// `filter`: "gzip", "zstd", "xz", "lz4" or "" (uncompressed).
std::vector<std::uint8_t> makeArchive(const std::vector<ArchiveFile>& files,
                                      const std::string& filter);

// What the stand-in kexec was handed.
class RecordingKexec final : public KexecLoader {
  public:
    int load(int kernelFd, int initrdFd, std::string_view commandLine) override;
    int unload() override;
    int execute() override;

    std::optional<std::string> kernel;
    std::optional<std::vector<std::uint8_t>> initrd;
    std::string commandLine;
    int seals = 0;
    int answer = 0;  // the errno to answer with
    int unloads = 0;
    int executed = 0;
};

struct TestVolume {
    std::string name;
    std::string passphrase;
    int version = 2;
    std::string options = "luks,discard";
    bool underRoot = true;
};

class TestMachine {
  public:
    static constexpr const char* kRelease = "6.1.0-99-amd64";
    static constexpr const char* kCommandLine = "BOOT_IMAGE=/vmlinuz root=/dev/mapper/vg-root ro";

    // Root on LVM on the volumes marked underRoot; the others are marked
    // "initramfs" in /etc/crypttab.
    explicit TestMachine(const std::vector<TestVolume>& volumes);

    [[nodiscard]] const std::filesystem::path& root() const { return dir_.path(); }
    [[nodiscard]] std::filesystem::path image(const std::string& name) const;
    [[nodiscard]] const std::string& uuid(const std::string& name) const;

    // An initramfs-tools image (early microcode archive, then a compressed
    // main archive) whose crypttab lists every volume.
    void writeInitramfs(const std::string& filter = "zstd");
    void writeInitramfs(const std::vector<std::uint8_t>& image);
    [[nodiscard]] std::vector<std::uint8_t> initramfs() const;
    [[nodiscard]] std::string initramfsCrypttab() const;
    void setRootDevice(const std::string& majorMinor);

    // Accounts for `add`.
    lockstep::testing::TestDirectory& accounts() { return accounts_; }

    struct Result {
        int exit = -1;
        std::string out;
        std::string err;
    };
    // Runs the tool as root with `input` on standard input.
    Result run(const std::vector<std::string>& arguments, const std::string& input = "");

    RecordingKexec kexec;
    std::vector<std::string> logged;
    std::vector<std::vector<std::string>> commands;
    // What the terminal answers, in order.
    std::vector<std::string> terminal;

  private:
    lockstep::testing::TempDir dir_;
    lockstep::testing::TestDirectory accounts_;
    std::vector<std::pair<std::string, std::string>> uuids_;
    std::vector<TestVolume> volumes_;
};

}  // namespace lockstep::fde::testing
