// The tool's commands on a machine in a temporary folder: arming with the
// daemon's own request, what reaches kexec, the volume model, enabling and
// disabling accounts, and the command line.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "fdesetup/luks.h"
#include "fdesetup/newc.h"
#include "filevault/fdesetup_helper.h"
#include "machine_fixture.h"
#include "support/temp_dir.h"

namespace lockstep::fde {
namespace {

using ::testing::HasSubstr;
using testing::TestMachine;
using testing::TestVolume;

const std::vector<std::string> kArm = {"authrestart", "-delayminutes", "-1", "-inputplist"};

std::string request(std::string_view user, std::string_view password) {
    const SecretBytes bytes = FDESetupHelper::buildRequest(user, password);
    return {bytes.bytes().begin(), bytes.bytes().end()};
}

std::string escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string addRequest(std::string_view passphrase, std::string_view user,
                       std::string_view password) {
    return "<plist><dict><key>Password</key><string>" + escaped(passphrase) +
           "</string><key>AdditionalUsers</key><array><dict><key>Username</key><string>" +
           escaped(user) + "</string><key>Password</key><string>" + escaped(password) +
           "</string></dict></array></dict></plist>";
}

// The archive appended to the initramfs that was loaded.
std::vector<newc::Entry> appended(const TestMachine& machine) {
    const std::vector<std::uint8_t> original = machine.initramfs();
    const auto& loaded = *machine.kexec.initrd;
    EXPECT_TRUE(std::equal(original.begin(), original.end(), loaded.begin()));
    const std::size_t padded = (original.size() + 3) & ~std::size_t{3};
    for (std::size_t i = original.size(); i < padded; ++i) {
        EXPECT_EQ(loaded[i], 0) << "padding byte " << i;
    }
    std::vector<newc::Entry> entries;
    const auto end = newc::read(loaded, padded, &entries);
    EXPECT_EQ(end, loaded.size());
    return entries;
}

const newc::Entry* find(const std::vector<newc::Entry>& entries, std::string_view name) {
    for (const auto& entry : entries) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

struct ArmCase {
    std::string name;
    std::vector<TestVolume> volumes;
    // Accounts enabled on every volume before arming: name and password.
    std::vector<std::pair<std::string, std::string>> enabled;
    std::string user;
    std::string password;
    // Empty: armed; otherwise a piece of the one-line error.
    std::string refusal;
};

class ArmTest : public ::testing::TestWithParam<ArmCase> {};

TEST_P(ArmTest, ArmsOnlyWhenThePasswordOpensEveryVolume) {
    const ArmCase& c = GetParam();
    TestMachine machine(c.volumes);
    for (const auto& [user, password] : c.enabled) {
        machine.accounts().addUser(user, password, 501 + static_cast<std::uint32_t>(user.size()));
        machine.accounts().write();
        const auto added = machine.run({"add", "-usertoadd", user, "-inputplist"},
                                       addRequest(c.volumes[0].passphrase, user, password));
        ASSERT_EQ(added.exit, 0) << added.err;
    }
    const auto result = machine.run(kArm, request(c.user, c.password));
    if (!c.refusal.empty()) {
        EXPECT_EQ(result.exit, 1);
        EXPECT_THAT(result.err, HasSubstr(c.refusal));
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_FALSE(machine.kexec.initrd) << "nothing may be loaded";
        return;
    }
    ASSERT_EQ(result.exit, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(machine.kexec.kernel, "MZ a kernel image");
    EXPECT_EQ(machine.kexec.commandLine, TestMachine::kCommandLine);
    EXPECT_EQ(machine.kexec.seals, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
    EXPECT_TRUE(machine.commands.empty()) << "-delayminutes -1 only arms";

    const auto entries = appended(machine);
    const auto* folder = find(entries, "lockstep");
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->mode, 040700U);
    std::string crypttab;
    for (const TestVolume& volume : c.volumes) {
        const auto* key = find(entries, "lockstep/" + volume.name + ".key");
        ASSERT_NE(key, nullptr) << volume.name;
        EXPECT_EQ(key->mode, 0100400U);
        EXPECT_EQ(key->uid, 0U);
        EXPECT_EQ(key->gid, 0U);
        EXPECT_EQ(key->contents, c.password);
        std::string problem;
        const auto luks = LuksVolume::open(machine.image(volume.name), &problem);
        const auto slot = luks->openingKeyslot(testing::secret(c.password));
        crypttab += volume.name + " UUID=" + machine.uuid(volume.name) + " /lockstep/" +
                    volume.name + ".key " + volume.options + ",key-slot=" + std::to_string(*slot) +
                    "\n";
    }
    const auto* copy = find(entries, "cryptroot/crypttab");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->mode, 0100644U);
    EXPECT_EQ(copy->contents, crypttab);
    ASSERT_EQ(machine.logged.size(), c.enabled.size() * c.volumes.size() + 1);
    EXPECT_THAT(machine.logged.back(),
                HasSubstr("authenticated restart armed for " + c.user + " at "));
    EXPECT_THAT(machine.logged.back(), HasSubstr("; kernel /boot/vmlinuz-6.1.0-99-amd64;"));
    EXPECT_THAT(machine.logged.back(), ::testing::Not(HasSubstr(c.password)));
}

const TestVolume kRoot{"cryptroot", "disk pass"};
const TestVolume kData{"cryptdata", "disk pass", 2, "luks", false};

INSTANTIATE_TEST_SUITE_P(
    Cases, ArmTest,
    ::testing::Values(
        ArmCase{"NoEnabledAccountAnyKeyslot", {kRoot}, {}, "alice", "disk pass", ""},
        ArmCase{"WrongPassword", {kRoot}, {}, "alice", "disk pas", "Failed to authenticate"},
        ArmCase{"EnabledAccountsOwnPassword",
                {kRoot},
                {{"alice", "a&<'\"pw"}},
                "alice",
                "a&<'\"pw",
                ""},
        ArmCase{"EnabledAccountOtherKeyslotsPassword",
                {kRoot},
                {{"alice", "apw"}},
                "alice",
                "disk pass",
                "the password does not open cryptroot"},
        ArmCase{"AccountNotEnabledWhereOthersAre",
                {kRoot},
                {{"alice", "apw"}},
                "bob",
                "apw",
                "bob is not enabled on cryptroot"},
        ArmCase{"TwoVolumes", {kRoot, kData}, {}, "alice", "disk pass", ""},
        ArmCase{"SecondVolumeDoesNotOpen",
                {kRoot, TestVolume{"cryptdata", "other", 2, "luks", false}},
                {},
                "alice",
                "disk pass",
                "the password does not open cryptdata"},
        ArmCase{
            "Luks1Root", {TestVolume{"cryptroot", "old pass", 1}}, {}, "alice", "old pass", ""}),
    [](const auto& param) { return param.param.name; });

// gtest prints a case by its name.
[[maybe_unused]] void PrintTo(const ArmCase& c, std::ostream* out) {
    *out << c.name;
}

TEST(Arm, RefusesWhatItCannotTrustOrLoad) {
    struct Case {
        std::string name;
        void (*prepare)(TestMachine&);
        std::string refusal;
    };
    const std::vector<Case> cases = {
        {"RootNotEncrypted", [](TestMachine& m) { m.setRootDevice("8:1"); },
         "the root file system is not on an encrypted volume"},
        {"InitramfsWritableByOthers",
         [](TestMachine& m) {
             std::filesystem::permissions(m.root() / "boot/initrd.img-6.1.0-99-amd64",
                                          std::filesystem::perms(0666));
         },
         "boot/initrd.img-6.1.0-99-amd64 is writable by others than root"},
        {"BootWritableByOthers",
         [](TestMachine& m) {
             std::filesystem::permissions(m.root() / "boot", std::filesystem::perms(0777));
         },
         "is writable by others than root"},
        {"CrypttabWritableByGroup",
         [](TestMachine& m) {
             std::filesystem::permissions(m.root() / "etc/crypttab", std::filesystem::perms(0664));
         },
         "etc/crypttab is writable by others than root"},
        {"KernelMissing",
         [](TestMachine& m) { std::filesystem::remove(m.root() / "boot/vmlinuz-6.1.0-99-amd64"); },
         "vmlinuz-6.1.0-99-amd64 cannot be read"},
        {"NoKexec",
         [](TestMachine& m) { std::filesystem::remove(m.root() / "sys/kernel/kexec_loaded"); },
         "the running kernel cannot load another kernel"},
        {"DracutInitramfs",
         [](TestMachine& m) {
             m.writeInitramfs(testing::makeArchive(
                 {{"usr/lib/dracut/modules.txt", "crypt\n"}, {"init", "x", 0100755}}, "gzip"));
         },
         "dracut, which is not supported"},
        {"InitramfsWithoutCryptsetup",
         [](TestMachine& m) {
             m.writeInitramfs(testing::makeArchive({{"conf/initramfs.conf", ""}}, "zstd"));
         },
         "cryptsetup-initramfs is not in it"},
        {"RootVolumeNotInTheInitramfs",
         [](TestMachine& m) {
             m.writeInitramfs(testing::makeArchive({{"conf/initramfs.conf", ""},
                                                    {"scripts/local-top/cryptroot", ""},
                                                    {"cryptroot/crypttab", ""}},
                                                   "zstd"));
         },
         "the initramfs does not unlock cryptroot"},
        {"KexecRefused", [](TestMachine& m) { m.kexec.answer = EPERM; },
         "the kernel refused to load the restart kernel (lockdown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestMachine machine({kRoot});
        c.prepare(machine);
        const auto result = machine.run(kArm, request("alice", "disk pass"));
        EXPECT_EQ(result.exit, 1);
        EXPECT_THAT(result.err, HasSubstr(c.refusal));
        EXPECT_FALSE(machine.kexec.initrd);
        EXPECT_TRUE(machine.logged.empty());
        const auto supported = machine.run({"supportsauthrestart", "-verbose"});
        if (c.name != "KexecRefused") {
            EXPECT_EQ(supported.out.substr(0, 6), "false\n");
            EXPECT_THAT(supported.out, HasSubstr(c.refusal));
        }
    }
}

TEST(Arm, DelayStartsOrSchedulesTheRestart) {
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::vector<std::string>> commands;
    };
    const std::vector<Case> cases = {
        {{"authrestart", "-inputplist"}, {{"/usr/bin/systemctl", "kexec"}}},
        {{"authrestart", "-delayminutes", "0", "-inputplist"}, {{"/usr/bin/systemctl", "kexec"}}},
        {{"authrestart", "-inputplist", "-delayminutes", "5"},
         {{"/usr/sbin/shutdown", "-r", "+5"}}},
        {kArm, {}},
    };
    for (const Case& c : cases) {
        TestMachine machine({kRoot});
        const auto result = machine.run(c.arguments, request("alice", "disk pass"));
        EXPECT_EQ(result.exit, 0) << result.err;
        EXPECT_EQ(machine.commands, c.commands);
    }
}

TEST(Arm, TerminalAndEveryInitramfsCompression) {
    for (const std::string filter : {"gzip", "zstd", "xz", "lz4", ""}) {
        SCOPED_TRACE(filter);
        TestMachine machine({kRoot});
        machine.writeInitramfs(filter);
        machine.terminal = {"alice", "disk pass"};
        const auto result = machine.run({"authrestart", "-delayminutes", "-1"});
        ASSERT_EQ(result.exit, 0) << result.err;
        EXPECT_NE(find(appended(machine), "lockstep/cryptroot.key"), nullptr);
    }
}

TEST(Arm, RequestThatIsNotTheDaemonsIsRefused) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "the input is not a property list dictionary"},
        {"<plist><array/></plist>", "the input is not a property list dictionary"},
        {"<plist><dict><key>Username</key><string>alice</string></dict></plist>",
         "needs Username and Password"},
        {std::string(70000, ' '), "cannot be read"},
    };
    for (const auto& [input, refusal] : cases) {
        TestMachine machine({kRoot});
        const auto result = machine.run(kArm, input);
        EXPECT_EQ(result.exit, 1);
        EXPECT_THAT(result.err, HasSubstr(refusal));
    }
}

