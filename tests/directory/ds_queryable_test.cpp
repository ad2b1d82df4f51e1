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

using Entry = RecordingSystemLog::Entry;
using Entries = std::vector<Entry>;
using Names = std::vector<std::string>;
using UIDAndHome = DSQueryable::UIDAndHome;
using enum LogType;

const std::string kCheckingFailed = "ODError while trying to check for local user: ";
const std::string kListingFailed = "ODError while finding local users.";
const std::string kUnableToAdd = "Unable to add user to administrators group: ";
const std::string kUID(kODAttributeTypeUniqueID);
const std::string kHome(kODAttributeTypeNFSHomeDirectory);
const ODError kDown(kODErrorDaemonError, "directory down");
const ODError kReadOnly(kODErrorRecordPermissionError, "read-only");
const ODError kNotFound(kODErrorRecordAttributeNotFound, "no such attribute");

std::string dsError(int code) {
    return "The operation couldn\u2019t be completed. (lockstepd.DSQueryableErrors error " +
           std::to_string(code) + ".)";
}

// The smallest type that takes up the facility.
class Queryable final : public DSQueryable {
  public:
    explicit Queryable(const Context& context) : DSQueryable(context) {}
};

// A real directory over a temporary account tree, behind a double that can
// be told to fail, and the log of everything the facility says. alice and
// carol administer; bob is a standard user, and locked; _svc is a system
// account even though it is in the group.
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

    // What went straight to the unified system log (not through a log call).
    [[nodiscard]] Entries osEntries() const {
        Entries entries;
        std::ranges::copy_if(
            capture.systemEntries(), std::back_inserter(entries),
            [](const Entry& e) { return !e.message.starts_with("LOCKSTEP_LOG:"); });
        return entries;
    }
    [[nodiscard]] long osCount(LogType type, const std::string& message) const {
        return std::ranges::count(osEntries(), Entry{type, message});
    }
    [[nodiscard]] static Names names(const std::vector<ODRecordRef>& records) {
        Names result;
        std::ranges::transform(records, std::back_inserter(result),
                               [](const ODRecordRef& record) { return record->recordName(); });
        return result;
    }
    [[nodiscard]] ODRecordRef user(std::string_view name) const {
        return queryable.getLocalRecord(name);
    }
    // The promotion marker of a user as the account files hold it.
    [[nodiscard]] std::optional<std::vector<ODValue>> marker(std::string_view name) const {
        const auto attributes = user(name)->attributes();
        const auto found = attributes.find("dsAttrTypeNative:_tessel_promoted_to_admin");
        return found == attributes.end() ? std::nullopt : std::optional(found->second);
    }

    LogCapture capture;
    TestDirectory tree;
    LocalDirectoryService real{tree.root(), std::chrono::milliseconds(100)};
    FaultyDirectoryService directory{real};
    UnavailableKeychainService keychain;
    Context context{keychain, directory, "/usr/bin/fdesetup", {}, "/"};
    Queryable queryable{context};
};

TEST_F(DSQueryableTest, UserLookupAndPasswordCheck) {
    EXPECT_EQ(queryable.getLocalRecord("alice")->recordName(), "alice");
    EXPECT_EQ(osEntries(), (Entries{{Default, "Building OD query for name alice"},
                                    {Debug, "Finding the DSLocal node"}}));
    EXPECT_TRUE(queryable.isUserLocal("alice"));

    capture.clear();
    EXPECT_THROW((void)queryable.getLocalRecord("mallory"), DSQueryableErrors);
    EXPECT_EQ(osEntries(), (Entries{{Default, "Building OD query for name mallory"},
                                    {Debug, "Finding the DSLocal node"},
                                    {Default, "No local user found."},
                                    {Error, kCheckingFailed + dsError(0)}}));
    EXPECT_FALSE(queryable.isUserLocal("mallory"));

    // A wrong password is false; every other refusal, and a missing account, is thrown on.
    EXPECT_TRUE(queryable.isLocalPasswordValid("alice", "wonder"));
    EXPECT_FALSE(queryable.isLocalPasswordValid("alice", "wrong"));
    EXPECT_EQ(osCount(Default, "Tested password for user account: alice is not valid."), 1);
    EXPECT_THROW((void)queryable.isLocalPasswordValid("bob", "builder"), ODError);
    EXPECT_THROW((void)queryable.isLocalPasswordValid("mallory", "x"), DSQueryableErrors);

    tree.addUser("alice", "again", 601);
    EXPECT_THROW((void)queryable.getLocalRecord("alice"), DSQueryableErrors);
    EXPECT_EQ(osCount(Default, "More than one local user found for name."), 1);
    EXPECT_EQ(osCount(Error, kCheckingFailed + dsError(1)), 1);
    EXPECT_THROW((void)queryable.isUserLocal("alice"), DSQueryableErrors);

    directory.nodeError = ODError(kODErrorNodeUnknownName, "no local node");
    EXPECT_EQ(queryable.localNode(), nullptr);
    EXPECT_EQ(osCount(Error, "ODError creating local node."), 1);
    try {
        (void)queryable.getLocalRecord("alice");
        ADD_FAILURE() << "no error";
    } catch (const ODError& error) {
        // The real service refuses a query without a node.
        EXPECT_EQ(error.code(), kODErrorNodeUnknownName);
        EXPECT_EQ(osCount(Error, kCheckingFailed + error.localizedDescription()), 1);
    }
    EXPECT_THROW((void)queryable.isUserLocal("alice"), ODError);
}

