#include "support/daemon_sandbox.h"

#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <system_error>

#include "platform/keychain/sqlite_keychain.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

namespace fs = std::filesystem;

namespace {

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Runs a program; gives its exit code (-1 when it did not exit) and output.
DaemonSandbox::Result runProgram(const std::string& program, std::vector<std::string> arguments) {
    auto spawned = spawnProcess({.program = program,
                                 .arguments = std::move(arguments),
                                 .input = ChildStream::Null,
                                 .output = ChildStream::Pipe,
                                 .error = ChildStream::Pipe});
    if (!spawned.process)
        throw std::runtime_error(program + " cannot be started: " + spawned.errorDescription());
    const ProcessOutput output = spawned.process->communicate();
    const auto status = spawned.process->wait();
    return {status && status->exited ? status->code : -1, text(output.output), text(output.error)};
}

}  // namespace

std::optional<std::string> DaemonSandbox::unavailableReason() {
    static const std::optional<std::string> reason = []() -> std::optional<std::string> {
        if (::geteuid() != 0) return "needs root to make a private mount namespace";
        if (runProgram("/usr/bin/unshare", {"--mount", "--propagation", "private", "true"})
                .exitCode != 0) {
            return "this machine refuses a private mount namespace";
        }
        return std::nullopt;
    }();
    return reason;
}

DaemonSandbox::DaemonSandbox() {
    std::string pattern = "/var/tmp/lockstep-sandbox-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    accounts_.emplace(path_);
    accounts_->addUser(TestUser{.name = "root",
                                .uid = 0,
                                .gid = 0,
                                .password = "root-password",
                                .home = "/root",
                                .shell = "/bin/bash"});
    accounts_->addGroup("root", 0);
    accounts_->write();
    fs::create_directories(path_ / "usr-bin");
}

DaemonSandbox::~DaemonSandbox() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void DaemonSandbox::setPassword(const std::string& user, const std::string& password) {
    // Appends rather than "\n" + ...: GCC 12 warns wrongly (-Wrestrict) on that at -O3.
    std::string shadow(1, '\n'), entry(1, '\n');
    shadow += readFile(path_ / "etc/shadow");
    entry += user;
    entry += ':';
    const std::size_t at = shadow.find(entry);
    if (at == std::string::npos) throw std::runtime_error("no shadow entry for " + user);
    shadow.replace(at + 1, shadow.find('\n', at + 1) - at - 1,
                   user + ":" + cryptHash(password) + ":19000:0:99999:7:::");
    writeFile(path_ / "etc/shadow", shadow.substr(1), fs::perms(0640));
}

void DaemonSandbox::setPreferences(const std::string& dictionaryBody) {
    writeFile(path_ / "etc/lockstep/lockstepd.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" +
                  dictionaryBody + "\n</dict>\n</plist>\n");
}

void DaemonSandbox::installFdesetup() {
    // lockstepd starts only a tool that root alone could have put there.
    const fs::path tool = fdesetupFile();
    fs::copy_file(LOCKSTEP_TEST_HELPERS_DIR "/fake_fdesetup", tool,
                  fs::copy_options::overwrite_existing);
    fs::permissions(tool.parent_path(), fs::perms(0755));
    fs::permissions(tool, fs::perms(0755));
    if (::chown(tool.c_str(), 0, 0) != 0)
        throw std::runtime_error("cannot give the stand-in tool to root");
}

std::optional<std::string> DaemonSandbox::fdesetupRecord(const std::string& what) const {
    const fs::path file = path_ / ("fdesetup-record." + what);
    return fs::exists(file) ? std::optional(readFile(file)) : std::nullopt;
}

DaemonSandbox::Result DaemonSandbox::run(const std::vector<std::string>& arguments,
                                         const std::map<std::string, std::string>& environment) {
    std::vector<std::string> command = {LOCKSTEPD_BINARY};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runInNamespace(std::move(command), environment);
}

DaemonSandbox::Result DaemonSandbox::runScript(
    const std::string& script, const std::map<std::string, std::string>& environment) {
    auto withPaths = environment;
    withPaths.insert({{"LOCKSTEPD", LOCKSTEPD_BINARY},
                      {"LOCKSTEPCTL", LOCKSTEPCTL_BINARY},
                      {"SANDBOX", path_.string()}});
    return runInNamespace({"/bin/bash", "-euo", "pipefail", "-c", script}, withPaths);
}

DaemonSandbox::Result DaemonSandbox::runInNamespace(
    std::vector<std::string> command, const std::map<std::string, std::string>& environment) {
    std::vector<std::string> full;
    if (keychainTmpfs_) {
        full = {"--keychain-tmpfs", *keychainTmpfs_};
    }
    if (readOnlyHome_) full.emplace_back("--read-only-home");
    full.insert(full.end(), {path_.string(), "/usr/bin/env",
                             "FAKE_FDESETUP_RECORD=" + (path_ / "fdesetup-record").string()});
    for (const auto& [name, value] : environment) full.push_back(name + "=" + value);
    full.insert(full.end(), command.begin(), command.end());
    return runProgram(LOCKSTEP_SOURCE_DIR "/scripts/sandbox-run", std::move(full));
}

KeychainContents readKeychain(const fs::path& file) {
    KeychainContents contents;
    SqliteKeychainService service({.systemKeychainPath = file,
                                   .userKeychainPath = file.parent_path() / "unused-user.keychain",
                                   .callingProgramPath = {}});
    SecKeychainRef keychain;
    contents.openStatus =
        service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain);
    std::vector<KeychainItemInfo> infos;
    if (contents.openStatus != errSecSuccess ||
        SqliteKeychainService::listItems(file, &infos) != errSecSuccess) {
        return contents;
    }
    for (const KeychainItemInfo& info : infos) {
        KeychainContents::Item& item = contents.items.emplace_back();
        item.service = text(info.service);
        item.account = info.account ? std::optional(text(*info.account)) : std::nullopt;
        const std::string account = item.account.value_or("");
        SecretBytes secret;
        SecKeychainItemRef ref;
        if (service.SecKeychainFindGenericPassword(
                keychain, static_cast<std::uint32_t>(item.service.size()), item.service.data(),
                static_cast<std::uint32_t>(account.size()), account.data(), nullptr, &secret,
                &ref) == errSecSuccess) {
            item.password = text(secret.bytes());
        }
    }
    return contents;
}

}  // namespace lockstep::testing
