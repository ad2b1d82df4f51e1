#include <gtest/gtest.h>

#include <unordered_set>

#include "directory/ds_queryable_errors.h"
#include "directory/ds_queryable_test_support.h"

namespace lockstep::testing {
namespace {

constexpr std::string_view kNotLocalUserText =
    "The operation couldn\u2019t be completed. (lockstepd.DSQueryableErrors error 0.)";
constexpr std::string_view kMultipleText =
    "The operation couldn\u2019t be completed. (lockstepd.DSQueryableErrors error 1.)";

TEST(DSQueryableErrorsTest, CodesDescriptionsEqualityAndHashing) {
    const DSQueryableErrors notLocal = DSQueryableErrors::notLocalUser();
    const DSQueryableErrors multiple = DSQueryableErrors::multipleUsersFound();
    EXPECT_EQ(notLocal.code(), 0);
    EXPECT_EQ(multiple.code(), 1);
    EXPECT_EQ(notLocal.localizedDescription(), kNotLocalUserText);
    EXPECT_EQ(multiple.localizedDescription(), kMultipleText);
    EXPECT_EQ(notLocal, DSQueryableErrors(DSQueryableErrors::Case::notLocalUser));
    EXPECT_FALSE(notLocal == multiple);
    const std::unordered_set<DSQueryableErrors> set{notLocal, multiple, notLocal};
    EXPECT_EQ(set.size(), 2U);
    try {
        throw multiple;
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), 1);
    }
}

class LookupTest : public DSQueryableTest {
  protected:
    LookupTest() {
        tree.addUser("alice", "wonder", 501);
        tree.addUser("bob", "builder", 502, AccountState::locked);
        tree.addGroup("staff", 20, {"alice", "bob"});
    }
};

TEST_F(LookupTest, GetLocalRecordFindsOneUserAndLogsOnlyTheQuery) {
    const ODRecordRef record = queryable.getLocalRecord("alice");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->recordName(), "alice");
    EXPECT_EQ(osEntries(), (std::vector<Entry>{
                               {LogType::Default, "Building OD query for name alice"},
                               {LogType::Debug, "Finding the DSLocal node"},
                           }));
    EXPECT_TRUE(queryable.isUserLocal("alice"));
}

TEST_F(LookupTest, UnknownNameIsNotLocalUser) {
    EXPECT_THROW((void)queryable.getLocalRecord("mallory"), DSQueryableErrors);
    EXPECT_EQ(osEntries(), (std::vector<Entry>{
                               {LogType::Default, "Building OD query for name mallory"},
                               {LogType::Debug, "Finding the DSLocal node"},
                               {LogType::Default, "No local user found."},
                               {LogType::Error, "ODError while trying to check for local user: " +
                                                    std::string(kNotLocalUserText)},
                           }));
    EXPECT_FALSE(queryable.isUserLocal("mallory"));
}

TEST_F(LookupTest, TwoRecordsOfOneNameAreMultipleUsersFound) {
    tree.addUser("alice", "again", 503);
    try {
        (void)queryable.getLocalRecord("alice");
        FAIL() << "no error";
    } catch (const DSQueryableErrors& error) {
        EXPECT_EQ(error, DSQueryableErrors::multipleUsersFound());
    }
    EXPECT_TRUE(osLogged(LogType::Default, "More than one local user found for name."));
    EXPECT_THROW((void)queryable.isUserLocal("alice"), DSQueryableErrors);
}

TEST_F(LookupTest, NodeThatWillNotOpenShowsAsTheQueryFailure) {
    directory.nodeError = ODError(kODErrorNodeUnknownName, "no local node");
    EXPECT_EQ(queryable.localNode(), nullptr);
    EXPECT_TRUE(osLogged(LogType::Error, "ODError creating local node."));
    try {
        (void)queryable.getLocalRecord("alice");
        FAIL() << "no error";
    } catch (const ODError& error) {
        // The real service refuses a query without a node.
        EXPECT_EQ(error.code(), kODErrorNodeUnknownName);
        EXPECT_TRUE(osLogged(LogType::Error, "ODError while trying to check for local user: " +
                                                 error.localizedDescription()));
    }
    EXPECT_THROW((void)queryable.isUserLocal("alice"), ODError);
}

