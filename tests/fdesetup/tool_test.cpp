// The restart tool on machines in temporary folders: arming with the daemon's
// own request, what reaches kexec, enabling accounts on LUKS images, status,
// the command line, reading initramfs images; and lockstepd in its sandbox
// with the tool at /usr/bin/fdesetup.

#include <gmock/gmock.h>

#include "fdesetup/initramfs.h"
#include "filevault/fdesetup_helper.h"
#include "machine_fixture.h"
#include "support/daemon_sandbox.h"

namespace lockstep::fde {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::TestMachine;
using testing::TestVolume;
using Strings = std::vector<std::string>;

const Strings kArm = {"authrestart", "-delayminutes", "-1", "-inputplist"};
const TestVolume kRoot{"cryptroot", "disk pass"};

std::string request(std::string_view user, std::string_view password) {
    const SecretBytes bytes = FDESetupHelper::buildRequest(user, password);
    return {bytes.bytes().begin(), bytes.bytes().end()};
}

// Armed, the loaded initramfs is the machine's own followed by an archive
// holding each volume's key (the password) for root alone and a crypttab
// that names it and the keyslot it opens.
TEST(Arm, ArmsOnlyWhenThePasswordOpensEveryVolume) {
    const TestVolume luks1{"cryptdata", "disk pass", 1, "luks", false};
    struct Case {
        const char* name;
        std::vector<TestVolume> volumes;
        Strings enabled;  // accounts enabled first, password "<name> pw", keyslot 1
        std::string user, password, refusal;  // no refusal: armed
    };
    for (const Case& c : std::vector<Case>{
             {"none enabled: any keyslot", {kRoot, luks1}, {}, "alice", "disk pass", ""},
             {"wrong password", {kRoot}, {}, "alice", "disk pas", "Failed to authenticate"},
             // The name gives a password that XML must escape.
             {"own password", {kRoot}, {"a&<'\""}, "a&<'\"", "a&<'\" pw", ""},
             {"not enabled", {kRoot}, {"alice"}, "bob", "alice pw", "bob is not enabled on"}}) {
        SCOPED_TRACE(c.name);
        TestMachine machine(c.volumes);
        for (const std::string& user : c.enabled) {
            machine.accounts.addUser(user, user + " pw", 501).write();
            machine.terminal = {c.volumes[0].passphrase, user + " pw"};
            ASSERT_EQ(machine.run({"add", "-usertoadd", user}).exit, 0);
        }
        const auto result = machine.run(kArm, request(c.user, c.password));
        if (!c.refusal.empty()) {
            EXPECT_EQ(
                std::tuple(result.exit, std::ranges::count(result.err, '\n'),
                           result.err.find(c.refusal) != std::string::npos, !machine.kexec.initrd),
                std::tuple(1, 1, true, true));
            continue;
        }
        ASSERT_EQ(std::tuple(result.exit, result.out), std::tuple(0, "")) << result.err;
        EXPECT_EQ(std::tuple(machine.kexec.kernel, machine.kexec.commandLine, machine.kexec.seals),
                  std::tuple("MZ a kernel image", TestMachine::kCommandLine,
                             F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL));
        EXPECT_TRUE(machine.commands.empty()) << "-delayminutes -1 only arms";
        Strings expected = {"lockstep 40700 0:0 "};
        std::string crypttab;
        for (const TestVolume& v : c.volumes) {
            expected.push_back("lockstep/" + v.name + ".key 100400 0:0 " + c.password);
            crypttab += v.name + " UUID=" + machine.uuids.at(v.name) + " /lockstep/" + v.name +
                        ".key " + v.options + ",key-slot=" + (c.enabled.empty() ? "0" : "1") + "\n";
        }
        expected.push_back("cryptroot/crypttab 100644 0:0 " + crypttab);
        EXPECT_EQ(testing::appended(machine.initramfs(), *machine.kexec.initrd), expected);
        // Each add and the arming are logged once, without the password.
        ASSERT_EQ(machine.logged.size(), c.enabled.size() * c.volumes.size() + 1);
        EXPECT_THAT(machine.logged.back(), HasSubstr("authenticated restart armed for " + c.user));
        EXPECT_EQ(machine.logged.back().find(c.password), std::string::npos);
    }
}

// Refused before anything is loaded, and reported by supportsauthrestart.
TEST(Arm, RefusesWhatItCannotTrustOrLoad) {
    using M = TestMachine&;
    const auto chmod = [](const char* file, int mode) {
        return [=](M m) { fs::permissions(m.root() / file, fs::perms(mode)); };
    };
    const auto remove = [](const char* file) { return [=](M m) { fs::remove(m.root() / file); }; };
    const auto initramfs = [](std::vector<testing::ArchiveFile> files) {
        return [=](M m) { m.writeInitramfs(testing::makeArchive(files, "gzip")); };
    };
    const std::vector<std::tuple<std::string, std::function<void(M)>, std::string>> cases = {
        {"root not encrypted", [](M m) { m.setRootDevice("8:1"); }, "is not on an encrypted vol"},
        {"initramfs writable", chmod("boot/initrd.img-6.1.0-99-amd64", 0666), "amd64 is writable"},
        {"crypttab writable", chmod("etc/crypttab", 0664), "etc/crypttab is writable by others"},
        {"kernel missing", remove("boot/vmlinuz-6.1.0-99-amd64"),
         "vmlinuz-6.1.0-99-amd64 cannot be read"},
        {"no kexec", remove("sys/kernel/kexec_loaded"), "cannot load"},
        {"not LUKS", [](M m) { fs::resize_file(m.image("cryptroot"), 0); }, "is not a LUKS volume"},
        {"dracut", initramfs({{"usr/lib/dracut/modules.txt", "crypt\n"}}), "dracut, which is not"},
        {"no cryptsetup", initramfs({{"conf/initramfs.conf", ""}}), "cryptsetup-initramfs is not"},
        {"root volume not in the initramfs",
         initramfs(
             {{"conf/initramfs.conf"}, {"scripts/local-top/cryptroot"}, {"cryptroot/crypttab"}}),
         "the initramfs does not unlock cryptroot"},
        {"kexec refused", [](M m) { m.kexec.answer = EPERM; }, "refused to load the restart"},
    };
    for (const auto& [name, prepare, refusal] : cases) {
        SCOPED_TRACE(name);
        TestMachine machine({kRoot});
        prepare(machine);
        const auto result = machine.run(kArm, request("alice", "disk pass"));
        EXPECT_EQ(std::tuple(result.exit, !machine.kexec.initrd, machine.logged.empty(),
                             result.err.find(refusal) != std::string::npos),
                  std::tuple(1, true, true, true))
            << result.err;
        if (name != "kexec refused" && name != "not LUKS") {
            EXPECT_THAT(machine.run({"supportsauthrestart", "-verbose"}).out,
                        ::testing::AllOf(::testing::StartsWith("false\n"), HasSubstr(refusal)));
        }
    }
    auto truncated = testing::makeArchive({{"init", "#!/bin/sh\n"}}, "gzip");
    truncated.resize(truncated.size() / 2);
    for (const auto& [image, problem] : std::vector<std::pair<testing::Bytes8, std::string>>{
             {testing::Bytes8(64, 0), "no main archive"},
             {{'M', 'Z', 0, 0}, "the main archive's compression is not recognised"},
             {{'0', '7', '0', '7', '0', '1', 'x'}, "a damaged uncompressed archive"},
             {truncated, "truncated gzip input"}}) {
        EXPECT_THAT(unsupportedReason(inspectInitramfs(image)).value_or(""), HasSubstr(problem));
    }
}

TEST(Arm, RequestsDelaysAndUsage) {
    TestMachine machine({kRoot});
    for (const auto& [input, refusal] : std::vector<std::pair<std::string, std::string>>{
             {"<plist><array/></plist>", "the input is not a property list dictionary"},
             {"<plist><dict><key>Username</key><string>a</string></dict></plist>",
              "needs Username"},
             {std::string(70000, ' '), "cannot be read"}}) {
        EXPECT_THAT(machine.run(kArm, input).err, HasSubstr(refusal));
    }
    // Without a delay the restart starts at once; with one it is scheduled.
    // Without -inputplist the terminal is asked.
    machine.terminal = {"alice", "disk pass"};
    EXPECT_EQ(machine.run({"authrestart"}).exit, 0);
    const Strings delayed = {"authrestart", "-inputplist", "-delayminutes", "5"};
    EXPECT_EQ(machine.run(delayed, request("alice", "disk pass")).exit, 0);
    EXPECT_EQ(machine.commands, (std::vector<Strings>{{"/usr/bin/systemctl", "kexec"},
                                                      {"/usr/sbin/shutdown", "-r", "+5"}}));
    for (const auto& [arguments, exit] : std::vector<std::pair<Strings, int>>{
             {{}, 64},
             {{"authrestart", "-delayminutes", "-2"}, 64},
             {{"authrestart", "-usertoadd", "bob"}, 64},  // an option of another command
             {{"status", "--help"}, 0}}) {
        const auto result = machine.run(arguments);
        EXPECT_EQ(result.exit, exit) << ::testing::PrintToString(arguments);
        EXPECT_THAT(exit == 0 ? result.out : result.err, HasSubstr("Usage: fdesetup"));
    }
}

TEST(Accounts, AddListRemoveAndStatus) {
    TestMachine machine({kRoot, {"cryptdata", "disk pass", 2, "luks", false}});
    machine.accounts.addUser("alice", "alice pw", 501).addUser("bob", "bob pw", 502).write();
    const auto add = [](std::string passphrase, std::string user, std::string password) {
        return "<plist><dict><key>Password</key><string>" + passphrase +
               "</string><key>AdditionalUsers</key><array><dict><key>Username</key><string>" +
               user + "</string><key>Password</key><string>" + password +
               "</string></dict></array></dict></plist>";
    };
    // Arguments, standard input, terminal answers, exit, the output or a piece of the error.
    using Step = std::tuple<Strings, std::string, Strings, int, std::string>;
    const Strings addAlice = {"add", "-usertoadd", "alice", "-inputplist"};
    const Strings addCarol = {"add", "-usertoadd", "carol", "-inputplist"};
    for (const Step& step : std::vector<Step>{
             {addAlice, add("disk pass", "alice", "wrong"), {}, 1, "alice: the password is not"},
             {addCarol, add("disk pass", "carol", "x"), {}, 1, "carol: there is no such local"},
             {addAlice, add("not it", "alice", "alice pw"), {}, 1, "does not open cryptroot."},
             {addAlice, add("disk pass", "alice", "alice pw"), {}, 0, ""},
             {{"add", "-usertoadd", "bob"}, "", {"alice pw", "bob pw"}, 0, ""},
             {{"list"}, "", {}, 0, "alice,1\nbob,2\n"},
             {{"remove", "-user", "carol"}, "", {}, 1, "carol is not enabled."},
             {{"remove", "-user", "alice"}, "", {}, 0, ""},
             {{"list"}, "", {}, 0, "bob,2\n"}}) {
        const auto& [arguments, input, terminal, exit, output] = step;
        machine.terminal = terminal;
        const auto result = machine.run(arguments, input);
        EXPECT_EQ(result.exit, exit) << result.err << ::testing::PrintToString(arguments);
        EXPECT_THAT(exit == 0 ? result.out : result.err, HasSubstr(output));
    }
    // Nobody but bob opens the volumes now: his is the last keyslot.
    for (const std::string name : {"cryptroot", "cryptdata"}) {
        ASSERT_EQ(crypt_keyslot_destroy(testing::crypt(machine.image(name)).get(), 0), 0);
    }
    EXPECT_THAT(machine.run({"remove", "-user", "bob"}).err,
                HasSubstr("it is the last keyslot that opens the volume."));
    EXPECT_EQ(machine.run({"list"}).out, "bob,2\n");

    EXPECT_EQ(
        machine.run({"status"}).out,
        "FileVault is On.\nEncrypted volume: cryptroot (UUID=" + machine.uuids.at("cryptroot") +
            ", root file system)\nEncrypted volume: cryptdata (UUID=" +
            machine.uuids.at("cryptdata") + ")\nAuthenticated restart: not armed.\n");
    EXPECT_THAT(machine.run({"restartarmed"}).err, HasSubstr("no authenticated restart is armed"));
    lockstep::testing::writeFile(machine.root() / "sys/kernel/kexec_loaded", "1\n");
    EXPECT_THAT(machine.run({"status"}).out,
                ::testing::EndsWith(")\nAuthenticated restart: armed.\n"));
    EXPECT_EQ(machine.run({"supportsauthrestart"}).out, "true\n");
    // systemd-shutdown's hook boots the armed kernel.
    EXPECT_THAT(machine.run({"restartarmed"}).err,
                HasSubstr("the kernel refused to boot the armed kernel"));
    EXPECT_EQ(std::tuple(machine.kexec.executed, machine.run({"isactive"}).exit), std::tuple(1, 0));
    machine.setRootDevice("8:1");
    EXPECT_THAT(machine.run({"status"}).out, ::testing::StartsWith("FileVault is Off.\n"));
    const auto inactive = machine.run({"isactive"});
    EXPECT_EQ(std::tuple(inactive.exit, inactive.out), std::tuple(1, "false\n"));
}

TEST(DaemonWithTool, EnrolmentArmsAndAPasswordTheDiskRefusesIsReported) {
    if (const auto reason = lockstep::testing::DaemonSandbox::unavailableReason()) {
        GTEST_SKIP() << "sandbox unavailable: " << *reason;
    }
    for (const std::string disk : {"correct horse", "another passphrase"}) {
        SCOPED_TRACE(disk);
        lockstep::testing::DaemonSandbox sandbox;
        sandbox.accounts().addUser("alice", "correct horse", 501).write();
        TestMachine machine({{"cryptroot", disk}});
        const fs::path root = sandbox.path() / "machine";
        fs::copy(machine.root(), root,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::copy_file(LOCKSTEP_FDESETUP_STANDIN, sandbox.path() / "usr-bin" / "fdesetup");
        const std::string record = (sandbox.path() / "kexec").string();
        const std::map<std::string, std::string> environment = {
            {"LOCKSTEP_STANDIN_MACHINE", root.string()},
            {"LOCKSTEP_STANDIN_RELEASE", TestMachine::kRelease},
            {"LOCKSTEP_STANDIN_RECORD", record}};
        const auto enrolled = sandbox.run(
            {"--set-user", "--user", "alice", "--password", "correct horse"}, environment);
        const std::string initrd = lockstep::testing::readFile(record + ".initrd");
        const bool opens = disk == "correct horse";
        EXPECT_EQ(std::tuple(enrolled.exitCode, enrolled.out, initrd.empty()),
                  std::tuple(0,
                             opens ? "alice ********\nSuccessfully authenticated with FileVault\n"
                                   : "alice ********\nFailed to authenticate with FileVault\n",
                             !opens));
        if (!opens) {
            continue;  // nothing may be loaded
        }
        EXPECT_EQ(lockstep::testing::readFile(record + ".cmdline"), TestMachine::kCommandLine);
        EXPECT_EQ(testing::appended(machine.initramfs(), initrd).at(1),
                  "lockstep/cryptroot.key 100400 0:0 correct horse");
        // The plain run arms again from the keychain.
        fs::remove(record + ".initrd");
        EXPECT_EQ(sandbox.run({}, environment).out, "Successfully authenticated with FileVault\n");
        EXPECT_TRUE(fs::exists(record + ".initrd"));
    }
}

}  // namespace
}  // namespace lockstep::fde