TEST(Status, ReportsTheDiskVolumesAndArming) {
    TestMachine machine({kRoot, kData});
    const std::string volumes =
        "Encrypted volume: cryptroot (UUID=" + machine.uuid("cryptroot") +
        ", root file system)\nEncrypted volume: cryptdata (UUID=" + machine.uuid("cryptdata") +
        ")\n";
    EXPECT_EQ(machine.run({"status"}).out,
              "FileVault is On.\n" + volumes + "Authenticated restart: not armed.\n");
    lockstep::testing::writeFile(machine.root() / "sys/kernel/kexec_loaded", "1\n");
    EXPECT_EQ(machine.run({"status"}).out,
              "FileVault is On.\n" + volumes + "Authenticated restart: armed.\n");
    EXPECT_EQ(machine.run({"isactive"}).exit, 0);
    EXPECT_EQ(machine.run({"supportsauthrestart"}).out, "true\n");

    // systemd-shutdown's hook boots the armed kernel, and only that.
    const auto restart = machine.run({"restartarmed"});
    EXPECT_EQ(machine.kexec.executed, 1);
    EXPECT_THAT(restart.err, HasSubstr("the kernel refused to boot the armed kernel"));
    lockstep::testing::writeFile(machine.root() / "sys/kernel/kexec_loaded", "0\n");
    EXPECT_THAT(machine.run({"restartarmed"}).err, HasSubstr("no authenticated restart is armed"));
    EXPECT_EQ(machine.kexec.executed, 1);

    machine.setRootDevice("8:1");
    EXPECT_EQ(machine.run({"status"}).out.substr(0, 18), "FileVault is Off.\n");
    const auto inactive = machine.run({"isactive"});
    EXPECT_EQ(inactive.exit, 1);
    EXPECT_EQ(inactive.out, "false\n");
}

