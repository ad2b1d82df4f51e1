// Runs the real lockstepd binary in a sandboxed mount namespace: its own
// account files, System keychain folder, log folder and stand-in restart tool.

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/keychain/sqlite_keychain.h"
#include "platform/plist.h"
#include "support/daemon_sandbox.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

const std::vector<std::string> kToolArguments = {"authrestart", "-delayminutes", "-1",
                                                 "-inputplist"};

std::string request(std::string_view user, std::string_view password) {
    return std::string(" <plist>\n   <dict>\n         <key>Username</key>\n         <string>") +
           std::string(user) + "</string>\n         <key>Password</key>\n         <string>" +
           std::string(password) + "</string>\n   </dict>\n</plist>\n";
}

struct StoredItem {
    std::string account;
    std::string password;
};

// Reads the credential that the daemon stored, from outside the namespace.
std::optional<StoredItem> storedCredential(const DaemonSandbox& sandbox) {
    if (!std::filesystem::exists(sandbox.systemKeychain())) {
        return std::nullopt;
    }
    SqliteKeychainOptions options;
    options.systemKeychainPath = sandbox.systemKeychain();
    SqliteKeychainService service(options);
    SecKeychainRef keychain;
    if (service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain) != 0) {
        return std::nullopt;
    }
    std::uint32_t length = 0;
    SecretBytes secret;
    SecKeychainItemRef item;
    if (service.SecKeychainFindGenericPassword(keychain, 8, "Lockstep", 0, nullptr, &length,
                                               &secret, &item) != 0) {
        return std::nullopt;
    }
    const SecKeychainAttributeInfo info{{kSecAccountItemAttr}, {CSSM_DB_ATTRIBUTE_FORMAT_STRING}};
    SecKeychainAttributeList attributes;
    if (service.SecKeychainItemCopyAttributesAndData(item, &info, nullptr, &attributes, nullptr,
                                                     nullptr) != 0 ||
        attributes.empty() || !attributes[0].data) {
        return std::nullopt;
    }
    return StoredItem{toString(*attributes[0].data), toString(secret.bytes())};
}

std::size_t countItems(const DaemonSandbox& sandbox) {
    std::vector<KeychainItemInfo> items;
    if (SqliteKeychainService::listItems(sandbox.systemKeychain(), &items) != 0) {
        return 0;
    }
    return items.size();
}

// Reads back the two texts of a restart request as the tool would parse it.
std::optional<std::pair<std::string, std::string>> parseRequest(const std::string& text) {
    auto parsed = parsePlist(toBytes(text));
    if (!parsed) {
        return std::nullopt;
    }
    auto value = [&](const char* key) -> std::optional<std::string> {
        plist_t node = plist_dict_get_item(parsed->root.get(), key);
        if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
            return std::nullopt;
        }
        std::uint64_t length = 0;
        const char* data = plist_get_string_ptr(node, &length);
        return std::string(data, length);
    };
    const auto user = value("Username");
    const auto password = value("Password");
    if (!user || !password) {
        return std::nullopt;
    }
    return std::make_pair(*user, *password);
}

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const auto reason = DaemonSandbox::unavailableReason()) {
            GTEST_SKIP() << "end-to-end sandbox unavailable: " << *reason;
        }
        sandbox_.emplace();
        sandbox_->accounts()
            .addUser("alice", "correct horse", 501)
            .addUser("locked", "pw", 502, AccountState::locked)
            .addGroup("staff", 20, {"alice"});
        sandbox_->accounts().write();
        sandbox_->installFdesetup();
    }

    DaemonSandbox& sandbox() { return *sandbox_; }

    DaemonSandbox::Result enrol(const std::string& user, const std::string& password,
                                const std::map<std::string, std::string>& environment = {}) {
        return sandbox().run({"--set-user", "--user", user, "--password", password}, environment);
    }

  private:
    std::optional<DaemonSandbox> sandbox_;
};

