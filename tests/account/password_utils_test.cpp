#include "account/password_utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "directory/ds_queryable_errors.h"
#include "platform/context.h"
#include "platform/directory/local_directory.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

using Case = LocalPasswordResult::Case;

constexpr std::string_view kCheck = "isLocalPasswordValid(userName:userPass:)";
constexpr std::string_view kLookup = "getLocalRecord(_:)";
constexpr std::string_view kNotLocalUserText =
    "The operation couldn\u2019t be completed. (lockstepd.DSQueryableErrors error 0.)";

class PasswordUtilsTest : public ::testing::Test {
  protected:
    PasswordUtilsTest() {
        tree.addUser("alice", "wonder", 501)
            .addUser("locked", "pw", 502, AccountState::locked)
            .addUser("disabled", "pw", 503, AccountState::disabled)
            .addUser("expired", "pw", 504, AccountState::expired)
            .addUser("inactive", "pw", 505, AccountState::inactive);
    }

    [[nodiscard]] LocalPasswordResult check(std::string_view name, std::string_view password) {
        return PasswordUtils::isLocalPasswordValid(context, name, password);
    }
    // Index of the line of this level whose function and message are exactly these.
    [[nodiscard]] std::optional<std::size_t> lineOf(std::int64_t level, std::string_view function,
                                                    std::string_view message) const {
        const std::string tail =
            std::string(" ") + std::string(function) + " " + std::string(message);
        const auto& lines = capture.lines();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].level == level && lines[i].text.ends_with(tail)) {
                return i;
            }
        }
        return std::nullopt;
    }

    LogCapture capture;
    TestDirectory tree;
    LocalDirectoryService real{tree.root(), std::chrono::milliseconds(100)};
    FaultyDirectoryService directory{real};
    UnavailableKeychainService keychain;
    Context context{keychain, directory, "/usr/bin/fdesetup", {}, "/"};
};

TEST(LocalPasswordResultTest, CasesAndText) {
    EXPECT_EQ(static_cast<int>(Case::success), 0);
    EXPECT_EQ(static_cast<int>(Case::otherError), 4);
    EXPECT_EQ(LocalPasswordResult::otherError("x"), LocalPasswordResult::otherError("x"));
    EXPECT_FALSE(LocalPasswordResult::otherError("x") == LocalPasswordResult::otherError("y"));
    EXPECT_FALSE(LocalPasswordResult::accountLocked() == LocalPasswordResult::success());
    EXPECT_EQ(LocalPasswordResult::success().text(), "");
}

TEST_F(PasswordUtilsTest, CorrectPasswordIsSuccess) {
    EXPECT_EQ(check("alice", "wonder"), LocalPasswordResult::success());
    const std::vector<std::optional<std::size_t>> order{
        lineOf(kLogLevelDebug, kCheck, "getting local record"),
        lineOf(kLogLevelDebug, kLookup, "Building OD query for name alice"),
        lineOf(kLogLevelDebug, kCheck, "checking password"),
        lineOf(kLogLevelDebug, kCheck, "checking password done, returning success"),
    };
    for (std::size_t i = 0; i < order.size(); ++i) {
        ASSERT_TRUE(order[i].has_value()) << i << "\n" << capture.dump();
        if (i > 0) {
            EXPECT_LT(*order[i - 1], *order[i]);
        }
    }
    EXPECT_TRUE(capture.contains(kLogLevelDebug,
                                 std::string(kLookup) + " Found local user: <ODRecord: 0x"));
    // The password never reaches the log.
    EXPECT_FALSE(capture.contains("wonder"));
}

// What the real directory says about each account state.
TEST_F(PasswordUtilsTest, AccountStatesOfTheAccountFiles) {
    const struct {
        const char* name;
        const char* password;
        LocalPasswordResult result;
        std::string message;
    } cases[] = {
        {"alice", "wrong", LocalPasswordResult::incorrectPassword(),
         "Tested password for user account: alice is not valid."},
        {"alice", "", LocalPasswordResult::incorrectPassword(),
         "Tested password for user account: alice is not valid."},
        {"locked", "pw", LocalPasswordResult::accountLocked(),
         "No Account for user: locked is not locked."},
        {"disabled", "pw", LocalPasswordResult::accountLocked(),
         "No local account for user: disabled is not valid. Local account disabled. Please "
         "wait a bit and try again."},
        {"expired", "pw", LocalPasswordResult::accountDoesNotExist(),
         "throw error:Account expired:5302"},
        {"inactive", "pw", LocalPasswordResult::accountDoesNotExist(),
         "throw error:Account inactive:5303"},
    };
    for (const auto& c : cases) {
        capture.clear();
        EXPECT_EQ(check(c.name, c.password), c.result) << c.name;
        EXPECT_TRUE(lineOf(kLogLevelDebug, kCheck, c.message).has_value()) << c.name << "\n"
                                                                           << capture.dump();
    }
}

