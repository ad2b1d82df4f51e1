#include "ctl_fixture.h"

#include <sstream>

#include "keychain/keychain_util.h"

namespace lockstep::testing {

namespace {

SqliteKeychainOptions keychainOptions(const std::filesystem::path& dir) {
    SqliteKeychainOptions options;
    options.systemKeychainPath = dir / "var/lib/lockstep/System.keychain";
    options.userKeychainPath = dir / "root/.local/share/lockstep/login.keychain";
    return options;
}

}  // namespace

CtlTest::CtlTest()
    : keychain_(keychainOptions(dir_.path())), directory_(dir_ / "machine"), logFile_(logPath()) {
    setUsers({{.name = "alice", .uid = 501, .password = std::string(kPassword)},
              {.name = "bob", .uid = 502, .password = "bobs password"}});
    makeTool();
}

void CtlTest::setUsers(const std::vector<TestUser>& users) {
    tree_.reset();
    tree_ = std::make_unique<TestDirectory>(dir_ / "machine");
    for (const TestUser& user : users) {
        tree_->addUser(user);
    }
    tree_->write();
}

void CtlTest::makeTool(std::filesystem::perms mode) {
    writeFile(toolPath(), "#!/bin/sh\nexit 0\n", mode);
}

Context CtlTest::context() {
    return Context{
        .keychain = keychain_,
        .directory = directory_,
        .fdesetupPath = toolPath(),
        .bundlePath = dir_ / "bundle",
        .machineRoot = dir_ / "machine",
    };
}

ctl::Services CtlTest::services() {
    return ctl::Services{
        .context = context(),
        .systemKeychainPath = systemKeychainPath(),
        .logFile = [this] { return logFile_; },
    };
}

CtlTest::Result CtlTest::ctl(const std::vector<std::string>& arguments) {
    std::ostringstream out;
    std::ostringstream err;
    Result result;
    result.status = ctl::run(arguments, services(), out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
}

void CtlTest::enrol(std::string_view account, std::string_view password, std::string_view service) {
    SecKeychainRef system;
    ASSERT_EQ(keychain_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &system),
              errSecSuccess);
    ASSERT_TRUE(KeychainUtil::updatePassword(context(), service, account, password, "", system));
}

}  // namespace lockstep::testing
