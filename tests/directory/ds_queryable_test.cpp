#include "directory/ds_queryable.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/directory_fixture.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

using Names = std::vector<std::string>;
using UIDAndHome = DSQueryable::UIDAndHome;

const std::string kUID(kODAttributeTypeUniqueID);
const ODError kDown(kODErrorDaemonError, "directory down");
const ODError kReadOnly(kODErrorRecordPermissionError, "read-only");

class Queryable final : public DSQueryable {
  public:
    explicit Queryable(const Context& context) : DSQueryable(context) {}
};

// A real directory over a temporary account tree, behind a double that can
// be told to fail. alice and carol administer; bob is a standard user, and
// locked; _svc is a system account even though it is in the group.
class DSQueryableTest : public ::testing::Test, public DirectoryContext {
  protected:
    DSQueryableTest() {
        tree.addUser("alice", "wonder", 501)
            .addUser("bob", "builder", 502, AccountState::locked)
            .addUser("carol", "", 503)
            .addUser("_svc", "", 250)
            .addGroup("admin", 80, {"alice", "carol", "_svc"});
    }

    [[nodiscard]] bool said(LogType type, const std::string& message) const {
        return std::ranges::count(capture.systemEntries(),
                                  RecordingSystemLog::Entry{type, message}) == 1;
    }
    [[nodiscard]] static Names names(const std::vector<ODRecordRef>& records) {
        Names result;
        std::ranges::transform(records, std::back_inserter(result), &ODRecord::recordName);
        return result;
    }
    ODRecordRef user(std::string_view name) const { return queryable.getLocalRecord(name); }

    LogCapture capture;
    Queryable queryable{context};
};

TEST_F(DSQueryableTest, RecordLookupsAndPasswordCheck) {
    EXPECT_TRUE(queryable.isUserLocal("alice") && !queryable.isUserLocal("mallory"));
    EXPECT_THROW((void)queryable.getLocalGroupRecord("wheel"), DSQueryableErrors);
    // A wrong password is false; every other refusal is thrown on.
    EXPECT_FALSE(queryable.isLocalPasswordValid("alice", "wrong"));
    EXPECT_THROW((void)queryable.isLocalPasswordValid("bob", "builder"), ODError);
    tree.addUser("alice", "again", 601);
    EXPECT_THROW((void)user("alice"), DSQueryableErrors);
    EXPECT_TRUE(said(LogType::Default, "More than one local user found for name."));
    directory.fail.insert_or_assign("groups", kDown);
    EXPECT_THROW((void)queryable.getLocalGroupRecord("admin"), ODError);
    EXPECT_TRUE(
        said(LogType::Error, "ODError while trying to check for local user: directory down"));
    directory.fail.insert_or_assign("node", kDown);
    EXPECT_EQ(queryable.localNode(), nullptr);
}

TEST_F(DSQueryableTest, NonSystemUsersHaveAUIDAbove500AndNoUnderscore) {
    EXPECT_EQ(names(queryable.getAllLocalUserRecords()), (Names{"alice", "bob", "carol", "_svc"}));
    tree.addUser("root", "", 0).addUser("edge", "", 500).addUser("_late", "", 900);
    // The UID counts as whole text, sign allowed.
    const std::vector<std::pair<std::string, std::vector<ODValue>>> uids{
        {"text", {"abc"}}, {"plus", {"+700"}}, {"bytes", {toBytes("700")}}, {"none", {}}};
    for (const auto& [name, values] : uids) {
        tree.addUser(name, "", 600);
        directory.values[{name, kUID}] = values;
    }
    EXPECT_EQ(names(queryable.getAllNonSystemUsers()), (Names{"alice", "bob", "carol", "plus"}));
    directory.fail.insert_or_assign("bob " + kUID, kDown);
    EXPECT_THROW((void)queryable.getAllNonSystemUsers(), ODError);
    EXPECT_TRUE(said(LogType::Error, "ODError while finding local users."));
}