TEST_F(DSQueryableTest, GroupLookup) {
    EXPECT_EQ(queryable.getLocalGroupRecord("staff")->recordName(), "staff");
    // At most one group is asked for, so a second of the same name is unseen.
    tree.addGroup("staff", 21);
    EXPECT_EQ(queryable.getLocalGroupRecord("staff")->recordName(), "staff");

    EXPECT_THROW((void)queryable.getLocalGroupRecord("wheel"), DSQueryableErrors);
    EXPECT_EQ(osCount(Default, "No local group found."), 1);
    EXPECT_EQ(osCount(Error, kCheckingFailed + dsError(0)), 1);

    directory.groupsQueryError = kDown;
    EXPECT_THROW((void)queryable.getLocalGroupRecord("staff"), ODError);
    EXPECT_EQ(osCount(Error, kCheckingFailed + "directory down"), 1);
}

TEST_F(DSQueryableTest, UserListings) {
    EXPECT_EQ(names(queryable.getAllLocalUserRecords()), (Names{"alice", "bob", "carol", "_svc"}));
    // Non-system users have a UID above 500 (as whole text, sign allowed) and
    // no leading underscore.
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

    // Failures stop the listing; the listing's own is logged twice.
    directory.valueErrors.insert_or_assign({"bob", kUID}, kNotFound);
    EXPECT_THROW((void)queryable.getAllNonSystemUsers(), ODError);
    EXPECT_EQ(osCount(Error, kListingFailed), 1);
    directory.usersQueryError = kDown;
    EXPECT_THROW((void)queryable.getAllNonSystemUsers(), ODError);
    EXPECT_EQ(osCount(Error, kListingFailed), 3);
}

TEST_F(DSQueryableTest, CheckUIDandHome) {
    EXPECT_EQ(queryable.checkUIDandHome("alice"), UIDAndHome(501U, std::string("/Users/alice")));
    EXPECT_EQ(osEntries(), (Entries{{Debug, "Checking for local username"}}));
    // An unknown name is no account, not the superuser.
    EXPECT_EQ(queryable.checkUIDandHome("mallory"), UIDAndHome());

    // The whole UID text is read as a number; anything else is no UID.
    const std::vector<std::pair<std::string, std::optional<std::uint32_t>>> cases{
        {"0", 0U},     {"501.7", 501U}, {"+501", 501U}, {"4294967295", 4294967295U},
        {"abc", {}},   {"-2", {}},      {"-0.5", {}},   {"4294967296", {}},
        {"1e300", {}}, {" 501", {}},    {"501 ", {}},   {"501x", {}},
        {"", {}},      {"nan", {}},     {"inf", {}}};
    for (const auto& [text, uid] : cases) {
        directory.values[{"alice", kUID}] = {text};
        EXPECT_EQ(queryable.checkUIDandHome("alice"), UIDAndHome(uid, std::string("/Users/alice")))
            << '"' << text << '"';
    }
    for (const std::vector<ODValue>& values : {std::vector<ODValue>{}, {toBytes("501")}}) {
        directory.values[{"alice", kUID}] = values;
        EXPECT_EQ(queryable.checkUIDandHome("alice").first, std::nullopt);
    }
    directory.values.clear();

    // Two records: the first is used.
    tree.addUser("alice", "", 777);
    EXPECT_EQ(queryable.checkUIDandHome("alice").first, 501U);
    EXPECT_TRUE(capture.contains(kLogLevelError, "checkUIDandHome(name:) More than one record. "));

    // Home values that are not all text give no home; a failed read gives nothing.
    directory.values[{"carol", kHome}] = {};
    EXPECT_EQ(queryable.checkUIDandHome("carol"), UIDAndHome(503U, std::nullopt));
    directory.values[{"carol", kHome}] = {std::string("/Users/c"), toBytes("x")};
    EXPECT_EQ(queryable.checkUIDandHome("carol"), UIDAndHome(503U, std::nullopt));
    directory.valueErrors.insert_or_assign({"carol", kHome}, kNotFound);
    EXPECT_EQ(queryable.checkUIDandHome("carol"), UIDAndHome());
    EXPECT_TRUE(capture.contains(kLogLevelError, "checkUIDandHome(name:) Unable to get home."));
    EXPECT_EQ(capture.lines().size(), 2U);

    // Directory failures give nothing and log nothing.
    capture.clear();
    directory.resultsError = kDown;
    EXPECT_EQ(queryable.checkUIDandHome("carol"), UIDAndHome());
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(osEntries(), (Entries{{Debug, "Checking for local username"}}));
}

