#include "account/password_utils.h"

#include <gtest/gtest.h>

#include "directory/ds_queryable_errors.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

using R = LocalPasswordResult;
using namespace std::string_literals;

class PasswordUtilsTest : public ::testing::Test, public DirectoryContext {
  protected:
    PasswordUtilsTest() {
        tree.addUser("alice", "wonder", 501).addUser("expired", "pw", 504, AccountState::expired);
    }

    // The result of a check, and the message of the debug line it logged last.
    [[nodiscard]] std::pair<R, std::string> check(std::string_view name,
                                                  std::string_view password = "wonder") {
        capture.clear();
        const R result = PasswordUtils::isLocalPasswordValid(context, name, password);
        const auto lines = capture.lines();
        const std::string text = lines.empty() ? "" : lines.back().text;
        EXPECT_TRUE(lines.empty() || lines.back().level == kLogLevelDebug) << text;
        EXPECT_EQ(text.find("wonder"), std::string::npos);  // the password never reaches the log
        const std::string prefix = "isLocalPasswordValid(userName:userPass:) ";
        return {result, text.substr(text.find(prefix) + prefix.size())};
    }

    LogCapture capture;
};

// What the real directory says (code 0; its account states are tested with
// the directory itself), and every code forced from the directory.
TEST_F(PasswordUtilsTest, EveryAccountStateAndVerificationCode) {
    const std::string wrong = "Tested password for user account: alice is not valid.";
    const std::string locked = "No local account for user: alice is not valid. Local account ";
    const std::string wait = ". Please wait a bit and try again.";
    const struct {
        std::int64_t code;
        R result;
        std::string message;
        const char* name = "alice";
        const char* password = "wonder";
    } cases[] = {
        {0, R::success(), "checking password done, returning success"},
        {0, R::incorrectPassword(), wrong, "alice", ""},  // an empty password is still sent
        {0, R::accountDoesNotExist(), "throw error:Account expired:5302", "expired"},
        {5000, R::incorrectPassword(), wrong},
        {5100, R::otherError("credential type not supported"),
         "credential type not supported: alice."},
        {5300, R::accountDoesNotExist(), "No local account for user: alice is not valid."},
        {5301, R::accountLocked(), locked + "disabled" + wait},
        {5302, R::accountDoesNotExist(), "throw error:refused:5302"},
        {5304, R::accountLocked(), locked + "temporarily locked" + wait},
        {5305, R::accountLocked(), "No Account for user: alice is not locked."},
        {-7, R::accountDoesNotExist(), "throw error:refused:-7"}};
    for (const auto& c : cases) {
        directory.fail.erase("verify");
        if (c.code != 0) directory.fail.emplace("verify", ODError(c.code, "refused"));
        EXPECT_EQ(check(c.name, c.password), std::pair(c.result, c.message)) << c.code;
    }
}

TEST_F(PasswordUtilsTest, MissingAmbiguousOrUnreachableAccount) {
    const std::string error =
        "throw error:The operation couldn\u2019t be completed. "
        "(lockstepd.DSQueryableErrors error ";
    EXPECT_EQ(check("mallory"), std::pair(R::accountDoesNotExist(), error + "0.):0"));
    directory.fail.insert_or_assign("results", ODError(kODErrorDaemonError, "directory down"));
    EXPECT_EQ(check("alice"),
              std::pair(R::accountDoesNotExist(), "throw error:directory down:10002"s));
    directory.fail.erase("results");
    directory.fail.insert_or_assign("node", ODError(kODErrorNodeUnknownName, "no node"));
    EXPECT_EQ(PasswordUtils::localNode(context), nullptr);
    EXPECT_TRUE(capture.contains(kLogLevelDebug, "localNode ODError creating local node."));
    directory.fail.erase("node");
    tree.addUser("alice", "other", 601);
    EXPECT_EQ(check("alice"), std::pair(R::accountDoesNotExist(), error + "1.):1"));
    EXPECT_EQ(directory.calls["verify"], 0);
}

}  // namespace
}  // namespace lockstep::testing