TEST_F(LookupTest, GroupLookup) {
    EXPECT_EQ(queryable.getLocalGroupRecord("staff")->recordName(), "staff");
    // At most one group is asked for, so a second of the same name is unseen.
    tree.addGroup("staff", 21);
    EXPECT_EQ(queryable.getLocalGroupRecord("staff")->recordName(), "staff");

    EXPECT_THROW((void)queryable.getLocalGroupRecord("wheel"), DSQueryableErrors);
    EXPECT_TRUE(osLogged(LogType::Default, "No local group found."));
    EXPECT_TRUE(osLogged(LogType::Error, "ODError while trying to check for local user: " +
                                             std::string(kNotLocalUserText)));

    directory.groupsQueryError = ODError(kODErrorDaemonError, "directory down");
    try {
        (void)queryable.getLocalGroupRecord("staff");
        FAIL() << "no error";
    } catch (const ODError& error) {
        EXPECT_EQ(error.code(), kODErrorDaemonError);
    }
    EXPECT_TRUE(
        osLogged(LogType::Error, "ODError while trying to check for local user: directory down"));
}

TEST_F(LookupTest, PasswordCheck) {
    EXPECT_TRUE(queryable.isLocalPasswordValid("alice", "wonder"));
    EXPECT_FALSE(queryable.isLocalPasswordValid("alice", "wrong"));
    EXPECT_TRUE(
        osLogged(LogType::Default, "Tested password for user account: alice is not valid."));
    // Every other refusal, and a missing account, is thrown on.
    try {
        (void)queryable.isLocalPasswordValid("bob", "builder");
        FAIL() << "no error";
    } catch (const ODError& error) {
        EXPECT_EQ(error.code(), kODErrorCredentialsAccountLocked);
    }
    EXPECT_THROW((void)queryable.isLocalPasswordValid("mallory", "x"), DSQueryableErrors);
}

TEST_F(LookupTest, AllLocalUserRecordsInFileOrder) {
    tree.addUser("_spotlight", "", 89);
    EXPECT_EQ(names(queryable.getAllLocalUserRecords()),
              (std::vector<std::string>{"alice", "bob", "_spotlight"}));

    directory.usersQueryError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_THROW((void)queryable.getAllLocalUserRecords(), ODError);
    EXPECT_TRUE(osLogged(LogType::Error, "ODError while finding local users."));
}

class NonSystemUsersTest : public DSQueryableTest {};

TEST_F(NonSystemUsersTest, KeepsUsersAbove500WithoutLeadingUnderscore) {
    tree.addUser("root", "", 0)
        .addUser("alice", "", 501)
        .addUser("edge", "", 500)
        .addUser("_www", "", 70)
        .addUser("_late", "", 900)
        .addUser("text", "", 600)
        .addUser("plus", "", 601)
        .addUser("minus", "", 602)
        .addUser("bytes", "", 603)
        .addUser("none", "", 604)
        .addUser("huge", "", 605)
        .addUser("carol", "", 4000);
    const auto uid = [](std::string_view name) {
        return std::make_pair(std::string(name), std::string(kODAttributeTypeUniqueID));
    };
    directory.values[uid("text")] = {std::string("abc")};
    directory.values[uid("plus")] = {std::string("+700")};
    directory.values[uid("minus")] = {std::string("-700")};
    directory.values[uid("bytes")] = {toBytes("700")};
    directory.values[uid("none")] = {};
    directory.values[uid("huge")] = {std::string("99999999999999999999")};

    EXPECT_EQ(names(queryable.getAllNonSystemUsers()),
              (std::vector<std::string>{"alice", "plus", "carol"}));
}

TEST_F(NonSystemUsersTest, FailuresStopTheListing) {
    tree.addUser("alice", "", 501).addUser("bob", "", 502);
    directory.valueErrors.insert_or_assign({"bob", std::string(kODAttributeTypeUniqueID)},
                                           ODError(kODErrorRecordAttributeNotFound, "no UID"));
    EXPECT_THROW((void)queryable.getAllNonSystemUsers(), ODError);
    EXPECT_TRUE(osLogged(LogType::Error, "ODError while finding local users."));

    capture.clear();
    directory.resultsError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_THROW((void)queryable.getAllNonSystemUsers(), ODError);
    std::size_t failures = 0;
    for (const Entry& entry : osEntries()) {
        failures += entry.message == "ODError while finding local users." ? 1U : 0U;
    }
    EXPECT_EQ(failures, 2U);
}

