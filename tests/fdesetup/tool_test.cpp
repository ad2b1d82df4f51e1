// The tool's commands on a machine in a temporary folder: arming with the
// daemon's own request, what reaches kexec, enabling accounts, status and
// the command line.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

#include "fdesetup/luks.h"
#include "filevault/fdesetup_helper.h"
#include "machine_fixture.h"
#include "support/temp_dir.h"

namespace lockstep::fde {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::TestMachine;
using testing::TestVolume;

const std::vector<std::string> kArm = {"authrestart", "-delayminutes", "-1", "-inputplist"};

std::string request(std::string_view user, std::string_view password) {
    const SecretBytes bytes = FDESetupHelper::buildRequest(user, password);
    return {bytes.bytes().begin(), bytes.bytes().end()};
}

std::string addRequest(const std::string& passphrase, const std::string& user,
                       const std::string& password) {
    return "<plist><dict><key>Password</key><string>" + passphrase +
           "</string><key>AdditionalUsers</key><array><dict><key>Username</key><string>" + user +
           "</string><key>Password</key><string>" + password +
           "</string></dict></array></dict></plist>";
}

struct ArmCase {
    std::string name;
    std::vector<TestVolume> volumes;
    std::vector<std::string> enabled;  // accounts enabled first, password "<name> pw"
    std::string user;
    std::string password;
    std::string refusal;  // empty: armed
};

class ArmTest : public ::testing::TestWithParam<ArmCase> {};

// Armed, the loaded initramfs is the machine's own followed by an archive
// holding each volume's key (the password) for root alone and a crypttab
// that names it and the keyslot it opens.
TEST_P(ArmTest, ArmsOnlyWhenThePasswordOpensEveryVolume) {
    const ArmCase& c = GetParam();
    TestMachine machine(c.volumes);
    for (const std::string& user : c.enabled) {
        machine.accounts().addUser(user, user + " pw",
                                   501 + static_cast<std::uint32_t>(user.size()));
        machine.accounts().write();
        machine.terminal = {c.volumes[0].passphrase, user + " pw"};
        ASSERT_EQ(machine.run({"add", "-usertoadd", user}).exit, 0);
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

    std::vector<std::string> expected = {"lockstep 40700 0:0 "};
    std::string crypttab;
    for (const TestVolume& volume : c.volumes) {
        expected.push_back("lockstep/" + volume.name + ".key 100400 0:0 " + c.password);
        std::string problem;
        const auto slot = LuksVolume::open(machine.image(volume.name), &problem)
                              ->openingKeyslot(testing::secret(c.password));
        crypttab += volume.name + " UUID=" + machine.uuid(volume.name) + " /lockstep/" +
                    volume.name + ".key " + volume.options + ",key-slot=" + std::to_string(*slot) +
                    "\n";
    }
    expected.push_back("cryptroot/crypttab 100644 0:0 " + crypttab);
    std::vector<std::string> listing;
    for (const auto& e : testing::appended(machine.initramfs(), *machine.kexec.initrd)) {
        std::ostringstream line;
        line << e.name << " " << std::oct << e.mode << std::dec << " " << e.uid << ":" << e.gid
             << " " << e.contents;
        listing.push_back(line.str());
    }
    EXPECT_EQ(listing, expected);
    ASSERT_EQ(machine.logged.size(),
              c.enabled.size() * c.volumes.size() + 1);  // each add, the arming
    EXPECT_THAT(machine.logged.back(),
                HasSubstr("authenticated restart armed for " + c.user + " at "));
    EXPECT_THAT(machine.logged.back(), HasSubstr("; kernel /boot/vmlinuz-6.1.0-99-amd64;"));
    EXPECT_THAT(machine.logged.back(), ::testing::Not(HasSubstr(c.password)));
}

const TestVolume kRoot{"cryptroot", "disk pass"};

INSTANTIATE_TEST_SUITE_P(
    Cases, ArmTest,
    ::testing::Values(
        ArmCase{"NoEnabledAccountAnyKeyslot", {kRoot}, {}, "alice", "disk pass", ""},
        ArmCase{"WrongPassword", {kRoot}, {}, "alice", "disk pas", "Failed to authenticate"},
        // The name gives a password that XML must escape.
        ArmCase{"EnabledAccountsOwnPassword", {kRoot}, {"a&<'\""}, "a&<'\"", "a&<'\" pw", ""},
        ArmCase{"EnabledAccountOtherKeyslotsPassword",
                {kRoot},
                {"alice"},
                "alice",
                "disk pass",
                "the password does not open cryptroot"},
        ArmCase{"AccountNotEnabledWhereOthersAre",
                {kRoot},
                {"alice"},
                "bob",
                "alice pw",
                "bob is not enabled on cryptroot"},
        ArmCase{"RootAndLuks1DataVolume",
                {kRoot, TestVolume{"cryptdata", "disk pass", 1, "luks", false}},
                {},
                "alice",
                "disk pass",
                ""},
        ArmCase{"SecondVolumeDoesNotOpen",
                {kRoot, TestVolume{"cryptdata", "other", 2, "luks", false}},
                {},
                "alice",
                "disk pass",
                "the password does not open cryptdata"}),
    [](const auto& param) { return param.param.name; });

[[maybe_unused]] void PrintTo(const ArmCase& c, std::ostream* out) {
    *out << c.name;
}

// Refused before anything is loaded, and reported by supportsauthrestart.
TEST(Arm, RefusesWhatItCannotTrustOrLoad) {
    const auto chmod = [](const char* file, int mode) {
        return [=](TestMachine& m) { fs::permissions(m.root() / file, fs::perms(mode)); };
    };
    const auto initramfs = [](std::vector<testing::ArchiveFile> files) {
        return [=](TestMachine& m) { m.writeInitramfs(testing::makeArchive(files, "gzip")); };
    };
    const std::vector<std::tuple<std::string, std::function<void(TestMachine&)>, std::string>>
        cases = {
            {"RootNotEncrypted", [](TestMachine& m) { m.setRootDevice("8:1"); },
             "the root file system is not on an encrypted volume"},
            {"InitramfsWritableByOthers", chmod("boot/initrd.img-6.1.0-99-amd64", 0666),
             "boot/initrd.img-6.1.0-99-amd64 is writable by others than root"},
            {"BootWritableByOthers", chmod("boot", 0777), "is writable by others than root"},
            {"CrypttabWritableByGroup", chmod("etc/crypttab", 0664),
             "etc/crypttab is writable by others than root"},
            {"KernelMissing",
             [](TestMachine& m) { fs::remove(m.root() / "boot/vmlinuz-6.1.0-99-amd64"); },
             "vmlinuz-6.1.0-99-amd64 cannot be read"},
            {"NoKexec", [](TestMachine& m) { fs::remove(m.root() / "sys/kernel/kexec_loaded"); },
             "the running kernel cannot load another kernel"},
            {"DracutInitramfs", initramfs({{"usr/lib/dracut/modules.txt", "crypt\n"}}),
             "dracut, which is not supported"},
            {"InitramfsWithoutCryptsetup", initramfs({{"conf/initramfs.conf", ""}}),
             "cryptsetup-initramfs is not in it"},
            {"RootVolumeNotInTheInitramfs",
             initramfs({{"conf/initramfs.conf", ""},
                        {"scripts/local-top/cryptroot", ""},
                        {"cryptroot/crypttab", ""}}),
             "the initramfs does not unlock cryptroot"},
            {"KexecRefused", [](TestMachine& m) { m.kexec.answer = EPERM; },
             "the kernel refused to load the restart kernel (lockdown"},
        };
    for (const auto& [name, prepare, refusal] : cases) {
        SCOPED_TRACE(name);
        TestMachine machine({kRoot});
        prepare(machine);
        const auto result = machine.run(kArm, request("alice", "disk pass"));
        EXPECT_EQ(result.exit, 1);
        EXPECT_THAT(result.err, HasSubstr(refusal));
        EXPECT_FALSE(machine.kexec.initrd);
        EXPECT_TRUE(machine.logged.empty());
        if (name != "KexecRefused") {
            EXPECT_THAT(machine.run({"supportsauthrestart", "-verbose"}).out,
                        ::testing::AllOf(::testing::StartsWith("false\n"), HasSubstr(refusal)));
        }
    }
}

TEST(Arm, RequestsAndDelays) {
    TestMachine machine({kRoot});
    for (const auto& [input, refusal] : std::vector<std::pair<std::string, std::string>>{
             {"<plist><array/></plist>", "the input is not a property list dictionary"},
             {"<plist><dict><key>Username</key><string>alice</string></dict></plist>",
              "needs Username and Password"},
             {std::string(70000, ' '), "cannot be read"}}) {
        EXPECT_THAT(machine.run(kArm, input).err, HasSubstr(refusal));
    }
    // Without a delay the restart starts at once; with one it is scheduled.
    // Without -inputplist the terminal is asked.
    machine.terminal = {"alice", "disk pass"};
    EXPECT_EQ(machine.run({"authrestart"}).exit, 0);
    EXPECT_EQ(machine
                  .run({"authrestart", "-inputplist", "-delayminutes", "5"},
                       request("alice", "disk pass"))
                  .exit,
              0);
    EXPECT_EQ(machine.commands,
              (std::vector<std::vector<std::string>>{{"/usr/bin/systemctl", "kexec"},
                                                     {"/usr/sbin/shutdown", "-r", "+5"}}));
}

TEST(Status, ReportsTheDiskVolumesAndArming) {
    TestMachine machine({kRoot, {"cryptdata", "disk pass", 2, "luks", false}});
    const std::string volumes =
        "FileVault is On.\nEncrypted volume: cryptroot (UUID=" + machine.uuid("cryptroot") +
        ", root file system)\nEncrypted volume: cryptdata (UUID=" + machine.uuid("cryptdata") +
        ")\n";
    EXPECT_EQ(machine.run({"status"}).out, volumes + "Authenticated restart: not armed.\n");
    EXPECT_THAT(machine.run({"restartarmed"}).err, HasSubstr("no authenticated restart is armed"));
    lockstep::testing::writeFile(machine.root() / "sys/kernel/kexec_loaded", "1\n");
    EXPECT_EQ(machine.run({"status"}).out, volumes + "Authenticated restart: armed.\n");
    EXPECT_EQ(machine.run({"supportsauthrestart"}).out, "true\n");
    // systemd-shutdown's hook boots the armed kernel.
    EXPECT_THAT(machine.run({"restartarmed"}).err,
                HasSubstr("the kernel refused to boot the armed kernel"));
    EXPECT_EQ(machine.kexec.executed, 1);
    EXPECT_EQ(machine.run({"isactive"}).exit, 0);
    machine.setRootDevice("8:1");
    EXPECT_THAT(machine.run({"status"}).out, ::testing::StartsWith("FileVault is Off.\n"));
    const auto inactive = machine.run({"isactive"});
    EXPECT_EQ(std::tuple(inactive.exit, inactive.out), std::tuple(1, "false\n"));
}

TEST(Accounts, AddListRemove) {
    TestMachine machine({kRoot, {"cryptdata", "disk pass", 2, "luks", false}});
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
    const std::vector<std::string> addAlice = {"add", "-usertoadd", "alice", "-inputplist"};
    for (const Step& step :
         std::vector<Step>{{addAlice,
                            addRequest("disk pass", "alice", "wrong"),
                            {},
                            1,
                            "alice: the password is not correct."},
                           {{"add", "-usertoadd", "carol", "-inputplist"},
                            addRequest("disk pass", "carol", "x"),
                            {},
                            1,
                            "carol: there is no such local account."},
                           {addAlice,
                            addRequest("not it", "alice", "alice pw"),
                            {},
                            1,
                            "the passphrase does not open cryptroot."},
                           {addAlice, addRequest("disk pass", "alice", "alice pw"), {}, 0, ""},
                           {{"add", "-usertoadd", "bob"}, "", {"alice pw", "bob pw"}, 0, ""},
                           {{"list"}, "", {}, 0, "alice,1\nbob,2\n"},
                           {{"remove", "-user", "carol"}, "", {}, 1, "carol is not enabled."},
                           {{"remove", "-user", "alice"}, "", {}, 0, ""},
                           {{"list"}, "", {}, 0, "bob,2\n"}}) {
        SCOPED_TRACE(::testing::PrintToString(step.arguments));
        machine.terminal = step.terminal;
        const auto result = machine.run(step.arguments, step.input);
        EXPECT_EQ(result.exit, step.exit) << result.err;
        EXPECT_THAT(step.exit == 0 ? result.out : result.err, HasSubstr(step.output));
    }
    // Nobody but bob opens the volumes now: his is the last keyslot.
    for (const std::string name : {"cryptroot", "cryptdata"}) {
        testing::destroyKeyslot(machine.image(name), 0);
    }
    EXPECT_THAT(machine.run({"remove", "-user", "bob"}).err,
                HasSubstr("it is the last keyslot that opens the volume."));
    EXPECT_EQ(machine.run({"list"}).out, "bob,2\n");
}

TEST(CommandLine, UsageErrorsAndHelp) {
    TestMachine machine({kRoot});
    for (const auto& [arguments, exit] : std::vector<std::pair<std::vector<std::string>, int>>{
             {{}, 64},
             {{"authrestart", "-delayminutes", "-2"}, 64},
             {{"authrestart", "-usertoadd", "x"}, 64},
             {{"status", "extra"}, 64},
             {{"status", "--help"}, 0}}) {
        const auto result = machine.run(arguments);
        EXPECT_EQ(result.exit, exit) << ::testing::PrintToString(arguments);
        EXPECT_THAT(exit == 0 ? result.out : result.err, HasSubstr("Usage: fdesetup"));
    }
}

}  // namespace
}  // namespace lockstep::fde
