// Reading initramfs images: early microcode archives, the main archive's
// compression and builder, the crypttab copy; and a real image made by
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

using testing::makeArchive;

TEST(Initramfs, KindIsReadFromTheImage) {
    const std::vector<testing::ArchiveFile> tools = {{"conf/initramfs.conf", "MODULES=most\n"},
                                                     {"scripts/local-top/cryptroot", ""},
                                                     {"cryptroot/crypttab", "root UUID=1\n"}};
    struct Case {
        std::string filter;  // and the name
        bool microcode;
        std::vector<testing::ArchiveFile> files;
        Compression compression;
        Builder builder;
    };
    for (const Case& c : std::vector<Case>{
             {"gzip", true, tools, Compression::Gzip, Builder::InitramfsTools},
             {"xz", false, tools, Compression::Xz, Builder::InitramfsTools},
             {"", true, tools, Compression::None, Builder::InitramfsTools},
             {"gzip",
              false,
              {{"usr/lib/dracut/build-parameter.txt", ""}},
              Compression::Gzip,
              Builder::Dracut},
             {"zstd",
              false,
              {{"init", "usr/lib/systemd/systemd", 0120777}, {"etc/initrd-release", ""}},
              Compression::Zstd,
              Builder::SystemdBased},
             {"xz",
              false,
              {{"init", "#!/bin/sh\n", 0100755}},
              Compression::Xz,
              Builder::Unknown}}) {
        std::vector<std::uint8_t> image;
        if (c.microcode) {
            image = makeArchive({{"kernel/x86/microcode/AuthenticAMD.bin", "ucode"}}, "");
        }
        const auto main = makeArchive(c.files, c.filter);
        image.insert(image.end(), main.begin(), main.end());
        const InitramfsInfo info = inspectInitramfs(image);
        const bool supported = c.builder == Builder::InitramfsTools;
        EXPECT_EQ(std::tuple(info.problem, info.earlyArchives, info.compression, info.builder,
                             !unsupportedReason(info), info.cryptrootCrypttab.value_or("")),
                  std::tuple("", c.microcode ? 1U : 0U, c.compression, c.builder, supported,
                             std::string(supported ? "root UUID=1\n" : "")))
            << c.filter << " " << c.files[0].name;
    }
    auto truncated = makeArchive(tools, "gzip");
    truncated.resize(truncated.size() / 2);
    for (const auto& [image, problem] :
         std::vector<std::pair<std::vector<std::uint8_t>, std::string>>{
             {std::vector<std::uint8_t>(64, 0), "no main archive"},
             {{'M', 'Z', 0, 0}, "the main archive's compression is not recognised"},
             {{'0', '7', '0', '7', '0', '1', 'x'}, "a damaged uncompressed archive"},
             {truncated, "truncated gzip input"}}) {
        const InitramfsInfo info = inspectInitramfs(image);
        EXPECT_THAT(info.problem, ::testing::HasSubstr(problem));
        EXPECT_TRUE(unsupportedReason(info));
    }
}

// mkinitramfs, in a private mount namespace with a kernel release of its own,
// builds an image for the machine's crypttab; arming appends to it.
TEST(Initramfs, RealInitramfsToolsImageIsArmed) {
    for (const char* needed :
         {"/usr/sbin/mkinitramfs", "/usr/share/initramfs-tools/hooks/cryptroot"}) {
        if (::geteuid() != 0 || !std::filesystem::exists(needed)) {
            GTEST_SKIP() << "needs root and " << needed
                         << " (initramfs-tools and cryptsetup-initramfs)";
        }
    }
    testing::TestMachine machine({{"cryptroot", "disk pass", 2, "luks,initramfs"}});
    lockstep::testing::TempDir work;
    const std::string crypttab =
        "cryptroot UUID=" + machine.uuid("cryptroot") + " none luks,initramfs\n";
    lockstep::testing::writeFile(work / "crypttab", crypttab);
    lockstep::testing::writeFile(
        work / "build.sh",
        "set -e\nw=$1\nV=6.1.0-99-amd64\nmkdir -p $w/u $w/uw $w/e $w/ew $w/boot\n"
        "mount -t overlay overlay -o lowerdir=/usr,upperdir=$w/u,workdir=$w/uw /usr\n"
        "mount -t overlay overlay -o lowerdir=/etc,upperdir=$w/e,workdir=$w/ew /etc\n"
        "mount --bind $w/boot /boot\n"
        "mkdir -p /usr/lib/modules/$V /etc/cryptsetup-initramfs\n"
        "touch /usr/lib/modules/$V/modules.order /usr/lib/modules/$V/modules.builtin\n"
        "printf 'CONFIG_RD_ZSTD=y\\nCONFIG_RD_GZIP=y\\n' >/boot/config-$V\n"
        "cp $w/crypttab /etc/crypttab\n"
        "echo CRYPTSETUP=y >/etc/cryptsetup-initramfs/conf-hook\n"
        "mkinitramfs -o $w/initrd.img $V >$w/build.log 2>&1\n");
    const std::string command = "unshare --mount --propagation private /bin/bash '" +
                                (work / "build.sh").string() + "' '" + work.path().string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << lockstep::testing::readFile(work / "build.log");
    const std::string image = lockstep::testing::readFile(work / "initrd.img");
    const std::vector<std::uint8_t> bytes(image.begin(), image.end());
    const InitramfsInfo info = inspectInitramfs(bytes);
    EXPECT_EQ(std::tuple(info.builder, info.compression, info.cryptrootCrypttab),
              std::tuple(Builder::InitramfsTools, Compression::Zstd, crypttab));

    machine.writeInitramfs(bytes);
    machine.terminal = {"alice", "disk pass"};
    ASSERT_EQ(machine.run({"authrestart", "-delayminutes", "-1"}).exit, 0);
    const auto entries = testing::appended(bytes, *machine.kexec.initrd);
    ASSERT_EQ(entries.size(), 3U);
    EXPECT_EQ(entries[2].contents, "cryptroot UUID=" + machine.uuid("cryptroot") +
                                       " /lockstep/cryptroot.key luks,initramfs,key-slot=0\n");
}

}  // namespace
}  // namespace lockstep::fde
