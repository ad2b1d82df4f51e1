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

using Lines = std::vector<LoggedLine>;
constexpr std::int64_t kError = kLogLevelError, kInfo = kLogLevelInfo, kDebug = kLogLevelDebug;

// The log calls' function names, each with the space before the message.
const std::string kCheck = "isLocalPasswordValid(userName:userPass:) ";
const std::string kLookup = "getLocalRecord(_:) ";
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
    // Every logged line as its level and "function message", without the
    // file and line number before them.
    [[nodiscard]] Lines said() const {
        Lines lines;
        for (const LoggedLine& line : capture.lines()) {
            const auto start = line.text.find(' ', line.text.find_first_not_of(' ')) + 1;
            lines.push_back({line.level, line.text.substr(start)});
        }
        return lines;
    }
    [[nodiscard]] LoggedLine last() const { return said().empty() ? LoggedLine{} : said().back(); }

    LogCapture capture;
    TestDirectory tree;
    LocalDirectoryService real{tree.root(), std::chrono::milliseconds(100)};
    FaultyDirectoryService directory{real};
    UnavailableKeychainService keychain;
    Context context{keychain, directory, "/usr/bin/fdesetup", {}, "/"};
};

TEST_F(PasswordUtilsTest, CorrectPasswordIsSuccess) {
    EXPECT_EQ(check("alice", "wonder"), R::success());
    Lines lines = said();
    ASSERT_EQ(lines.size(), 5U);
    EXPECT_TRUE(lines[2].text.starts_with(kLookup + "Found local user: <ODRecord: 0x")) << lines[2];
    lines.erase(lines.begin() + 2);
    EXPECT_EQ(lines, (Lines{{kDebug, kCheck + "getting local record"},
                            {kDebug, kLookup + "Building OD query for name alice"},
                            {kDebug, kCheck + "checking password"},
                            {kDebug, kCheck + "checking password done, returning success"}}));
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
    EXPECT_EQ(
        said(),
        (Lines{{kDebug, kCheck + "getting local record"},
               {kDebug, kLookup + "Building OD query for name mallory"},
               {kInfo, kLookup + "No local user found. Passing on demobilizing allow login."},
               {kError, kLookup + "ODError while trying to check for local user: " + dsError(0)},
               {kDebug, kCheck + "throw error:" + dsError(0) + ":0"}}));

    capture.clear();
    tree.addUser("alice", "other", 601);
    EXPECT_EQ(check("alice", "wonder"), R::accountDoesNotExist());
    const Lines lines = said();
    ASSERT_EQ(lines.size(), 5U);
    EXPECT_EQ(lines[2], (LoggedLine{kError, kLookup + "More than one local user found for name."}));
    EXPECT_EQ(lines[4], (LoggedLine{kDebug, kCheck + "throw error:" + dsError(1) + ":1"}));
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