TEST_F(DSQueryableTest, IsAdminAndTheListings) {
    const ODRecordRef alice = user("alice");
    EXPECT_TRUE(queryable.isAdmin(alice));
    EXPECT_FALSE(queryable.isAdmin(user("bob")));
    directory.groupsQueryError = kDown;
    EXPECT_FALSE(queryable.isAdmin(alice));
    directory.groupsQueryError.reset();
    directory.memberError = kDown;
    EXPECT_FALSE(queryable.isAdmin(alice));
    directory.memberError.reset();

    // A plain no leaves the record out of the administrators, without failing.
    EXPECT_EQ(names(queryable.getAllAdminUsers()), (Names{"alice", "carol"}));
    EXPECT_EQ(names(queryable.getAllStandardUsers()), (Names{"bob"}));
    EXPECT_TRUE(capture.lines().empty());

    // A failing group lookup keeps every user in both.
    const Names everyone{"alice", "bob", "carol"};
    directory.groupsQueryError = kDown;
    EXPECT_EQ(names(queryable.getAllAdminUsers()), everyone);
    EXPECT_EQ(names(queryable.getAllStandardUsers()), everyone);
    directory.groupsQueryError.reset();

    // A failing membership test fails only the administrators listing.
    directory.memberError = kDown;
    EXPECT_THROW((void)queryable.getAllAdminUsers(), ODError);
    EXPECT_EQ(capture.lines(),
              (std::vector<LoggedLine>{
                  {kLogLevelDebug, "error when looking for admin group membership"}}));
    EXPECT_EQ(names(queryable.getAllStandardUsers()), everyone);

    directory.usersQueryError = kDown;
    EXPECT_THROW((void)queryable.getAllAdminUsers(), ODError);
    EXPECT_THROW((void)queryable.getAllStandardUsers(), ODError);
}

TEST_F(DSQueryableTest, MakeAdminAddsMembershipAndMarker) {
    ASSERT_TRUE(queryable.makeAdmin(user("bob")));
    EXPECT_TRUE(queryable.isAdmin(user("bob")));
    EXPECT_EQ(marker("bob"), (std::vector<ODValue>{std::string("1")}));
    EXPECT_EQ(names(queryable.getAllStandardUsers()), Names{});
    EXPECT_EQ(osCount(Debug, "Find the administrators group"), 1);
    EXPECT_EQ(osCount(Debug, "Adding user to administrators group"), 1);
}

TEST_F(DSQueryableTest, MakeAdminFailuresSetNoMarker) {
    // Failing to add the member sets no marker.
    directory.addMemberError = kReadOnly;
    EXPECT_FALSE(queryable.makeAdmin(user("bob")));
    EXPECT_EQ(osCount(Error, kUnableToAdd + "read-only"), 1);
    EXPECT_EQ(directory.setValueCalls, 0);

    // Only the marker failing still succeeds.
    directory.addMemberError.reset();
    directory.setValueError = kReadOnly;
    EXPECT_TRUE(queryable.makeAdmin(user("bob")));
    EXPECT_TRUE(queryable.isAdmin(user("bob")));
}

TEST_F(DSQueryableTest, RemoveAdmin) {
    // A standard user has nothing to remove.
    EXPECT_TRUE(queryable.removeAdmin(user("bob")));
    EXPECT_EQ(directory.removeMemberCalls, 0);

    const ODRecordRef carol = user("carol");
    directory.usersQueryError = kDown;
    EXPECT_FALSE(queryable.removeAdmin(carol));
    EXPECT_TRUE(
        capture.contains(kLogLevelError, "removeAdmin(_:) Error when getting all admin users"));
    directory.usersQueryError.reset();
    directory.removeMemberError = kReadOnly;
    EXPECT_FALSE(queryable.removeAdmin(carol));
    EXPECT_EQ(osCount(Error, kUnableToAdd + "read-only"), 1);
    directory.removeMemberError.reset();

    capture.clear();
    ASSERT_TRUE(queryable.removeAdmin(carol));
    EXPECT_FALSE(queryable.isAdmin(carol));
    EXPECT_EQ(osCount(Debug, "Remove user to administrators group"), 1);
    // alice is now the last administrator among the non-system users.
    EXPECT_FALSE(queryable.removeAdmin(user("alice")));
    EXPECT_FALSE(queryable.removeAdmin(user("bob")));
    const LoggedLine refusal{kLogLevelError, "Will not remove last admin!!"};
    EXPECT_EQ(capture.lines(), (std::vector<LoggedLine>{refusal, refusal}));
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
    EXPECT_EQ(osCount(Error, kUnableToAdd + "The local group \"admin\" does not exist."), 1);

    EXPECT_FALSE(queryable.isAdmin(alice));
    const Names everyone{"alice", "bob", "carol"};
    EXPECT_EQ(names(queryable.getAllAdminUsers()), everyone);
    EXPECT_EQ(names(queryable.getAllStandardUsers()), everyone);
    // Three "administrators" in the listing, and alice is not one in the group.
    EXPECT_TRUE(queryable.removeAdmin(alice));
}

}  // namespace
}  // namespace lockstep::testing
