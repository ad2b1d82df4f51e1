#include "platform/directory/local_directory.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/directory/side_store.h"
#include "platform/scoped_fd.h"
#include "support/directory_fixture.h"

namespace lockstep::testing {
namespace {

using ::testing::ElementsAre;
using Strings = std::vector<std::string>;

constexpr std::string_view kPasswd =
    "root:x:0:0:root:/root:/bin/bash\n"
    "alice:x:1001:1001:Alice Liddell,Room 1,,:/home/alice:/bin/bash\n"
    "bob:x:1002:20:Bob:/home/bob:/bin/zsh\n"
    "carol:x:1003:1003::/home/carol:/bin/sh\n";
constexpr std::string_view kGroup = "root:x:0:\nadmin:x:20:carol\nalice:x:1001:\ncarol:x:1003:\n";
constexpr std::string_view kGShadow = "root:*::\nadmin:!::carol\nalice:!::\n";

// A temporary machine root with account files and a service over it.
class DirectoryTest : public ::testing::Test {
  protected:
    DirectoryTest() {
        writeEtc("passwd", kPasswd);
        writeEtc("group", kGroup);
        writeEtc("gshadow", kGShadow, 0640);
    }

    std::filesystem::path etc(const std::string& name) const { return root.path() / "etc" / name; }
    void writeEtc(const std::string& name, std::string_view text, unsigned mode = 0644) {
        writeFile(etc(name), text, std::filesystem::perms(mode));
    }
    std::string readEtc(const std::string& name) const { return readFile(etc(name)); }
    // The code of the error the last operation left (0 for none), cleared.
    std::int64_t code() {
        return std::exchange(error, std::nullopt).value_or(ODError(0, "")).code();
    }

    // A query on the local node: its records, or nothing (with `error`).
    std::optional<std::vector<ODRecordRef>> run(
        std::string_view type, const Strings& values, ODMatchType match = kODMatchEqualTo,
        std::string_view returned = kODAttributeTypeNativeOnly, std::int64_t maximum = 0,
        std::string_view attribute = kODAttributeTypeRecordName) {
        const auto node = service.ODNodeInitWithSession(service.ODSessionDefaultSession(),
                                                        kODNodeTypeLocalNodes, &error);
        const auto query = service.ODQueryInitWithNode(node, type, attribute, match, values,
                                                       returned, maximum, &error);
        return query ? service.resultsAllowingPartial(query, false, &error) : std::nullopt;
    }
    // The names of the records that have one of `values`; with none, of every record.
    Strings names(std::string_view type, const Strings& values = {}, std::int64_t maximum = 0) {
        const auto match = values.empty() ? kODMatchAny : kODMatchEqualTo;
        const auto records = run(type, values, match, kODAttributeTypeNativeOnly, maximum).value();
        Strings result;
        std::ranges::transform(records, std::back_inserter(result), &ODRecord::recordName);
        return result;
    }
    ODRecordRef user(const std::string& name, std::string_view type = kODRecordTypeUsers,
                     std::string_view returned = kODAttributeTypeNativeOnly) {
        return run(type, {name}, kODMatchEqualTo, returned).value().at(0);
    }
    ODRecordRef group(const std::string& name) { return user(name, kODRecordTypeGroups); }
    // The values of an attribute as texts; the error code when it cannot be read.
    Strings values(const ODRecordRef& from, std::string_view attribute) {
        const auto read = service.valuesForAttribute(from, attribute, &error);
        if (!read) return {std::to_string(code())};
        Strings result;
        for (const ODValue& value : *read) result.push_back(std::get<std::string>(value));
        return result;
    }
    // Verifies `password` for alice: 0 for success, else the error code.
    std::int64_t verify(std::string_view password) {
        const bool verified = service.verifyPassword(user("alice"), password, &error);
        const std::string text = error ? error->localizedDescription() : "";
        EXPECT_EQ(text.find('$'), std::string::npos);  // never the hash
        EXPECT_TRUE(password.empty() || text.find(password) == std::string::npos);
        return verified ? 0 : code();
    }

