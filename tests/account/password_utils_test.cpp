#include "account/password_utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "directory/ds_queryable_errors.h"
#include "platform/context.h"
#include "platform/directory/local_directory.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

using R = LocalPasswordResult;

constexpr std::int64_t kDebug = kLogLevelDebug;

// The log call's function name, with the space before the message.
const std::string kCheck = "isLocalPasswordValid(userName:userPass:) ";
std::string dsError(int code) {
    return "The operation couldn\u2019t be completed. (lockstepd.DSQueryableErrors error " +
           std::to_string(code) + ".)";
}
const std::string kLocked = "No local account for user: alice is not valid. Local account ";

class PasswordUtilsTest : public ::testing::Test {
  protected:
    PasswordUtilsTest() {
        tree.addUser("alice", "wonder", 501).addUser("expired", "pw", 504, AccountState::expired);
    }

    [[nodiscard]] R check(std::string_view name, std::string_view password) {
        return PasswordUtils::isLocalPasswordValid(context, name, password);
    }
    // The last logged line as its level and "function message", without the
    // file and line number before them.
    [[nodiscard]] LoggedLine last() const {
        const auto lines = capture.lines();
        if (lines.empty()) {
            return {};
        }
        const std::string& text = lines.back().text;
        return {lines.back().level, text.substr(text.find(' ', text.find_first_not_of(' ')) + 1)};
    }

    LogCapture capture;
    TestDirectory tree;
    LocalDirectoryService real{tree.root(), std::chrono::milliseconds(100)};
    FaultyDirectoryService directory{real};
    UnavailableKeychainService keychain;
    Context context{keychain, directory, "/usr/bin/fdesetup", {}, "/"};
};

TEST_F(PasswordUtilsTest, CorrectPasswordIsSuccess) {
    EXPECT_EQ(check("alice", "wonder"), R::success());
    EXPECT_EQ(last(), (LoggedLine{kDebug, kCheck + "checking password done, returning success"}));
    EXPECT_FALSE(capture.contains("wonder"));  // the password never reaches the log
}

// What the real directory says (code 0; its account states are tested with
// the directory itself), and every code forced from the directory: each with
// its verdict and its debug line.
TEST_F(PasswordUtilsTest, EveryAccountStateAndVerificationCode) {
    const std::string wrong = "Tested password for user account: alice is not valid.";
    const std::string wait = ". Please wait a bit and try again.";
    const struct {
        std::int64_t code;
        R result;
        std::string message;
        const char* name = "alice";
        const char* password = "wonder";
    } cases[] = {
        {0, R::incorrectPassword(), wrong, "alice", ""},  // an empty password is still sent
        {0, R::accountDoesNotExist(), "throw error:Account expired:5302", "expired"},
        {5000, R::incorrectPassword(), wrong},
        {5100, R::otherError("credential type not supported"),
         "credential type not supported: alice."},
        {5300, R::accountDoesNotExist(), "No local account for user: alice is not valid."},
        {5301, R::accountLocked(), kLocked + "disabled" + wait},
        {5302, R::accountDoesNotExist(), "throw error:refused:5302"},
        {5303, R::accountDoesNotExist(), "throw error:refused:5303"},
        {5304, R::accountLocked(), kLocked + "temporarily locked" + wait},
        {5305, R::accountLocked(), "No Account for user: alice is not locked."},
        {5101, R::accountDoesNotExist(), "throw error:refused:5101"},
        {-7, R::accountDoesNotExist(), "throw error:refused:-7"},
    };
    for (const auto& c : cases) {
        capture.clear();
        directory.verifyError =
            c.code == 0 ? std::nullopt : std::optional(ODError(c.code, "refused"));
        EXPECT_EQ(check(c.name, c.password), c.result) << c.name << c.code;
        EXPECT_EQ(last(), (LoggedLine{kDebug, kCheck + c.message})) << c.code;
    }
    EXPECT_EQ(directory.verifyCalls, 12);
}

TEST_F(PasswordUtilsTest, MissingOrAmbiguousAccount) {
    EXPECT_EQ(check("mallory", "pw"), R::accountDoesNotExist());
    EXPECT_EQ(last(), (LoggedLine{kDebug, kCheck + "throw error:" + dsError(0) + ":0"}));
    tree.addUser("alice", "other", 601);
    EXPECT_EQ(check("alice", "wonder"), R::accountDoesNotExist());
    EXPECT_EQ(last(), (LoggedLine{kDebug, kCheck + "throw error:" + dsError(1) + ":1"}));
    EXPECT_EQ(directory.verifyCalls, 0);
}

TEST_F(PasswordUtilsTest, DirectoryFailures) {
    // getLocalRecord throws what isLocalPasswordValid turns into a result.
    EXPECT_EQ(PasswordUtils::getLocalRecord(context, "alice")->recordName(), "alice");
    EXPECT_THROW((void)PasswordUtils::getLocalRecord(context, "mallory"), DSQueryableErrors);
    directory.usersQueryError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_THROW((void)PasswordUtils::getLocalRecord(context, "alice"), ODError);
    directory.usersQueryError.reset();

    directory.nodeError = ODError(kODErrorNodeUnknownName, "no node");
    EXPECT_EQ(PasswordUtils::localNode(context), nullptr);
    EXPECT_EQ(last(), (LoggedLine{kDebug, "localNode ODError creating local node."}));
    EXPECT_EQ(check("alice", "wonder"), R::accountDoesNotExist());
    // The query without a node is what fails, with the real service's error.
    EXPECT_TRUE(capture.contains(kDebug, ":2000")) << capture.dump();

    directory.nodeError.reset();
    directory.resultsError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_EQ(check("alice", "wonder"), R::accountDoesNotExist());
    EXPECT_EQ(last(), (LoggedLine{kDebug, kCheck + "throw error:directory down:10002"}));

    directory.resultsError.reset();
    directory.verifyThrows = "no memory";
    EXPECT_EQ(check("alice", "wonder"), R::accountDoesNotExist());
    EXPECT_EQ(last(), (LoggedLine{kDebug, kCheck + "throw error:no memory:-1"}));
}

}  // namespace
}  // namespace lockstep::testing
