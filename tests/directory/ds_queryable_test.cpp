#include "directory/ds_queryable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "platform/context.h"
#include "platform/directory/local_directory.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

using Names = std::vector<std::string>;
using UIDAndHome = DSQueryable::UIDAndHome;
using enum LogType;

const std::string kCheckingFailed = "ODError while trying to check for local user: ";
const std::string kUnableToAdd = "Unable to add user to administrators group: ";
const std::string kUID(kODAttributeTypeUniqueID);
const std::string kHome(kODAttributeTypeNFSHomeDirectory);
const ODError kDown(kODErrorDaemonError, "directory down");
const ODError kReadOnly(kODErrorRecordPermissionError, "read-only");
const ODError kNotFound(kODErrorRecordAttributeNotFound, "no such attribute");

class Queryable final : public DSQueryable {
  public:
    explicit Queryable(const Context& context) : DSQueryable(context) {}
};

// A real directory over a temporary account tree, behind a double that can
// be told to fail. alice and carol administer; bob is a standard user, and
// locked; _svc is a system account even though it is in the group.
class DSQueryableTest : public ::testing::Test {
  protected:
    explicit DSQueryableTest(bool adminGroup = true) {
        tree.addUser("alice", "wonder", 501)
            .addUser("bob", "builder", 502, AccountState::locked)
            .addUser("carol", "", 503)
            .addUser("_svc", "", 250);
        tree.addGroup("staff", 20, {"alice", "bob"});
        // Without an administrators group, the same members in another.
        tree.addGroup(adminGroup ? "admin" : "wheel", 80, {"alice", "carol", "_svc"});
    }

    // How often a message went straight to the unified system log.
    [[nodiscard]] long said(LogType type, const std::string& message) const {
        return std::ranges::count(capture.systemEntries(),
                                  RecordingSystemLog::Entry{type, message});
    }
    [[nodiscard]] static Names names(const std::vector<ODRecordRef>& records) {
        Names result;
        for (const ODRecordRef& record : records) {
            result.push_back(record->recordName());
        }
        return result;
    }
    [[nodiscard]] ODRecordRef user(std::string_view name) const {
        return queryable.getLocalRecord(name);
    }

    LogCapture capture;
    TestDirectory tree;
    LocalDirectoryService real{tree.root(), std::chrono::milliseconds(100)};
    FaultyDirectoryService directory{real};
    UnavailableKeychainService keychain;
    Context context{keychain, directory, "/usr/bin/fdesetup", {}, "/"};
    Queryable queryable{context};
};

TEST_F(DSQueryableTest, RecordLookupsAndPasswordCheck) {
    EXPECT_EQ(user("alice")->recordName(), "alice");
    EXPECT_TRUE(queryable.isUserLocal("alice"));
    EXPECT_THROW((void)user("mallory"), DSQueryableErrors);
    EXPECT_FALSE(queryable.isUserLocal("mallory"));
    EXPECT_EQ(queryable.getLocalGroupRecord("staff")->recordName(), "staff");
    EXPECT_THROW((void)queryable.getLocalGroupRecord("wheel"), DSQueryableErrors);
    // At most one group is asked for, so a second of the same name is unseen.
    tree.addGroup("staff", 21);
    EXPECT_EQ(queryable.getLocalGroupRecord("staff")->recordName(), "staff");

    // A wrong password is false; every other refusal, and a missing account, is thrown on.
    EXPECT_TRUE(queryable.isLocalPasswordValid("alice", "wonder"));
    EXPECT_FALSE(queryable.isLocalPasswordValid("alice", "wrong"));
    EXPECT_THROW((void)queryable.isLocalPasswordValid("bob", "builder"), ODError);
    EXPECT_THROW((void)queryable.isLocalPasswordValid("mallory", "x"), DSQueryableErrors);

    tree.addUser("alice", "again", 601);
    EXPECT_THROW((void)user("alice"), DSQueryableErrors);
    EXPECT_EQ(said(Default, "More than one local user found for name."), 1);
    EXPECT_THROW((void)queryable.isUserLocal("alice"), DSQueryableErrors);

    directory.groupsQueryError = kDown;
    EXPECT_THROW((void)queryable.getLocalGroupRecord("staff"), ODError);
    EXPECT_EQ(said(Error, kCheckingFailed + "directory down"), 1);
    directory.nodeError = ODError(kODErrorNodeUnknownName, "no local node");
    EXPECT_EQ(queryable.localNode(), nullptr);
    EXPECT_EQ(said(Error, "ODError creating local node."), 1);
    EXPECT_THROW((void)queryable.isUserLocal("alice"), ODError);
}