TEST_F(EndToEnd, EnrolmentStoresTheCredentialAndArmsTheRestart) {
    const auto result = enrol("alice", "correct horse");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "alice ********\nSuccessfully authenticated with FileVault\n");

    const auto stored = storedCredential(sandbox());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->account, "alice");
    EXPECT_EQ(stored->password, "correct horse");
    EXPECT_EQ(sandbox().fdesetupArguments(), kToolArguments);
    EXPECT_EQ(sandbox().fdesetupInput(), request("alice", "correct horse"));
}

TEST_F(EndToEnd, EnrolmentReplacesThePreviousCredential) {
    ASSERT_EQ(enrol("alice", "correct horse").exitCode, 0);
    sandbox().accounts().addUser("bob", "second", 503);
    sandbox().accounts().write();
    const auto result = enrol("bob", "second");
    EXPECT_EQ(result.out, "bob ********\nSuccessfully authenticated with FileVault\n");
    // Items of other accounts stay; the plain path uses the oldest one.
    EXPECT_EQ(countItems(sandbox()), 2U);
    const auto again = enrol("bob", "second");
    EXPECT_EQ(countItems(sandbox()), 2U);
    EXPECT_EQ(again.exitCode, 0);
}

TEST_F(EndToEnd, RefusedEnrolmentsPrintTheirLineAndStoreNothing) {
    struct Case {
        std::string user;
        std::string password;
        std::string line;
    };
    for (const Case& c :
         {Case{"alice", "wrong", "incorrect password"},
          Case{"nobody", "pw", "account Does Not Exist"}, Case{"locked", "pw", "account locked"}}) {
        const auto result = enrol(c.user, c.password);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.out, c.user + " ********\n" + c.line + "\n");
        EXPECT_FALSE(storedCredential(sandbox())) << c.user;
        EXPECT_FALSE(sandbox().fdesetupInput()) << c.user;
    }
}

TEST_F(EndToEnd, IncompleteEnrolmentTakesThePlainPath) {
    const auto withoutPassword = sandbox().run({"--set-user", "--user", "alice"});
    EXPECT_EQ(withoutPassword.exitCode, 0);
    EXPECT_EQ(withoutPassword.out, "");

    const auto withoutFlag = sandbox().run({"--user", "alice", "--password", "correct horse"});
    EXPECT_EQ(withoutFlag.out, "");
    EXPECT_FALSE(storedCredential(sandbox()));
}

TEST_F(EndToEnd, PlainRunArmsTheRestartWithTheStoredCredential) {
    const auto empty = sandbox().run({});
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.out, "");
    EXPECT_FALSE(sandbox().fdesetupInput());

    ASSERT_EQ(enrol("alice", "correct horse").exitCode, 0);
    std::filesystem::remove(sandbox().path() / "fdesetup-record.stdin");
    const auto plain = sandbox().run({});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.out, "Successfully authenticated with FileVault\n");
    EXPECT_EQ(sandbox().fdesetupInput(), request("alice", "correct horse"));
}

TEST_F(EndToEnd, ARefusingOrMissingToolIsAFailure) {
    ASSERT_EQ(enrol("alice", "correct horse").exitCode, 0);
    // Debug lines (the tool's output among them) are echoed only with showDebug.
    sandbox().setPreferences("<key>showDebug</key><true/>");
    const auto refused =
        sandbox().run({}, {{"FAKE_FDESETUP_END", "1"}, {"FAKE_FDESETUP_OUTPUT", "2:no such user"}});
    EXPECT_EQ(refused.exitCode, 0);
    EXPECT_EQ(refused.out, "Failed to authenticate with FileVault\n");
    EXPECT_NE(refused.err.find("no such user"), std::string::npos);

    const auto killed = sandbox().run({}, {{"FAKE_FDESETUP_END", "s9"}});
    EXPECT_EQ(killed.out, "Failed to authenticate with FileVault\n");

    sandbox().removeFdesetup();
    const auto missing = sandbox().run({});
    EXPECT_EQ(missing.exitCode, 0);
    EXPECT_EQ(missing.out, "Failed to authenticate with FileVault\n");
    EXPECT_NE(missing.err.find("Failed to run command: "), std::string::npos);
}