TEST_F(DSQueryableTest, CheckUIDandHome) {
    EXPECT_EQ(queryable.checkUIDandHome("mallory"), UIDAndHome());
    // The whole UID text is read as a number; anything else is no UID.
    const std::pair<std::string, std::optional<std::uint32_t>> cases[] = {
        {"0", 0U},    {"501.7", 501U},    {"+501", 501U}, {"4294967295", 4294967295U},
        {"-0.5", {}}, {"4294967296", {}}, {"1e300", {}},  {" 501", {}},
        {"501x", {}}, {"nan", {}}};
    for (const auto& [text, uid] : cases) {
        directory.values[{"alice", kUID}] = {text};
        EXPECT_EQ(queryable.checkUIDandHome("alice"), UIDAndHome(uid, std::string("/Users/alice")))
            << text;
    }
    EXPECT_TRUE(capture.lines().empty()) << capture.dump();
    directory.values.clear();
    tree.addUser("alice", "", 777);  // two records: the first is used
    EXPECT_EQ(queryable.checkUIDandHome("alice").first, 501U);
    EXPECT_TRUE(capture.contains(kLogLevelError, "checkUIDandHome(name:) More than one record. "));
    const std::string home(kODAttributeTypeNFSHomeDirectory);
    directory.values[{"carol", home}] = {std::string("/Users/c"), toBytes("x")};
    EXPECT_EQ(queryable.checkUIDandHome("carol"), UIDAndHome(503U, std::nullopt));
    directory.values[{"carol", home}] = {std::string("/Users/c"), std::string("/x")};
    EXPECT_EQ(queryable.checkUIDandHome("carol"), UIDAndHome(503U, std::string("/Users/c")));
    directory.fail.insert_or_assign("carol " + home, kDown);
    EXPECT_EQ(queryable.checkUIDandHome("carol"), UIDAndHome());
    EXPECT_TRUE(capture.contains(kLogLevelError, "checkUIDandHome(name:) Unable to get home."));
}

TEST_F(DSQueryableTest, IsAdminAndTheListings) {
    EXPECT_TRUE(queryable.isAdmin(user("alice")) && !queryable.isAdmin(user("bob")));
    EXPECT_EQ(names(queryable.getAllAdminUsers()), (Names{"alice", "carol"}));
    EXPECT_EQ(names(queryable.getAllStandardUsers()), (Names{"bob"}));
    // A failing group lookup keeps every user in both listings.
    const Names everyone{"alice", "bob", "carol"};
    directory.fail.insert_or_assign("groups", kDown);
    EXPECT_EQ(names(queryable.getAllAdminUsers()), everyone);
    EXPECT_EQ(names(queryable.getAllStandardUsers()), everyone);
    // A failing membership test fails only the administrators listing.
    directory.fail.erase("groups");
    directory.fail.insert_or_assign("member", kDown);
    EXPECT_FALSE(queryable.isAdmin(user("alice")));
    EXPECT_THROW((void)queryable.getAllAdminUsers(), ODError);
    EXPECT_EQ(names(queryable.getAllStandardUsers()), everyone);
}

TEST_F(DSQueryableTest, MakeAndRemoveAdmin) {
    tree.addUser("dave", "", 504);
    directory.fail.insert_or_assign("add", kReadOnly);  // failing to add the member sets no marker
    EXPECT_FALSE(queryable.makeAdmin(user("bob")));
    EXPECT_TRUE(said(LogType::Error, "Unable to add user to administrators group: read-only"));
    EXPECT_EQ(directory.calls["set"], 0);
    directory.fail.erase("add");
    ASSERT_TRUE(queryable.makeAdmin(user("dave")));
    EXPECT_EQ(user("dave")->attributes().at(std::string(DSQueryable::kPromotedToAdminAttribute)),
              (std::vector<ODValue>{std::string("1")}));
    EXPECT_EQ(names(queryable.getAllStandardUsers()), (Names{"bob"}));

    EXPECT_TRUE(queryable.removeAdmin(user("bob")));  // a standard user has nothing to remove
    directory.fail.insert_or_assign("remove", kReadOnly);
    EXPECT_FALSE(queryable.removeAdmin(user("carol")));
    directory.fail.erase("remove");
    ASSERT_TRUE(queryable.removeAdmin(user("carol")) && queryable.removeAdmin(user("dave")));
    EXPECT_FALSE(queryable.isAdmin(user("carol")));
    EXPECT_EQ(directory.calls["remove"], 3);
    capture.clear();
    EXPECT_FALSE(queryable.removeAdmin(user("alice")));  // the last administrator stays
    EXPECT_EQ(capture.lines(),
              (std::vector<LoggedLine>{{kLogLevelError, "Will not remove last admin!!"}}));
}

}  // namespace
}  // namespace lockstep::testing