TEST_F(DSQueryableTest, NonSystemUsersHaveAUIDAbove500AndNoUnderscore) {
    EXPECT_EQ(names(queryable.getAllLocalUserRecords()), (Names{"alice", "bob", "carol", "_svc"}));
    // The UID counts as whole text, sign allowed.
    tree.addUser("root", "", 0).addUser("edge", "", 500).addUser("_late", "", 900);
    const std::vector<std::pair<std::string, std::vector<ODValue>>> uids{
        {"text", {"abc"}},           {"plus", {"+700"}}, {"minus", {"-700"}},
        {"bytes", {toBytes("700")}}, {"none", {}},       {"huge", {"99999999999999999999"}}};
    std::uint32_t uid = 600;
    for (const auto& [name, values] : uids) {
        tree.addUser(name, "", uid++);
        directory.values[{name, kUID}] = values;
    }
    EXPECT_EQ(names(queryable.getAllNonSystemUsers()), (Names{"alice", "bob", "carol", "plus"}));
    // Failures stop the listing.
    directory.valueErrors.insert_or_assign({"bob", kUID}, kNotFound);
    EXPECT_THROW((void)queryable.getAllNonSystemUsers(), ODError);
    EXPECT_EQ(said(Error, "ODError while finding local users."), 1);
}

