#include <sys/stat.h>

#include <filesystem>

#include "local_directory_fixture.h"

namespace lockstep::testing::local_directory {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using QueryTest = DirectoryTest;

TEST_F(QueryTest, OpensOnlyTheLocalNodeType) {
    std::optional<ODError> error;
    const auto session = service.ODSessionDefaultSession();
    EXPECT_EQ(session, service.ODSessionDefaultSession());
    EXPECT_NE(service.ODNodeInitWithSession(session, kODNodeTypeLocalNodes, &error), nullptr);
    EXPECT_EQ(service.ODNodeInitWithSession(session, 0x2201, &error), nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kODErrorNodeUnknownType);
}

TEST_F(QueryTest, RefusesQueriesItCannotAnswer) {
    const auto node = localNode();
    struct Case {
        ODNodeRef node;
        std::string_view recordType;
        std::string_view attribute;
        ODMatchType match;
        std::vector<std::string> values;
        std::string_view returned;
        std::int64_t maximum;
        std::int64_t code;
    };
    const Case cases[] = {
        {nullptr,
         kODRecordTypeUsers,
         kODAttributeTypeRecordName,
         kODMatchEqualTo,
         {"alice"},
         kODAttributeTypeNativeOnly,
         0,
         kODErrorNodeUnknownName},
        {node,
         "dsRecTypeStandard:Computers",
         kODAttributeTypeRecordName,
         kODMatchEqualTo,
         {"alice"},
         kODAttributeTypeNativeOnly,
         0,
         kODErrorRecordInvalidType},
        {node,
         kODRecordTypeUsers,
         kODAttributeTypeUniqueID,
         kODMatchEqualTo,
         {"1001"},
         kODAttributeTypeNativeOnly,
         0,
         kODErrorRecordAttributeUnknownType},
        {node,
         kODRecordTypeUsers,
         kODAttributeTypeRecordName,
         0x2002,
         {"alice"},
         kODAttributeTypeNativeOnly,
         0,
         kODErrorQueryUnsupportedMatchType},
        {node,
         kODRecordTypeUsers,
         kODAttributeTypeRecordName,
         kODMatchEqualTo,
         {},
         kODAttributeTypeNativeOnly,
         0,
         kODErrorRecordParameterError},
        {node,
         kODRecordTypeUsers,
         kODAttributeTypeRecordName,
         kODMatchEqualTo,
         {"alice"},
         "bogus",
         0,
         kODErrorRecordAttributeUnknownType},
        {node,
         kODRecordTypeUsers,
         kODAttributeTypeRecordName,
         kODMatchEqualTo,
         {"alice"},
         kODAttributeTypeNativeOnly,
         -1,
         kODErrorRecordParameterError},
    };
    for (const auto& c : cases) {
        std::optional<ODError> error;
        EXPECT_EQ(service.ODQueryInitWithNode(c.node, c.recordType, c.attribute, c.match, c.values,
                                              c.returned, c.maximum, &error),
                  nullptr);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), c.code) << error->localizedDescription();
    }
    std::optional<ODError> error;
    EXPECT_FALSE(service.resultsAllowingPartial(nullptr, false, &error));
    EXPECT_TRUE(error);
}

TEST_F(QueryTest, AnswersInFileOrderWithinTheLimit) {
    EXPECT_THAT(names(query(kODRecordTypeUsers, {"alice"})), ElementsAre("alice"));
    EXPECT_THAT(names(query(kODRecordTypeUsers, {"nobody"})), IsEmpty());
    EXPECT_THAT(names(query(kODRecordTypeUsers, {}, kODMatchAny)),
                ElementsAre("root", "alice", "bob", "carol"));
    EXPECT_THAT(names(query(kODRecordTypeUsers, {"carol", "root", "nobody"})),
                ElementsAre("root", "carol"));
    EXPECT_THAT(names(query(kODRecordTypeUsers, {}, kODMatchAny, kODAttributeTypeNativeOnly, 2)),
                ElementsAre("root", "alice"));
    EXPECT_THAT(names(query(kODRecordTypeGroups, {"admin"}, kODMatchEqualTo,
                            kODAttributeTypeNativeOnly, 1)),
                ElementsAre("admin"));
}

TEST_F(QueryTest, DuplicateNamesGiveOneRecordEach) {
    writeEtc("passwd", std::string(kPasswd) + "alice:x:1500:1500::/home/alice2:/bin/sh\n");
    const auto records = query(kODRecordTypeUsers, {"alice"});
    ASSERT_EQ(records.size(), 2U);
    std::optional<ODError> error;
    EXPECT_THAT(texts(*service.valuesForAttribute(records[1], kODAttributeTypeUniqueID, &error)),
                ElementsAre("1500"));
}

