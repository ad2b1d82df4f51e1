// lockstepd in its sandbox with the tool at /usr/bin/fdesetup, recording what
// it would load instead of loading it.

#include <gtest/gtest.h>

#include "fdesetup/newc.h"
#include "machine_fixture.h"
#include "support/daemon_sandbox.h"
#include "support/temp_dir.h"

namespace lockstep::fde {
namespace {

namespace fs = std::filesystem;
using lockstep::testing::readFile;

TEST(DaemonWithTool, EnrolmentArmsAndAPasswordTheDiskRefusesIsReported) {
    if (const auto reason = lockstep::testing::DaemonSandbox::unavailableReason()) {
        GTEST_SKIP() << "sandbox unavailable: " << *reason;
    }
    for (const std::string disk : {"correct horse", "another passphrase"}) {
        SCOPED_TRACE(disk);
        lockstep::testing::DaemonSandbox sandbox;
        sandbox.accounts().addUser("alice", "correct horse", 501);
        sandbox.accounts().write();
        testing::TestMachine machine({{"cryptroot", disk}});
        const fs::path root = sandbox.path() / "machine";
        fs::copy(machine.root(), root,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::copy_file(LOCKSTEP_FDESETUP_STANDIN, sandbox.path() / "usr-bin" / "fdesetup");
        const std::string record = (sandbox.path() / "kexec").string();
        const std::map<std::string, std::string> environment = {
            {"LOCKSTEP_STANDIN_MACHINE", root.string()},
            {"LOCKSTEP_STANDIN_RELEASE", testing::TestMachine::kRelease},
            {"LOCKSTEP_STANDIN_RECORD", record}};

        const auto enrolled = sandbox.run(
            {"--set-user", "--user", "alice", "--password", "correct horse"}, environment);
        EXPECT_EQ(enrolled.exitCode, 0);
        const bool opens = disk == "correct horse";
        EXPECT_EQ(enrolled.out, opens
                                    ? "alice ********\nSuccessfully authenticated with FileVault\n"
                                    : "alice ********\nFailed to authenticate with FileVault\n");
        const std::string initrd = readFile(record + ".initrd");
        if (!opens) {
            EXPECT_EQ(initrd, "") << "nothing may be loaded";
            continue;
        }
        EXPECT_EQ(readFile(record + ".cmdline"), testing::TestMachine::kCommandLine);
        const auto entries = testing::appended(machine.initramfs(), {initrd.begin(), initrd.end()});
        ASSERT_EQ(entries.size(), 3U);
        EXPECT_EQ(std::tie(entries[1].name, entries[1].contents),
                  std::tuple("lockstep/cryptroot.key", "correct horse"));

        // The plain run arms again from the keychain.
        fs::remove(record + ".initrd");
        EXPECT_EQ(sandbox.run({}, environment).out, "Successfully authenticated with FileVault\n");
        EXPECT_TRUE(fs::exists(record + ".initrd"));
    }
}

}  // namespace
}  // namespace lockstep::fde