TEST_F(DSQueryableTest, CheckUIDandHome) {
    EXPECT_EQ(queryable.checkUIDandHome("alice"), UIDAndHome(501U, std::string("/Users/alice")));
    EXPECT_EQ(queryable.checkUIDandHome("mallory"), UIDAndHome());  // no account, not root
    EXPECT_TRUE(capture.lines().empty());
    // The whole UID text is read as a number; anything else is no UID.
    const std::vector<std::pair<std::vector<ODValue>, std::optional<std::uint32_t>>> cases{
        {{"0"}, 0U},
        {{"501.7"}, 501U},
        {{"+501"}, 501U},
        {{"4294967295"}, 4294967295U},
        {{"abc"}, {}},
        {{"-2"}, {}},
        {{"-0.5"}, {}},
        {{"4294967296"}, {}},
        {{"1e300"}, {}},
        {{" 501"}, {}},
        {{"501 "}, {}},
        {{"501x"}, {}},
        {{""}, {}},
        {{"nan"}, {}},
        {{"inf"}, {}},
        {{}, {}},
        {{toBytes("501")}, {}}};
    for (const auto& [values, uid] : cases) {
        directory.values[{"alice", kUID}] = values;
        EXPECT_EQ(queryable.checkUIDandHome("alice"), UIDAndHome(uid, std::string("/Users/alice")))
            << ::testing::PrintToString(values);
    }
    directory.values.clear();
    // Two records: the first is used.
    tree.addUser("alice", "", 777);
    EXPECT_EQ(queryable.checkUIDandHome("alice").first, 501U);
    EXPECT_TRUE(capture.contains(kLogLevelError, "checkUIDandHome(name:) More than one record. "));

    // Home values that are not all text give no home; a failed read gives nothing.
    directory.values[{"carol", kHome}] = {std::string("/Users/c"), toBytes("x")};
    EXPECT_EQ(queryable.checkUIDandHome("carol"), UIDAndHome(503U, std::nullopt));
    directory.valueErrors.insert_or_assign({"carol", kHome}, kNotFound);
    EXPECT_EQ(queryable.checkUIDandHome("carol"), UIDAndHome());
    EXPECT_TRUE(capture.contains(kLogLevelError, "checkUIDandHome(name:) Unable to get home."));
    // Directory failures give nothing and log nothing.
    capture.clear();
    directory.resultsError = kDown;
    EXPECT_EQ(queryable.checkUIDandHome("carol"), UIDAndHome());
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(DSQueryableTest, IsAdminAndTheListings) {
    const ODRecordRef alice = user("alice");
    EXPECT_TRUE(queryable.isAdmin(alice));
    EXPECT_FALSE(queryable.isAdmin(user("bob")));
    EXPECT_EQ(names(queryable.getAllAdminUsers()), (Names{"alice", "carol"}));
    EXPECT_EQ(names(queryable.getAllStandardUsers()), (Names{"bob"}));
    EXPECT_TRUE(capture.lines().empty());

    // A failing group lookup keeps every user in both listings.
    const Names everyone{"alice", "bob", "carol"};
    directory.groupsQueryError = kDown;
    EXPECT_FALSE(queryable.isAdmin(alice));
    EXPECT_EQ(names(queryable.getAllAdminUsers()), everyone);
    EXPECT_EQ(names(queryable.getAllStandardUsers()), everyone);
    directory.groupsQueryError.reset();
    // A failing membership test fails only the administrators listing.
    directory.memberError = kDown;
    EXPECT_FALSE(queryable.isAdmin(alice));
    EXPECT_THROW((void)queryable.getAllAdminUsers(), ODError);
    EXPECT_TRUE(capture.contains(kLogLevelDebug, "error when looking for admin group membership"));
    EXPECT_EQ(names(queryable.getAllStandardUsers()), everyone);
    directory.usersQueryError = kDown;
    EXPECT_THROW((void)queryable.getAllStandardUsers(), ODError);
}

TEST_F(DSQueryableTest, MakeAdminAddsMembershipAndMarker) {
    tree.addUser("dave", "", 504);
    directory.addMemberError = kReadOnly;  // failing to add the member sets no marker
    EXPECT_FALSE(queryable.makeAdmin(user("bob")));
    EXPECT_EQ(said(Error, kUnableToAdd + "read-only"), 1);
    EXPECT_EQ(directory.setValueCalls, 0);
    directory.addMemberError.reset();
    directory.setValueError = kReadOnly;  // only the marker failing still succeeds
    EXPECT_TRUE(queryable.makeAdmin(user("bob")));
    EXPECT_TRUE(queryable.isAdmin(user("bob")));
    directory.setValueError.reset();

    ASSERT_TRUE(queryable.makeAdmin(user("dave")));
    EXPECT_EQ(user("dave")->attributes().at(std::string(DSQueryable::kPromotedToAdminAttribute)),
              (std::vector<ODValue>{std::string("1")}));
    EXPECT_EQ(names(queryable.getAllStandardUsers()), Names{});
}

TEST_F(DSQueryableTest, RemoveAdminKeepsTheLastOne) {
    EXPECT_TRUE(queryable.removeAdmin(user("bob")));  // a standard user has nothing to remove
    EXPECT_EQ(directory.removeMemberCalls, 0);
    const ODRecordRef carol = user("carol");
    directory.usersQueryError = kDown;
    EXPECT_FALSE(queryable.removeAdmin(carol));
    directory.usersQueryError.reset();
    directory.removeMemberError = kReadOnly;
    EXPECT_FALSE(queryable.removeAdmin(carol));
    directory.removeMemberError.reset();

    capture.clear();
    ASSERT_TRUE(queryable.removeAdmin(carol));
    EXPECT_FALSE(queryable.isAdmin(carol));
    // alice is now the last administrator among the non-system users.
    EXPECT_FALSE(queryable.removeAdmin(user("alice")));
    EXPECT_EQ(capture.lines(),
              (std::vector<LoggedLine>{{kLogLevelError, "Will not remove last admin!!"}}));
    EXPECT_EQ(directory.removeMemberCalls, 2);
}

class NoAdminGroupTest : public DSQueryableTest {
  protected:
    NoAdminGroupTest() : DSQueryableTest(false) {}
};

TEST_F(NoAdminGroupTest, MakeAdminFailsAndChangesNothingWhileListingsKeepEveryone) {
    const ODRecordRef alice = user("alice");
    EXPECT_FALSE(queryable.makeAdmin(alice));
    EXPECT_EQ(directory.addMemberCalls + directory.setValueCalls, 0);
    EXPECT_FALSE(queryable.isAdmin(alice));
    EXPECT_EQ(names(queryable.getAllAdminUsers()), (Names{"alice", "bob", "carol"}));
    // Three "administrators" in the listing, and alice is not one in the group.
    EXPECT_TRUE(queryable.removeAdmin(alice));
}

}  // namespace
}  // namespace lockstep::testing