class CheckUIDandHomeTest : public DSQueryableTest {
  protected:
    CheckUIDandHomeTest() { tree.addUser("alice", "", 501); }
    void setUID(std::vector<ODValue> values) {
        directory.values[{"alice", std::string(kODAttributeTypeUniqueID)}] = std::move(values);
    }
    static constexpr std::string_view kFunction = "checkUIDandHome(name:)";
};

TEST_F(CheckUIDandHomeTest, UserWithUIDAndHome) {
    EXPECT_EQ(queryable.checkUIDandHome("alice"),
              DSQueryable::UIDAndHome(501U, std::string("/Users/alice")));
    EXPECT_EQ(osEntries(), (std::vector<Entry>{{LogType::Debug, "Checking for local username"}}));
}

TEST_F(CheckUIDandHomeTest, NoRecordIsUnknownNotSuperuser) {
    EXPECT_EQ(queryable.checkUIDandHome("mallory"), DSQueryable::UIDAndHome());
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(CheckUIDandHomeTest, UIDTexts) {
    const struct {
        const char* text;
        std::optional<std::uint32_t> uid;
    } cases[] = {
        {"0", 0U},
        {"501.7", 501U},
        {"+501", 501U},
        {"4294967295", 4294967295U},
        {"abc", std::nullopt},
        {"-2", std::nullopt},
        {"-0.5", std::nullopt},
        {"4294967296", std::nullopt},
        {"1e300", std::nullopt},
        {" 501", std::nullopt},
        {"501 ", std::nullopt},
        {"501x", std::nullopt},
        {"", std::nullopt},
        {"nan", std::nullopt},
        {"inf", std::nullopt},
    };
    for (const auto& c : cases) {
        setUID({std::string(c.text)});
        EXPECT_EQ(queryable.checkUIDandHome("alice"),
                  DSQueryable::UIDAndHome(c.uid, std::string("/Users/alice")))
            << '"' << c.text << '"';
    }
    setUID({});
    EXPECT_EQ(queryable.checkUIDandHome("alice").first, std::nullopt);
    setUID({toBytes("501")});
    EXPECT_EQ(queryable.checkUIDandHome("alice").first, std::nullopt);
}

TEST_F(CheckUIDandHomeTest, HomeValues) {
    directory.values[{"alice", std::string(kODAttributeTypeNFSHomeDirectory)}] = {};
    EXPECT_EQ(queryable.checkUIDandHome("alice"), DSQueryable::UIDAndHome(501U, std::nullopt));
    directory.values[{"alice", std::string(kODAttributeTypeNFSHomeDirectory)}] = {
        std::string("/Users/a"), toBytes("x")};
    EXPECT_EQ(queryable.checkUIDandHome("alice"), DSQueryable::UIDAndHome(501U, std::nullopt));
}

TEST_F(CheckUIDandHomeTest, ReadFailureGivesNothing) {
    directory.valueErrors.insert_or_assign({"alice", std::string(kODAttributeTypeNFSHomeDirectory)},
                                           ODError(kODErrorRecordAttributeNotFound, "no home"));
    EXPECT_EQ(queryable.checkUIDandHome("alice"), DSQueryable::UIDAndHome());
    EXPECT_TRUE(logged(kLogLevelError, kFunction, "Unable to get home."));
}

TEST_F(CheckUIDandHomeTest, TwoRecordsUseTheFirst) {
    tree.addUser("alice", "", 777);
    EXPECT_EQ(queryable.checkUIDandHome("alice").first, 501U);
    EXPECT_TRUE(logged(kLogLevelError, kFunction, "More than one record. "));
}

TEST_F(CheckUIDandHomeTest, DirectoryFailuresGiveNothingAndLogNothing) {
    directory.nodeError = ODError(kODErrorNodeUnknownName, "no node");
    EXPECT_EQ(queryable.checkUIDandHome("alice"), DSQueryable::UIDAndHome());
    directory.nodeError.reset();
    directory.resultsError = ODError(kODErrorDaemonError, "directory down");
    EXPECT_EQ(queryable.checkUIDandHome("alice"), DSQueryable::UIDAndHome());
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(osEntries(), (std::vector<Entry>{{LogType::Debug, "Checking for local username"},
                                               {LogType::Debug, "Checking for local username"}}));
}

}  // namespace
}  // namespace lockstep::testing