TEST(Accounts, AddListRemove) {
    TestMachine machine({kRoot, kData});
    machine.accounts().addUser("alice", "alice pw", 501);
    machine.accounts().addUser("bob", "bob pw", 502);
    machine.accounts().write();

    struct Step {
        std::vector<std::string> arguments;
        std::string input;
        std::vector<std::string> terminal;
        int exit;
        std::string output;  // standard output, or a piece of the error
    };
    const std::vector<Step> steps = {
        {{"list"}, "", {}, 0, ""},
        {{"add", "-usertoadd", "alice", "-inputplist"},
         addRequest("disk pass", "alice", "wrong"),
         {},
         1,
         "alice: the password is not correct."},
        {{"add", "-usertoadd", "carol", "-inputplist"},
         addRequest("disk pass", "carol", "x"),
         {},
         1,
         "carol: there is no such local account."},
        {{"add", "-usertoadd", "alice", "-inputplist"},
         addRequest("not it", "alice", "alice pw"),
         {},
         1,
         "the passphrase does not open cryptroot."},
        {{"add", "-usertoadd", "alice", "-inputplist"},
         addRequest("disk pass", "alice", "alice pw"),
         {},
         0,
         ""},
        {{"add", "-usertoadd", "bob"}, "", {"alice pw", "bob pw"}, 0, ""},
        {{"list"}, "", {}, 0, "alice,1\nbob,2\n"},
        {{"remove", "-user", "carol"}, "", {}, 1, "carol is not enabled."},
        {{"remove", "-user", "alice"}, "", {}, 0, ""},
        {{"list"}, "", {}, 0, "bob,2\n"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(::testing::PrintToString(step.arguments));
        machine.terminal = step.terminal;
        const auto result = machine.run(step.arguments, step.input);
        EXPECT_EQ(result.exit, step.exit) << result.err;
        if (step.exit == 0) {
            EXPECT_EQ(result.out, step.output);
        } else {
            EXPECT_THAT(result.err, HasSubstr(step.output));
        }
    }
    // Nobody but bob opens the volumes now: his is the last keyslot.
    for (const std::string name : {"cryptroot", "cryptdata"}) {
        testing::destroyKeyslot(machine.image(name), 0);
    }
    const auto last = machine.run({"remove", "-user", "bob"});
    EXPECT_EQ(last.exit, 1);
    EXPECT_THAT(last.err, HasSubstr("it is the last keyslot that opens the volume."));
    EXPECT_EQ(machine.run({"list"}).out, "bob,2\n");
}

TEST(CommandLine, UsageErrorsHelpAndRoot) {
    TestMachine machine({kRoot});
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{}, 64},
        {{"bogus"}, 64},
        {{"-bogus"}, 64},
        {{"authrestart", "-delayminutes"}, 64},
        {{"authrestart", "-delayminutes", "soon"}, 64},
        {{"authrestart", "-delayminutes", "-2"}, 64},
        {{"authrestart", "-usertoadd", "x"}, 64},
        {{"remove"}, 64},
        {{"add"}, 64},
        {{"status", "extra"}, 64},
        {{"-h"}, 0},
        {{"status", "--help"}, 0},
    };
    for (const auto& [arguments, exit] : cases) {
        const auto result = machine.run(arguments);
        EXPECT_EQ(result.exit, exit) << ::testing::PrintToString(arguments);
        EXPECT_THAT(exit == 0 ? result.out : result.err, HasSubstr("Usage: fdesetup"));
    }
}

}  // namespace
}  // namespace lockstep::fde
