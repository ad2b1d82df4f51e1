// lockstepd in its sandbox with the tool at /usr/bin/fdesetup (recording
// what it would load instead of loading it): enrolment arms the restart with
// the account's password, and a password the disk refuses is reported.

#include <gtest/gtest.h>

#include "fdesetup/newc.h"
#include "machine_fixture.h"
#include "support/daemon_sandbox.h"
#include "support/temp_dir.h"

namespace lockstep::fde {
namespace {

namespace fs = std::filesystem;

TEST(DaemonWithTool, EnrolmentArmsAndAPasswordTheDiskRefusesIsReported) {
    if (const auto reason = lockstep::testing::DaemonSandbox::unavailableReason()) {
        GTEST_SKIP() << "sandbox unavailable: " << *reason;
    }
    struct Case {
        std::string diskPassphrase;
        std::string printed;
    };
    const std::vector<Case> cases = {
        {"correct horse", "alice ********\nSuccessfully authenticated with FileVault\n"},
        {"another passphrase", "alice ********\nFailed to authenticate with FileVault\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.diskPassphrase);
        lockstep::testing::DaemonSandbox sandbox;
        sandbox.accounts().addUser("alice", "correct horse", 501);
        sandbox.accounts().write();
        testing::TestMachine machine({{"cryptroot", c.diskPassphrase}});
        const fs::path root = sandbox.path() / "machine";
        fs::copy(machine.root(), root,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::copy_file(LOCKSTEP_FDESETUP_STANDIN, sandbox.path() / "usr-bin" / "fdesetup");
        const fs::path record = sandbox.path() / "kexec";
        const std::map<std::string, std::string> environment = {
            {"LOCKSTEP_STANDIN_MACHINE", root.string()},
            {"LOCKSTEP_STANDIN_RELEASE", testing::TestMachine::kRelease},
            {"LOCKSTEP_STANDIN_RECORD", record.string()}};

        const auto enrolled = sandbox.run(
            {"--set-user", "--user", "alice", "--password", "correct horse"}, environment);
        EXPECT_EQ(enrolled.exitCode, 0);
        EXPECT_EQ(enrolled.out, c.printed);
        const std::string initrd =
            lockstep::testing::readFile(fs::path(record.string() + ".initrd"));
        if (c.printed.find("Successfully") == std::string::npos) {
            EXPECT_EQ(initrd, "") << "nothing may be loaded";
            continue;
        }
        EXPECT_EQ(lockstep::testing::readFile(fs::path(record.string() + ".cmdline")),
                  testing::TestMachine::kCommandLine);
        const std::vector<std::uint8_t> loaded(initrd.begin(), initrd.end());
        const std::size_t padded = (machine.initramfs().size() + 3) & ~std::size_t{3};
        std::vector<newc::Entry> entries;
        ASSERT_TRUE(newc::read(loaded, padded, &entries));
        const auto key = std::find_if(entries.begin(), entries.end(), [](const auto& e) {
            return e.name == "lockstep/cryptroot.key";
        });
        ASSERT_NE(key, entries.end());
        EXPECT_EQ(key->contents, "correct horse");

        // The plain run arms again from the keychain.
        fs::remove(fs::path(record.string() + ".initrd"));
        const auto plain = sandbox.run({}, environment);
        EXPECT_EQ(plain.out, "Successfully authenticated with FileVault\n");
        EXPECT_TRUE(fs::exists(fs::path(record.string() + ".initrd")));
    }
}

}  // namespace
}  // namespace lockstep::fde
