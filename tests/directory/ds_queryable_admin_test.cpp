#include <gtest/gtest.h>

#include "directory/ds_queryable_test_support.h"

namespace lockstep::testing {
namespace {

constexpr std::string_view kMarker = "dsAttrTypeNative:_tessel_promoted_to_admin";

// alice and carol administer; bob is a standard user; _svc is a system
// account even though it is in the group.
class AdminTest : public DSQueryableTest {
  protected:
    AdminTest() {
        tree.addUser("alice", "", 501)
            .addUser("bob", "", 502)
            .addUser("carol", "", 503)
            .addUser("_svc", "", 250);
        tree.addGroup("staff", 20).addGroup("admin", 80, {"alice", "carol", "_svc"});
    }
    [[nodiscard]] ODRecordRef user(const std::string& name) {
        return fetch(kODRecordTypeUsers, name);
    }
    [[nodiscard]] std::optional<std::vector<ODValue>> marker(const std::string& name) {
        const ODRecordRef record = user(name);
        const auto found = record->attributes().find(kMarker);
        if (found == record->attributes().end()) {
            return std::nullopt;
        }
        return found->second;
    }
};

TEST_F(AdminTest, IsAdmin) {
    EXPECT_TRUE(queryable.isAdmin(user("alice")));
    EXPECT_FALSE(queryable.isAdmin(user("bob")));
    directory.groupsQueryError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_FALSE(queryable.isAdmin(user("alice")));
    directory.groupsQueryError.reset();
    directory.memberError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_FALSE(queryable.isAdmin(user("alice")));
}

TEST_F(AdminTest, Listings) {
    EXPECT_EQ(names(queryable.getAllAdminUsers()), (std::vector<std::string>{"alice", "carol"}));
    EXPECT_EQ(names(queryable.getAllStandardUsers()), (std::vector<std::string>{"bob"}));
    EXPECT_FALSE(capture.contains("error when looking for admin group membership"));
}

TEST_F(AdminTest, FailingMembershipTestFailsOnlyTheAdminListing) {
    directory.memberError = ODError(kODErrorDaemonError, "directory down");
    try {
        (void)queryable.getAllAdminUsers();
        FAIL() << "no error";
    } catch (const ODError& error) {
        EXPECT_EQ(error.code(), kODErrorDaemonError);
    }
    EXPECT_EQ(capture.lines(kLogLevelDebug).back().text,
              "error when looking for admin group membership");
    EXPECT_EQ(names(queryable.getAllStandardUsers()),
              (std::vector<std::string>{"alice", "bob", "carol"}));
}

TEST_F(AdminTest, ListingFailureIsThrownOn) {
    directory.usersQueryError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_THROW((void)queryable.getAllAdminUsers(), ODError);
    EXPECT_THROW((void)queryable.getAllStandardUsers(), ODError);
}

TEST_F(AdminTest, FailingGroupLookupKeepsEveryUserInBothListings) {
    directory.groupsQueryError = ODError(kODErrorDaemonError, "directory down");
    const std::vector<std::string> everyone{"alice", "bob", "carol"};
    EXPECT_EQ(names(queryable.getAllAdminUsers()), everyone);
    EXPECT_EQ(names(queryable.getAllStandardUsers()), everyone);
}

TEST_F(AdminTest, MakeAdminAddsMembershipAndMarker) {
    ASSERT_TRUE(queryable.makeAdmin(user("bob")));
    EXPECT_NE(readFile(tree.etc("group")).find("admin:x:80:alice,carol,_svc,bob\n"),
              std::string::npos);
    EXPECT_TRUE(queryable.isAdmin(user("bob")));
    EXPECT_EQ(marker("bob"), (std::vector<ODValue>{std::string("1")}));
    EXPECT_EQ(names(queryable.getAllStandardUsers()), std::vector<std::string>{});
    EXPECT_TRUE(osLogged(LogType::Debug, "Find the administrators group"));
    EXPECT_TRUE(osLogged(LogType::Debug, "Adding user to administrators group"));
}

TEST_F(AdminTest, MakeAdminSucceedsWhenOnlyTheMarkerFails) {
    directory.setValueError = ODError(kODErrorRecordPermissionError, "read-only");
    EXPECT_TRUE(queryable.makeAdmin(user("bob")));
    EXPECT_TRUE(queryable.isAdmin(user("bob")));
    EXPECT_EQ(marker("bob"), std::nullopt);
}

TEST_F(AdminTest, MakeAdminFailureLeavesNoMarker) {
    directory.addMemberError = ODError(kODErrorRecordPermissionError, "read-only");
    EXPECT_FALSE(queryable.makeAdmin(user("bob")));
    EXPECT_EQ(directory.setValueCalls, 0);
    EXPECT_EQ(marker("bob"), std::nullopt);
    EXPECT_TRUE(osLogged(LogType::Error, "Unable to add user to administrators group: read-only"));

    directory.addMemberError.reset();
    directory.groupsQueryError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_FALSE(queryable.makeAdmin(user("bob")));
    EXPECT_TRUE(
        osLogged(LogType::Error, "Unable to add user to administrators group: directory down"));
    EXPECT_EQ(directory.setValueCalls, 0);
}

TEST_F(AdminTest, RemoveAdminTakesTheUserOutOfTheGroup) {
    ASSERT_TRUE(queryable.removeAdmin(user("carol")));
    EXPECT_FALSE(queryable.isAdmin(user("carol")));
    EXPECT_NE(readFile(tree.etc("group")).find("admin:x:80:alice,_svc\n"), std::string::npos);
    EXPECT_TRUE(osLogged(LogType::Debug, "Remove user to administrators group"));

    // alice is now the last administrator among the non-system users.
    capture.clear();
    const std::string before = readFile(tree.etc("group"));
    EXPECT_FALSE(queryable.removeAdmin(user("alice")));
    EXPECT_FALSE(queryable.removeAdmin(user("bob")));
    EXPECT_EQ(capture.count("Will not remove last admin!!"), 2U);
    EXPECT_EQ(capture.lines(kLogLevelError).front().text, "Will not remove last admin!!");
    EXPECT_EQ(readFile(tree.etc("group")), before);
    EXPECT_EQ(directory.removeMemberCalls, 1);
}

TEST_F(AdminTest, RemoveAdminOfStandardUserChangesNothing) {
    const std::string before = readFile(tree.etc("group"));
    EXPECT_TRUE(queryable.removeAdmin(user("bob")));
    EXPECT_EQ(directory.removeMemberCalls, 0);
    EXPECT_EQ(readFile(tree.etc("group")), before);
}

TEST_F(AdminTest, RemoveAdminFailures) {
    directory.usersQueryError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_FALSE(queryable.removeAdmin(user("carol")));
    EXPECT_TRUE(logged(kLogLevelError, "removeAdmin(_:)", "Error when getting all admin users"));
    directory.usersQueryError.reset();

    directory.removeMemberError = ODError(kODErrorRecordPermissionError, "read-only");
    EXPECT_FALSE(queryable.removeAdmin(user("carol")));
    EXPECT_TRUE(osLogged(LogType::Error, "Unable to add user to administrators group: read-only"));
    EXPECT_TRUE(queryable.isAdmin(user("carol")));
}

// Without an "admin" group.
class NoAdminGroupTest : public DSQueryableTest {
  protected:
    NoAdminGroupTest() {
        tree.addUser("alice", "", 501).addUser("bob", "", 502);
        tree.addGroup("staff", 20, {"alice"});
    }
};

TEST_F(NoAdminGroupTest, MakeAdminChangesNothingAndFails) {
    const ODRecordRef alice = fetch(kODRecordTypeUsers, "alice");
    const std::string group = readFile(tree.etc("group"));
    const std::string gshadow = readFile(tree.etc("gshadow"));

    EXPECT_FALSE(queryable.makeAdmin(alice));

    EXPECT_EQ(directory.addMemberCalls, 0);
    EXPECT_EQ(directory.setValueCalls, 0);
    EXPECT_EQ(readFile(tree.etc("group")), group);
    EXPECT_EQ(readFile(tree.etc("gshadow")), gshadow);
    EXPECT_FALSE(std::filesystem::exists(tree.root() / "var"));
    bool reported = false;
    for (const Entry& entry : osEntries()) {
        reported = reported ||
                   (entry.type == LogType::Error &&
                    entry.message.starts_with("Unable to add user to administrators group: ") &&
                    entry.message.find("admin") != std::string::npos &&
                    entry.message.find("does not exist") != std::string::npos);
    }
    EXPECT_TRUE(reported);
}

TEST_F(NoAdminGroupTest, NobodyIsAdminButListingsKeepEveryone) {
    EXPECT_FALSE(queryable.isAdmin(fetch(kODRecordTypeUsers, "alice")));
    const std::vector<std::string> everyone{"alice", "bob"};
    EXPECT_EQ(names(queryable.getAllAdminUsers()), everyone);
    EXPECT_EQ(names(queryable.getAllStandardUsers()), everyone);
    // Two "administrators" in the listing, and alice is not one in the group.
    EXPECT_TRUE(queryable.removeAdmin(fetch(kODRecordTypeUsers, "alice")));
}

}  // namespace
}  // namespace lockstep::testing