    TempDir root;
    LocalDirectoryService service{root.path(), std::chrono::milliseconds(100)};
    std::optional<ODError> error;
};

TEST_F(DirectoryTest, RefusesWhatItCannotAnswer) {
    EXPECT_EQ(service.ODNodeInitWithSession(service.ODSessionDefaultSession(), 0x2201, &error),
              nullptr);
    EXPECT_EQ(code(), kODErrorNodeUnknownType);
    const auto refused = [&](auto&&... query) { return run(query...) ? 0 : code(); };
    const std::string_view users = kODRecordTypeUsers, native = kODAttributeTypeNativeOnly;
    EXPECT_EQ(refused("dsRecTypeStandard:Computers", Strings{"a"}), kODErrorRecordInvalidType);
    EXPECT_EQ(refused(users, Strings{"1"}, kODMatchEqualTo, native, 0, kODAttributeTypeUniqueID),
              kODErrorRecordAttributeUnknownType);
    EXPECT_EQ(refused(users, Strings{"a"}, ODMatchType{0x2002}), kODErrorQueryUnsupportedMatchType);
    EXPECT_EQ(refused(users, Strings{}), kODErrorRecordParameterError);
    EXPECT_EQ(refused(users, Strings{"a"}, kODMatchEqualTo, native, -1),
              kODErrorRecordParameterError);
}

TEST_F(DirectoryTest, AnswersInFileOrderWithinTheLimitWithTheAccountFields) {
    EXPECT_THAT(names(kODRecordTypeUsers), ElementsAre("root", "alice", "bob", "carol"));
    EXPECT_THAT(names(kODRecordTypeUsers, {"carol", "root", "x"}), ElementsAre("root", "carol"));
    EXPECT_THAT(names(kODRecordTypeUsers, {}, 2), ElementsAre("root", "alice"));
    const auto alice = user("alice", kODRecordTypeUsers, kODAttributeTypeAllAttributes);
    Strings fields;
    for (const auto& [name, read] : alice->attributes()) {
        fields.push_back(name.substr(name.find(':') + 1) + "=" + std::get<std::string>(read.at(0)));
    }
    EXPECT_THAT(fields, ElementsAre("NFSHomeDirectory=/home/alice", "PrimaryGroupID=1001",
                                    "RealName=Alice Liddell", "RecordName=alice", "UniqueID=1001",
                                    "UserShell=/bin/bash"));
    EXPECT_THAT(values(group("admin"), kODAttributeTypeGroupMembership), ElementsAre("carol"));
    // What a record carries follows the returned attributes; what can be read of it does not.
    EXPECT_EQ(user("alice")->attributes().size(), 1U);
    EXPECT_THAT(values(user("alice"), kODAttributeTypeUniqueID), ElementsAre("1001"));
}

TEST_F(DirectoryTest, MissingOversizedOrMalformedFiles) {
    std::filesystem::remove(etc("passwd"));
    ASSERT_EQ(::mkfifo(etc("passwd").c_str(), 0644), 0);  // must not hang the reader
    EXPECT_FALSE(run(kODRecordTypeUsers, {}, kODMatchAny));
    std::filesystem::remove(etc("passwd"));
    using namespace std::string_literals;
    writeEtc("passwd",
             "short:x:1:1\nnonnumeric:x:abc:1::/h:/bin/sh\nnegative:x:-5:1::/h:/bin/sh\n"
             "big:x:4294967296:1::/h:\nnul:x:7:7::/home/n\0:/bin/sh\n\n+nis::::::\n#c:x:1:1:::\n"s +
                 std::string(kPasswd) + "max:x:4294967295:0:::\ntoomany:x:10:10::/h:/bin/sh:x");
    EXPECT_THAT(names(kODRecordTypeUsers), ElementsAre("root", "alice", "bob", "carol", "max"));
    writeEtc("group", "admin:x:20:a,,b,\nbad:x:twenty:a\n");
    EXPECT_THAT(names(kODRecordTypeGroups), ElementsAre("admin"));
    EXPECT_THAT(values(group("admin"), kODAttributeTypeGroupMembership), ElementsAre("a", "b"));
}

TEST_F(DirectoryTest, ShadowFieldsGiveTheirVerdicts) {
    const std::string yescrypt = cryptHash("correct horse"), sha512 = cryptHash("s3cret", "$6$");
    const std::string normal = "19000:0:99999:7:::";
    const struct {
        std::string field, aging, password;
        std::int64_t code;
    } cases[] = {
        {yescrypt, normal, "correct horse", 0},
        {sha512, normal, std::string("s3cret\0tail", 11), kODErrorCredentialsInvalid},
        {cryptHash("", "$6$"), normal, "", 0},
        {"$unsupported$c2FsdA$aGFzaA", normal, "s3cret", kODErrorCredentialsMethodNotSupported},
        {"", normal, "", kODErrorCredentialsAccountDisabled},
        {"*LK*" + sha512, normal, "s3cret", kODErrorCredentialsAccountDisabled},
        {"!" + sha512, normal, "s3cret", kODErrorCredentialsAccountLocked},
        {sha512, "19000:0:99999:7::1:", "s3cret", kODErrorCredentialsAccountExpired},
        {sha512, "1:0:1:7:1::", "s3cret", kODErrorCredentialsAccountInactive},
        {sha512, "0:0:1:7:1::", "s3cret", 0},  // must change at next login
        // A malformed entry (a field short, a bad number) is no entry: no usable hash.
        {sha512, "19000:0:99999:7::", "s3cret", kODErrorCredentialsAccountDisabled},
        {sha512, "abc:0:99999:7:::", "s3cret", kODErrorCredentialsAccountDisabled}};
    for (const auto& c : cases) {
        writeEtc("shadow", "root:*:19000:0:99999:7:::\nalice:" + c.field + ":" + c.aging + "\n");
        EXPECT_EQ(verify(c.password), c.code) << c.field << " aging " << c.aging;
    }
    // The passwd field serves only without a shadow entry.
    writeEtc("passwd", "alice:" + sha512 + ":1001:1001::/home/alice:/bin/sh\n");
    writeEtc("shadow", "bob:*:1:0:99999:7:::\n");
    EXPECT_EQ(verify("s3cret"), 0);
    writeEtc("passwd", kPasswd);
    EXPECT_EQ(verify("s3cret"), kODErrorCredentialsAccountDisabled);
}

TEST_F(DirectoryTest, MembershipIsReadAndChangedKeepingGShadowOtherLinesModeAndOwner) {
    const auto admin = group("admin");
    EXPECT_TRUE(service.isMemberRecord(admin, user("carol"), &error) &&
                service.isMemberRecord(admin, user("bob"), &error));  // listed; primary group 20
    EXPECT_FALSE(service.isMemberRecord(admin, user("alice"), &error));
    EXPECT_EQ(code(), kODErrorRecordNotAMember);
    EXPECT_FALSE(service.removeMemberRecord(admin, user("bob"), &error));
    EXPECT_EQ(code(), kODErrorRecordParameterError);
    const auto alice = user("alice");
    for (int round = 0; round < 2; ++round) {  // adding again, or removing a non-member, is a no-op
        ASSERT_TRUE(service.addMemberRecord(admin, alice, &error));
        ASSERT_TRUE(service.removeMemberRecord(admin, user("carol"), &error));
        EXPECT_EQ(readEtc("group") + readEtc("gshadow"),
                  "root:x:0:\nadmin:x:20:alice\nalice:x:1001:\ncarol:x:1003:\n"
                  "root:*::\nadmin:!::alice\nalice:!::\n");
    }
    std::filesystem::remove(etc("gshadow"));
    writeEtc("group", "# comment\nbroken line\nadmin:x:20:carol\n+nis\nstaff:x:50:", 0640);
    ASSERT_EQ(::chown(etc("group").c_str(), ::geteuid(), 42), 0);
    ASSERT_TRUE(service.addMemberRecord(group("staff"), alice, &error));
    EXPECT_EQ(readEtc("group"), "# comment\nbroken line\nadmin:x:20:carol\n+nis\nstaff:x:50:alice");
    EXPECT_FALSE(std::filesystem::exists(etc("gshadow")));
    struct stat info {};
    ASSERT_EQ(::stat(etc("group").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode % 010000 + info.st_gid * 010000, 0640U + 42U * 010000);
}

// An open-file-description lock conflicts with the service's lock even inside one process.
TEST_F(DirectoryTest, HeldLockLeavesTheFilesAsTheyWere) {
    const ScopedFD held(::open(etc(".pwd.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    struct flock request {};
    request.l_type = F_WRLCK;
    ASSERT_EQ(::fcntl(held.get(), F_OFD_SETLK, &request), 0);
    EXPECT_FALSE(service.addMemberRecord(group("admin"), user("alice"), &error));
    EXPECT_NE(error->localizedDescription().find("locked"), std::string::npos);
    EXPECT_EQ(readEtc("group"), kGroup);
}

TEST_F(DirectoryTest, AttributesThatCanBeSet) {
    const auto alice = user("alice");
    const auto set = [&](const ODRecordRef& record, const ODValue& value, std::string_view name) {
        return service.setValueForAttribute(record, value, name, &error) ? 0 : code();
    };
    ASSERT_EQ(set(alice, Bytes{0, 0xff}, "dsAttrTypeNative:b"), 0);
    EXPECT_EQ(std::get<Bytes>(user("alice")->attributes().at("dsAttrTypeNative:b").at(0)),
              (Bytes{0, 0xff}));
    EXPECT_EQ(user("bob")->attributes().size(), 1U);  // other records untouched
    // A damaged store reads as empty and is not overwritten.
    const auto path = root.path() / "var/lib/lockstep/directory/users/carol.plist";
    writeFile(path, "<plist><dict><key>x</key><garbage", std::filesystem::perms(0600));
    EXPECT_NE(set(user("carol"), std::string("1"), "dsAttrTypeNative:x"), 0);
    EXPECT_EQ(readFile(path), "<plist><dict><key>x</key><garbage");
    EXPECT_EQ(SideStore::encodeName("a_1-b/../%2E").value_or(""), "a_1-b%2F%2E%2E%2F%252E");

    ASSERT_EQ(set(alice, std::string("Alice P. Liddell"), kODAttributeTypeFullName) +
                  set(alice, std::string("/bin/zsh"), kODAttributeTypeUserShell),
              0);
    const std::string before = readEtc("passwd");
    EXPECT_NE(before.find("\nalice:x:1001:1001:Alice P. Liddell,Room 1,,:/home/alice:/bin/zsh\n"),
              std::string::npos);
    // Values that would break the line, and fields that cannot be set.
    EXPECT_EQ(set(alice, std::string("/bin/sh:0:0"), kODAttributeTypeUserShell) +
                  set(alice, std::string("A,B"), kODAttributeTypeFullName),
              2 * kODErrorRecordParameterError);
    EXPECT_EQ(set(alice, std::string("0"), kODAttributeTypeUniqueID),
              kODErrorRecordPermissionError);
    EXPECT_EQ(readEtc("passwd"), before);
}

}  // namespace
}  // namespace lockstep::testing
