#include "support/daemon_sandbox.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <system_error>

#include "platform/keychain/sqlite_keychain.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

namespace {

const std::filesystem::path kSandboxRun = LOCKSTEP_SOURCE_DIR "/scripts/sandbox-run";
const std::filesystem::path kStandIn = LOCKSTEP_TEST_HELPERS_DIR "/fake_fdesetup";

std::filesystem::path makeFolder() {
    std::string pattern = "/var/tmp/lockstep-sandbox-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> splitAtNul(const std::string& all) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < all.size()) {
        const auto end = all.find('\0', start);
        parts.push_back(all.substr(start, end - start));
        start = end == std::string::npos ? all.size() : end + 1;
    }
    return parts;
}

std::optional<std::string> recorded(const std::filesystem::path& file) {
    if (!std::filesystem::exists(file)) {
        return std::nullopt;
    }
    return readFile(file);
}

std::string integrityCheck(const std::filesystem::path& file) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
    if (rc != SQLITE_OK) {
        return sqlite3_errstr(rc);
    }
    std::string result;
    const int checked = sqlite3_exec(
        db.get(), "PRAGMA integrity_check",
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) += values[0] != nullptr ? values[0] : "";
            return 0;
        },
        &result, nullptr);
    return checked == SQLITE_OK ? result : sqlite3_errmsg(db.get());
}

std::string describe(const std::vector<SecACLRef>& acls) {
    std::string out;
    for (const SecACLRef& acl : acls) {
        for (const std::string& authorization : acl->authorizations) {
            out += authorization + ",";
        }
        out += "|";
        if (acl->applications) {
            for (const SecTrustedApplicationRef& app : *acl->applications) {
                out += app->path + "#" + text(app->digest) + ",";
            }
        } else {
            out += "any";
        }
        out += "|" + acl->description + "|" + std::to_string(acl->promptSelector) + "\n";
    }
    return out;
}

}  // namespace

std::optional<std::string> DaemonSandbox::unavailableReason() {
    static const std::optional<std::string> reason = []() -> std::optional<std::string> {
        if (::geteuid() != 0) {
            return "needs root to make a private mount namespace";
        }
        auto spawned = spawnProcess({.program = "/usr/bin/unshare",
                                     .arguments = {"--mount", "--propagation", "private", "true"},
                                     .output = ChildStream::Null,
                                     .error = ChildStream::Null});
        if (!spawned.process) {
            return "unshare cannot be started: " + spawned.errorDescription();
        }
        const auto status = spawned.process->wait();
        if (!status || !status->success()) {
            return "this machine refuses a private mount namespace";
        }
        return std::nullopt;
    }();
    return reason;
}

DaemonSandbox::DaemonSandbox() : path_(makeFolder()) {
    accounts_.emplace(path_);
    accounts_->addUser(TestUser{.name = "root",
                                .uid = 0,
                                .gid = 0,
                                .password = "root-password",
                                .home = "/root",
                                .shell = "/bin/bash"});
    accounts_->addGroup("root", 0);
    accounts_->write();
    std::filesystem::create_directories(path_ / "usr-bin");
}

DaemonSandbox::~DaemonSandbox() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string DaemonSandbox::shadowWithPassword(const std::string& user,
                                              const std::string& password) const {
    std::string text = readFile(etcFolder() / "shadow");
    const std::string start = user + ":";
    std::size_t at = text.starts_with(start) ? 0 : text.find("\n" + start);
    if (at == std::string::npos) {
        throw std::runtime_error("no shadow entry for " + user);
    }
    at += at == 0 ? 0 : 1;
    const std::size_t end = text.find('\n', at);
    text.replace(at, end - at, start + cryptHash(password) + ":19000:0:99999:7:::");
    return text;
}

void DaemonSandbox::setPassword(const std::string& user, const std::string& password) {
    writeFile(etcFolder() / "shadow", shadowWithPassword(user, password),
              std::filesystem::perms(0640));
}

void DaemonSandbox::setPreferences(const std::string& dictionaryBody) {
    writeFile(path_ / "etc" / "lockstep" / "lockstepd.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" +
                  dictionaryBody + "\n</dict>\n</plist>\n");
}

