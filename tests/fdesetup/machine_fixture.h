#pragma once

// A machine in a temporary folder for the restart tool: a mount table and
// sysfs chain for its root file system, /etc/crypttab, LUKS images standing
// in for the devices, a kernel and an initramfs in /boot, and a kexec that
// records what it was given.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fdesetup/kexec.h"
#include "fdesetup/newc.h"
#include "fdesetup/tool.h"
#include "support/directory_fixture.h"

namespace lockstep::fde::testing {

// A LUKS image file with one keyslot for `passphrase`, made with a cheap key
// derivation. Gives the volume's UUID.
std::string makeLuksImage(const std::filesystem::path& path, int version,
                          const std::string& passphrase);
// Destroys a keyslot behind the tool's back, as cryptsetup luksKillSlot.
void destroyKeyslot(const std::filesystem::path& image, int slot);
LockedBuffer secret(std::string_view text);

// A newc archive; `filter` is a libarchive compression ("" for none).
struct ArchiveFile {
    std::string name;
    std::string contents;
    std::uint32_t mode = 0100644;
};
std::vector<std::uint8_t> makeArchive(const std::vector<ArchiveFile>& files,
                                      const std::string& filter);

// The entries of the archive appended to `original` in `loaded`, after
// checking that the original is kept and padded to four bytes with zeros.
std::vector<newc::Entry> appended(const std::vector<std::uint8_t>& original,
                                  const std::vector<std::uint8_t>& loaded);

class RecordingKexec final : public KexecLoader {
  public:
    int load(int kernelFd, int initrdFd, std::string_view commandLine) override;
    int unload() override { return 0; }
    int execute() override {
        ++executed;
        return EPERM;  // as a kernel that will not boot it
    }

    std::optional<std::string> kernel;
    std::optional<std::vector<std::uint8_t>> initrd;
    std::string commandLine;
    int seals = 0;
    int answer = 0;  // the errno load answers with
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
    // "initramfs" in /etc/crypttab. The initramfs lists every volume.
    explicit TestMachine(const std::vector<TestVolume>& volumes);

    [[nodiscard]] const std::filesystem::path& root() const { return dir_.path(); }
    [[nodiscard]] std::filesystem::path image(const std::string& name) const {
        return root() / "images" / (name + ".img");
    }
    [[nodiscard]] const std::string& uuid(const std::string& name) const { return uuids_.at(name); }
    void writeInitramfs(const std::vector<std::uint8_t>& image);
    [[nodiscard]] std::vector<std::uint8_t> initramfs() const;
    void setRootDevice(const std::string& majorMinor);
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
    std::vector<std::string> terminal;  // what the terminal answers, in order

  private:
    lockstep::testing::TempDir dir_;
    lockstep::testing::TestDirectory accounts_;
    std::map<std::string, std::string> uuids_;
};

}  // namespace lockstep::fde::testing