TEST_F(EndToEnd, APasswordThatBeginsWithADashIsGivenWithEquals) {
    sandbox().accounts().addUser("carol", "-starts-with-dash", 504);
    sandbox().accounts().write();

    const auto dashed = sandbox().run({"-s", "-u", "carol", "--password=-starts-with-dash"});
    EXPECT_EQ(dashed.out, "carol ********\nSuccessfully authenticated with FileVault\n");
    const auto stored = storedCredential(sandbox());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->password, "-starts-with-dash");
    EXPECT_EQ(sandbox().fdesetupInput(), request("carol", "-starts-with-dash"));

    const auto separate = sandbox().run({"-s", "-u", "carol", "-p", "-starts-with-dash"});
    EXPECT_EQ(separate.exitCode, 64);
}

TEST_F(EndToEnd, MarkupInTheStoredCredentialIsEscapedForTheTool) {
    sandbox().accounts().addUser("dave", "a<b&c>d\"'", 505);
    sandbox().accounts().write();
    const auto marked = enrol("dave", "a<b&c>d\"'");
    EXPECT_EQ(marked.out, "dave ********\nSuccessfully authenticated with FileVault\n");
    const auto input = sandbox().fdesetupInput();
    ASSERT_TRUE(input);
    const auto parsed = parseRequest(*input);
    ASSERT_TRUE(parsed) << *input;
    EXPECT_EQ(parsed->first, "dave");
    EXPECT_EQ(parsed->second, "a<b&c>d\"'");
}

TEST_F(EndToEnd, LogFileHoldsTimestampedLinesAndNoSecret) {
    sandbox().setPreferences("<key>showDebug</key><string>YES</string>");
    const auto result = enrol("alice", "correct horse");
    ASSERT_EQ(result.exitCode, 0);
    const auto logFile = sandbox().logFolder() / "generic.log";
    ASSERT_TRUE(std::filesystem::exists(logFile));
    const std::string log = readFile(logFile);

    const std::regex line(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d([+-]\d\d:\d\d|Z) lockstepd\(\d+\):       )"
        R"(password_daemon\.cpp:\d+ run\(\) Successfully authenticated with FileVault)");
    EXPECT_TRUE(std::regex_search(log, line)) << log;
    EXPECT_NE(log.find("setting new password success"), std::string::npos);

    // Without showDebug only errors and information reach the file.
    sandbox().setPreferences("");
    std::filesystem::remove(logFile);
    ASSERT_EQ(sandbox().run({}).out, "Successfully authenticated with FileVault\n");
    EXPECT_EQ(readFile(logFile).find("run()"), std::string::npos);

    for (const std::string& text : {log, result.out, result.err}) {
        EXPECT_EQ(text.find("correct horse"), std::string::npos);
    }
    const auto mode = std::filesystem::status(sandbox().logFolder()).permissions();
    EXPECT_EQ(mode, std::filesystem::perms(0770));
}

TEST_F(EndToEnd, UsageErrorsExit64AndHelpExits0) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"-p", "-x"}, {"--bogus"}, {"alice"}, {"--user"}}) {
        const auto result = sandbox().run(arguments);
        EXPECT_EQ(result.exitCode, 64);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("Error: ", 0), 0U) << result.err;
        EXPECT_NE(result.err.find("Usage: lockstepd"), std::string::npos);
    }
    const auto help = sandbox().run({"-s", "-u", "alice", "-p", "correct horse", "-h"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("user password to put into keychain"), std::string::npos);
    EXPECT_FALSE(storedCredential(sandbox()));
}

}  // namespace
}  // namespace lockstep::testing