TEST_F(QueryTest, RecordsCarryTheAccountFields) {
    const auto alice =
        query(kODRecordTypeUsers, {"alice"}, kODMatchEqualTo, kODAttributeTypeAllAttributes).at(0);
    std::optional<ODError> error;
    const auto value = [&](std::string_view attribute) {
        const auto values = service.valuesForAttribute(alice, attribute, &error);
        return values ? texts(*values) : std::vector<std::string>{"<missing>"};
    };
    EXPECT_THAT(value(kODAttributeTypeRecordName), ElementsAre("alice"));
    EXPECT_THAT(value(kODAttributeTypeUniqueID), ElementsAre("1001"));
    EXPECT_THAT(value(kODAttributeTypePrimaryGroupID), ElementsAre("1001"));
    EXPECT_THAT(value(kODAttributeTypeNFSHomeDirectory), ElementsAre("/home/alice"));
    EXPECT_THAT(value(kODAttributeTypeUserShell), ElementsAre("/bin/bash"));
    EXPECT_THAT(value(kODAttributeTypeFullName), ElementsAre("Alice Liddell"));
    EXPECT_EQ(alice->attributes().size(), 6U);
    EXPECT_EQ(service.recordName(alice), "alice");

    EXPECT_FALSE(service.valuesForAttribute(alice, kODAttributeTypeGroupMembership, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kODErrorRecordAttributeNotFound);

    const auto admin = group("admin");
    EXPECT_THAT(texts(*service.valuesForAttribute(admin, kODAttributeTypeGroupMembership, &error)),
                ElementsAre("carol"));
    EXPECT_THAT(texts(*service.valuesForAttribute(admin, kODAttributeTypePrimaryGroupID, &error)),
                ElementsAre("20"));
}

TEST_F(QueryTest, ReturnedAttributeSetsShapeTheRecordButNotItsReads) {
    std::optional<ODError> error;
    ASSERT_TRUE(service.setValueForAttribute(user("alice"), ODValue(std::string("1")),
                                             "dsAttrTypeNative:mark", &error));
    const auto nativeOnly = user("alice");
    EXPECT_EQ(nativeOnly->attributes().count(std::string(kODAttributeTypeUniqueID)), 0U);
    EXPECT_EQ(nativeOnly->attributes().count("dsAttrTypeNative:mark"), 1U);
    EXPECT_EQ(nativeOnly->attributes().count(std::string(kODAttributeTypeRecordName)), 1U);
    // Callers read the UID and home of records queried with NativeOnly.
    EXPECT_THAT(texts(*service.valuesForAttribute(nativeOnly, kODAttributeTypeUniqueID, &error)),
                ElementsAre("1001"));
    EXPECT_THAT(
        texts(*service.valuesForAttribute(nativeOnly, kODAttributeTypeNFSHomeDirectory, &error)),
        ElementsAre("/home/alice"));

    const auto standard =
        query(kODRecordTypeUsers, {"alice"}, kODMatchEqualTo, kODAttributeTypeStandardOnly).at(0);
    EXPECT_EQ(standard->attributes().count("dsAttrTypeNative:mark"), 0U);
    EXPECT_EQ(standard->attributes().count(std::string(kODAttributeTypeUniqueID)), 1U);
    EXPECT_THAT(texts(*service.valuesForAttribute(standard, "dsAttrTypeNative:mark", &error)),
                ElementsAre("1"));
}

TEST_F(QueryTest, MissingOrUnreadableFilesFailTheQuery) {
    const auto fails = [&](std::string_view recordType) {
        std::optional<ODError> error;
        const auto built =
            service.ODQueryInitWithNode(localNode(), recordType, kODAttributeTypeRecordName,
                                        kODMatchAny, {}, kODAttributeTypeNativeOnly, 0, &error);
        const bool failed = !service.resultsAllowingPartial(built, false, &error).has_value();
        return failed && error.has_value() && error->code() == kODErrorDaemonError;
    };
    std::filesystem::remove(etc("passwd"));
    EXPECT_TRUE(fails(kODRecordTypeUsers));
    // A FIFO must not hang the reader; a folder is not a file.
    ASSERT_EQ(::mkfifo(etc("passwd").c_str(), 0644), 0);
    EXPECT_TRUE(fails(kODRecordTypeUsers));
    std::filesystem::remove(etc("group"));
    std::filesystem::create_directory(etc("group"));
    EXPECT_TRUE(fails(kODRecordTypeGroups));
}

TEST_F(QueryTest, OversizedFileIsRefused) {
    std::filesystem::resize_file(etc("passwd"), 65ULL * 1024 * 1024);
    std::optional<ODError> error;
    const auto built =
        service.ODQueryInitWithNode(localNode(), kODRecordTypeUsers, kODAttributeTypeRecordName,
                                    kODMatchAny, {}, kODAttributeTypeNativeOnly, 0, &error);
    EXPECT_FALSE(service.resultsAllowingPartial(built, false, &error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("too large"), std::string::npos);
}

TEST_F(QueryTest, MalformedLinesAreSkipped) {
    using namespace std::string_literals;
    std::string passwd = "short:x:1:1\n";
    passwd += "nonnumeric:x:abc:1::/home/n:/bin/sh\n";
    passwd += "negative:x:-5:1::/home/n:/bin/sh\n";
    passwd += "nul:x:7:7::/home/n\0:/bin/sh\n"s;
    passwd += "long:x:8:8:" + std::string(2U * 1024 * 1024, 'g') + ":/home/l:/bin/sh\n";
    passwd += "\n+nis::::::\n:x:9:9::/:/bin/sh\n";
    passwd += std::string(kPasswd);
    passwd += "toomany:x:10:10::/home/t:/bin/sh:extra";
    writeEtc("passwd", passwd);
    EXPECT_THAT(names(query(kODRecordTypeUsers, {}, kODMatchAny)),
                ElementsAre("root", "alice", "bob", "carol"));
}

TEST_F(QueryTest, DescriptionNamesTheRecordOnly) {
    writeEtc("shadow", "alice:" + hashOf("secret", "$6$") + ":19000:0:99999:7:::\n", 0600);
    const std::string text = user("alice")->description();
    EXPECT_NE(text.find("{recordType: dsRecTypeStandard:Users, recordName: alice}"),
              std::string::npos);
    EXPECT_EQ(text.find('$'), std::string::npos);
    const ODRecord odd(std::string(kODRecordTypeUsers), "evil\nname", {});
    EXPECT_NE(odd.description().find("evil\\x0aname"), std::string::npos);
}

}  // namespace
}  // namespace lockstep::testing::local_directory
