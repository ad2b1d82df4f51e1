// Reading initramfs images: early microcode archives, the main archive's
// compression and builder, and the crypttab copy; a real image made by
// mkinitramfs when initramfs-tools and cryptsetup-initramfs are installed.

#include "fdesetup/initramfs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "machine_fixture.h"
#include "support/temp_dir.h"

namespace lockstep::fde {
namespace {

using testing::ArchiveFile;
using testing::makeArchive;

const std::vector<ArchiveFile> kInitramfsTools = {
    {"conf/initramfs.conf", "MODULES=most\n"},
    {"scripts/local-top/cryptroot", "#!/bin/sh\n"},
    {"cryptroot/crypttab", "root UUID=1 none luks\n"}};

TEST(Initramfs, KindIsReadFromTheImage) {
    struct Case {
        std::string name;
        bool microcode;
        std::vector<ArchiveFile> files;
        std::string filter;
        Compression compression;
        Builder builder;
        bool supported;
    };
    const std::vector<Case> cases = {
        {"gzip", true, kInitramfsTools, "gzip", Compression::Gzip, Builder::InitramfsTools, true},
        {"zstd", true, kInitramfsTools, "zstd", Compression::Zstd, Builder::InitramfsTools, true},
        {"xz", false, kInitramfsTools, "xz", Compression::Xz, Builder::InitramfsTools, true},
        {"lz4", true, kInitramfsTools, "lz4", Compression::Lz4, Builder::InitramfsTools, true},
        {"none", true, kInitramfsTools, "", Compression::None, Builder::InitramfsTools, true},
        {"dracut",
         false,
         {{"usr/lib/dracut/build-parameter.txt", ""}},
         "gzip",
         Compression::Gzip,
         Builder::Dracut,
         false},
        {"systemd",
         false,
         {{"init", "usr/lib/systemd/systemd", 0120777}, {"etc/initrd-release", ""}},
         "zstd",
         Compression::Zstd,
         Builder::SystemdBased,
         false},
        {"other",
         false,
         {{"init", "#!/bin/sh\n", 0100755}},
         "xz",
         Compression::Xz,
         Builder::Unknown,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> image;
        if (c.microcode) {
            image = makeArchive(
                {{"kernel", "", 040755}, {"kernel/x86/microcode/AuthenticAMD.bin", "ucode"}}, "");
        }
        const auto main = makeArchive(c.files, c.filter);
        image.insert(image.end(), main.begin(), main.end());
        const InitramfsInfo info = inspectInitramfs(image);
        EXPECT_EQ(info.problem, "");
        EXPECT_EQ(info.earlyArchives, c.microcode ? 1U : 0U);
        EXPECT_EQ(info.compression, c.compression);
        EXPECT_EQ(info.builder, c.builder);
        EXPECT_EQ(!unsupportedReason(info).has_value(), c.supported);
        if (c.supported) {
            EXPECT_EQ(info.cryptrootCrypttab, "root UUID=1 none luks\n");
        }
    }
}

TEST(Initramfs, DamagedImagesAreRefusedWithAReason) {
    auto truncated = makeArchive(kInitramfsTools, "gzip");
    truncated.resize(truncated.size() / 2);
    const std::vector<std::pair<std::vector<std::uint8_t>, std::string>> cases = {
        {{}, "no main archive"},
        {std::vector<std::uint8_t>(64, 0), "no main archive"},
        {{'M', 'Z', 0, 0}, "the main archive's compression is not recognised"},
        {{'0', '7', '0', '7', '0', '1', 'x'}, "a damaged uncompressed archive"},
        {truncated, "truncated gzip input"},
    };
    for (const auto& [image, problem] : cases) {
        const InitramfsInfo info = inspectInitramfs(image);
        EXPECT_THAT(info.problem, ::testing::HasSubstr(problem));
        EXPECT_TRUE(unsupportedReason(info));
    }
}

// mkinitramfs in a private mount namespace, with a kernel release of its
// own: an empty module folder, a kernel configuration, the machine's
// crypttab and cryptsetup-initramfs told to include itself.
std::optional<std::string> buildRealInitramfs(const std::filesystem::path& work,
                                              const std::string& crypttab) {
    using lockstep::testing::writeFile;
    for (const char* dir : {"usr-up", "usr-work", "etc-up", "etc-work", "boot"}) {
        std::filesystem::create_directories(work / dir);
    }
    writeFile(work / "crypttab", crypttab);
    writeFile(work / "build.sh",
              "set -e\nw=$1\nV=6.1.0-99-amd64\n"
              "mount -t overlay overlay -o lowerdir=/usr,upperdir=$w/usr-up,workdir=$w/usr-work "
              "/usr\n"
              "mount -t overlay overlay -o lowerdir=/etc,upperdir=$w/etc-up,workdir=$w/etc-work "
              "/etc\n"
              "mount --bind $w/boot /boot\n"
              "mkdir -p /usr/lib/modules/$V /etc/cryptsetup-initramfs\n"
              "touch /usr/lib/modules/$V/modules.order /usr/lib/modules/$V/modules.builtin\n"
              "printf 'CONFIG_RD_ZSTD=y\\nCONFIG_RD_GZIP=y\\n' >/boot/config-$V\n"
              "cp $w/crypttab /etc/crypttab\n"
              "echo CRYPTSETUP=y >/etc/cryptsetup-initramfs/conf-hook\n"
              "mkinitramfs -o $w/initrd.img $V >$w/build.log 2>&1\n");
    const std::string command = "unshare --mount --propagation private /bin/bash '" +
                                (work / "build.sh").string() + "' '" + work.string() + "'";
    if (std::system(command.c_str()) != 0) {
        return std::nullopt;
    }
    return lockstep::testing::readFile(work / "initrd.img");
}

TEST(Initramfs, RealInitramfsToolsImageIsArmed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mkinitramfs needs root for its mount namespace";
    }
    for (const char* needed : {"/usr/sbin/mkinitramfs",
                               "/usr/share/initramfs-tools/hooks/cryptroot", "/usr/bin/unshare"}) {
        if (!std::filesystem::exists(needed)) {
            GTEST_SKIP() << needed
                         << " is missing (initramfs-tools and cryptsetup-initramfs "
                            "are not installed)";
        }
    }
    testing::TestMachine machine({{"cryptroot", "disk pass", 2, "luks,initramfs"}});
    lockstep::testing::TempDir work;
    const std::string crypttab =
        "cryptroot UUID=" + machine.uuid("cryptroot") + " none luks,initramfs\n";
    const auto image = buildRealInitramfs(work.path(), crypttab);
    ASSERT_TRUE(image) << lockstep::testing::readFile(work / "build.log");
    const std::vector<std::uint8_t> bytes(image->begin(), image->end());
    const InitramfsInfo info = inspectInitramfs(bytes);
    EXPECT_EQ(info.builder, Builder::InitramfsTools);
    EXPECT_EQ(info.compression, Compression::Zstd);
    EXPECT_TRUE(info.hasCryptroot);
    EXPECT_EQ(info.cryptrootCrypttab, crypttab);

    machine.writeInitramfs(bytes);
    const auto armed = machine.run({"authrestart", "-delayminutes", "-1"},
                                   "");  // the terminal answers below
    EXPECT_NE(armed.exit, 0) << "no terminal answers: nothing to arm with";
    machine.terminal = {"alice", "disk pass"};
    const auto result = machine.run({"authrestart", "-delayminutes", "-1"});
    ASSERT_EQ(result.exit, 0) << result.err;
    const auto& loaded = *machine.kexec.initrd;
    ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), loaded.begin()));
    std::vector<newc::Entry> entries;
    ASSERT_TRUE(newc::read(loaded, (bytes.size() + 3) & ~std::size_t{3}, &entries));
    std::vector<std::string> listing;
    for (const auto& entry : entries) {
        listing.push_back(entry.name + " " + std::to_string(entry.mode) + " " +
                          std::to_string(entry.uid) + ":" + std::to_string(entry.gid) + " " +
                          (entry.name.ends_with(".key") ? "" : entry.contents));
    }
    EXPECT_EQ(listing, (std::vector<std::string>{
                           "lockstep " + std::to_string(040700) + " 0:0 ",
                           "lockstep/cryptroot.key " + std::to_string(0100400) + " 0:0 ",
                           "cryptroot/crypttab " + std::to_string(0100644) +
                               " 0:0 cryptroot UUID=" + machine.uuid("cryptroot") +
                               " /lockstep/cryptroot.key luks,initramfs,key-slot=0\n"}));
}

}  // namespace
}  // namespace lockstep::fde