// Codes forced from the directory, each with its line and verdict.
TEST_F(PasswordUtilsTest, EveryVerificationCode) {
    const struct {
        std::int64_t code;
        LocalPasswordResult result;
        std::string message;
    } cases[] = {
        {5000, LocalPasswordResult::incorrectPassword(),
         "Tested password for user account: alice is not valid."},
        {5100, LocalPasswordResult::otherError("credential type not supported"),
         "credential type not supported: alice."},
        {5300, LocalPasswordResult::accountDoesNotExist(),
         "No local account for user: alice is not valid."},
        {5301, LocalPasswordResult::accountLocked(),
         "No local account for user: alice is not valid. Local account disabled. Please wait a "
         "bit and try again."},
        {5302, LocalPasswordResult::accountDoesNotExist(), "throw error:refused:5302"},
        {5303, LocalPasswordResult::accountDoesNotExist(), "throw error:refused:5303"},
        {5304, LocalPasswordResult::accountLocked(),
         "No local account for user: alice is not valid. Local account temporarily locked. "
         "Please wait a bit and try again."},
        {5305, LocalPasswordResult::accountLocked(), "No Account for user: alice is not locked."},
        {5101, LocalPasswordResult::accountDoesNotExist(), "throw error:refused:5101"},
        {-7, LocalPasswordResult::accountDoesNotExist(), "throw error:refused:-7"},
    };
    for (const auto& c : cases) {
        capture.clear();
        directory.verifyError = ODError(c.code, "refused");
        EXPECT_EQ(check("alice", "wonder"), c.result) << c.code;
        EXPECT_TRUE(lineOf(kLogLevelDebug, kCheck, c.message).has_value()) << c.code << "\n"
                                                                           << capture.dump();
        // The verdict is logged once, and nothing says success.
        EXPECT_FALSE(capture.contains("returning success"));
    }
    directory.verifyError = ODError(5100, "refused");
    EXPECT_EQ(check("alice", "wonder").text(), "credential type not supported");
    EXPECT_EQ(check("alice", "wonder").text().size(), 29U);
}

TEST_F(PasswordUtilsTest, EmptyPasswordIsStillSent) {
    directory.verifyError = ODError(5000, "invalid");
    EXPECT_EQ(check("alice", ""), LocalPasswordResult::incorrectPassword());
    EXPECT_EQ(directory.verifyCalls, 1);
}

TEST_F(PasswordUtilsTest, MissingAccount) {
    EXPECT_EQ(check("mallory", "pw"), LocalPasswordResult::accountDoesNotExist());
    const auto info =
        lineOf(kLogLevelInfo, kLookup, "No local user found. Passing on demobilizing allow login.");
    const auto error =
        lineOf(kLogLevelError, kLookup,
               "ODError while trying to check for local user: " + std::string(kNotLocalUserText));
    const auto debug =
        lineOf(kLogLevelDebug, kCheck, "throw error:" + std::string(kNotLocalUserText) + ":0");
    ASSERT_TRUE(info && error && debug) << capture.dump();
    EXPECT_LT(*info, *error);
    EXPECT_LT(*error, *debug);
    EXPECT_EQ(directory.verifyCalls, 0);
}

TEST_F(PasswordUtilsTest, AmbiguousAccount) {
    tree.addUser("alice", "other", 601);
    EXPECT_EQ(check("alice", "wonder"), LocalPasswordResult::accountDoesNotExist());
    EXPECT_TRUE(lineOf(kLogLevelError, kLookup, "More than one local user found for name."));
    EXPECT_TRUE(capture.contains(kLogLevelDebug, "DSQueryableErrors error 1.):1"));
    EXPECT_EQ(directory.verifyCalls, 0);
}

TEST_F(PasswordUtilsTest, DirectoryFailures) {
    directory.nodeError = ODError(kODErrorNodeUnknownName, "no node");
    EXPECT_EQ(PasswordUtils::localNode(context), nullptr);
    EXPECT_TRUE(lineOf(kLogLevelDebug, "localNode", "ODError creating local node."));
    capture.clear();
    EXPECT_EQ(check("alice", "wonder"), LocalPasswordResult::accountDoesNotExist());
    // The query without a node is what fails, with the real service's error.
    EXPECT_TRUE(
        capture.containsInOrder({"ODError creating local node.",
                                 "ODError while trying to check for local user: ", "throw error:"}))
        << capture.dump();
    EXPECT_TRUE(capture.contains(kLogLevelDebug, ":2000"));

    directory.nodeError.reset();
    directory.resultsError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_EQ(check("alice", "wonder"), LocalPasswordResult::accountDoesNotExist());
    EXPECT_TRUE(lineOf(kLogLevelDebug, kCheck, "throw error:directory down:10002"));

    directory.resultsError.reset();
    directory.verifyThrows = "no memory";
    EXPECT_EQ(check("alice", "wonder"), LocalPasswordResult::accountDoesNotExist());
    EXPECT_TRUE(lineOf(kLogLevelDebug, kCheck, "throw error:no memory:-1"));
}

TEST_F(PasswordUtilsTest, GetLocalRecord) {
    EXPECT_EQ(PasswordUtils::getLocalRecord(context, "alice")->recordName(), "alice");
    try {
        (void)PasswordUtils::getLocalRecord(context, "mallory");
        FAIL() << "no error";
    } catch (const DSQueryableErrors& error) {
        EXPECT_EQ(error, DSQueryableErrors::notLocalUser());
    }
    directory.usersQueryError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_THROW((void)PasswordUtils::getLocalRecord(context, "alice"), ODError);
}

}  // namespace
}  // namespace lockstep::testing