void DaemonSandbox::installFdesetup() {
    // lockstepd starts only a tool that root alone could have put there.
    const std::filesystem::path tool = fdesetupFile();
    std::filesystem::copy_file(kStandIn, tool, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(tool.parent_path(), std::filesystem::perms(0755));
    std::filesystem::permissions(tool, std::filesystem::perms(0755));
    if (::chown(tool.c_str(), 0, 0) != 0) {
        throw std::runtime_error("cannot give the stand-in tool to root");
    }
}

std::filesystem::path DaemonSandbox::fdesetupFile() const {
    return path_ / "usr-bin" / "fdesetup";
}

void DaemonSandbox::removeFdesetup() {
    std::error_code ignored;
    std::filesystem::remove(path_ / "usr-bin" / "fdesetup", ignored);
}

std::optional<std::vector<std::string>> DaemonSandbox::fdesetupArguments() const {
    const auto all = recorded(path_ / "fdesetup-record.args");
    return all ? std::optional(splitAtNul(*all)) : std::nullopt;
}

std::optional<std::string> DaemonSandbox::fdesetupInput() const {
    return recorded(path_ / "fdesetup-record.stdin");
}

std::optional<std::vector<std::string>> DaemonSandbox::fdesetupEnvironment() const {
    const auto all = recorded(path_ / "fdesetup-record.env");
    return all ? std::optional(splitAtNul(*all)) : std::nullopt;
}

std::filesystem::path DaemonSandbox::systemKeychain() const {
    return path_ / "var-lib" / "lockstep" / "System.keychain";
}

std::filesystem::path DaemonSandbox::etcFolder() const {
    return path_ / "etc";
}

std::filesystem::path DaemonSandbox::logFolder() const {
    return path_ / "tmp" / "lockstep";
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
    withPaths.emplace("LOCKSTEPD", LOCKSTEPD_BINARY);
    withPaths.emplace("LOCKSTEPCTL", LOCKSTEPCTL_BINARY);
    withPaths.emplace("SANDBOX", path_.string());
    return runInNamespace({"/bin/bash", "-euo", "pipefail", "-c", script}, withPaths);
}

DaemonSandbox::Result DaemonSandbox::runInNamespace(
    std::vector<std::string> command, const std::map<std::string, std::string>& environment) {
    std::vector<std::string> full;
    if (keychainTmpfs_) {
        full = {"--keychain-tmpfs", *keychainTmpfs_};
    }
    if (readOnlyHome_) {
        full.emplace_back("--read-only-home");
    }
    full.insert(full.end(), {path_.string(), "/usr/bin/env"});
    full.push_back("FAKE_FDESETUP_RECORD=" + (path_ / "fdesetup-record").string());
    for (const auto& [name, value] : environment) {
        full.push_back(name + "=" + value);
    }
    full.insert(full.end(), command.begin(), command.end());

    auto spawned = spawnProcess({.program = kSandboxRun.string(),
                                 .arguments = full,
                                 .input = ChildStream::Null,
                                 .output = ChildStream::Pipe,
                                 .error = ChildStream::Pipe});
    if (!spawned.process) {
        throw std::runtime_error("sandbox-run cannot be started: " + spawned.errorDescription());
    }
    const ProcessOutput output = spawned.process->communicate();
    const auto status = spawned.process->wait();
    Result result;
    result.exitCode = status && status->exited ? status->code : -1;
    result.out = text(output.output);
    result.err = text(output.error);
    return result;
}

std::vector<KeychainContents::Item> KeychainContents::itemsOf(std::string_view account) const {
    std::vector<Item> found;
    for (const Item& item : items) {
        if (item.account == account) {
            found.push_back(item);
        }
    }
    return found;
}

KeychainContents readKeychain(const std::filesystem::path& file) {
    KeychainContents contents;
    SqliteKeychainOptions options;
    options.systemKeychainPath = file;
    options.userKeychainPath = file.parent_path() / "unused-user.keychain";
    SqliteKeychainService service(options);
    SecKeychainRef keychain;
    contents.openStatus =
        service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain);
    contents.integrity = integrityCheck(file);
    std::vector<KeychainItemInfo> infos;
    if (contents.openStatus != errSecSuccess ||
        SqliteKeychainService::listItems(file, &infos) != errSecSuccess) {
        return contents;
    }
    for (const KeychainItemInfo& info : infos) {
        KeychainContents::Item item;
        item.service = text(info.service);
        if (info.account) {
            item.account = text(*info.account);
        }
        const std::string account = item.account.value_or("");
        SecretBytes secret;
        SecKeychainItemRef ref;
        SecAccessRef access;
        if (service.SecKeychainFindGenericPassword(
                keychain, static_cast<std::uint32_t>(item.service.size()), item.service.data(),
                static_cast<std::uint32_t>(account.size()), account.data(), nullptr, &secret,
                &ref) == errSecSuccess) {
            item.password = text(secret.bytes());
        }
        if (ref && service.SecKeychainItemCopyAccess(ref, &access) == errSecSuccess) {
            item.acl = describe(access->acls);
        }
        contents.items.push_back(std::move(item));
    }
    return contents;
}

}  // namespace lockstep::testing
