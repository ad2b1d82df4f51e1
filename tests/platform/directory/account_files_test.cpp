#include "platform/directory/account_files.h"

#include <gtest/gtest.h>

namespace lockstep::account_files {
namespace {

TEST(AccountFilesParse, PasswdLines) {
    const auto entry = parsePasswdLine("alice:x:1001:100:Alice,,,:/home/alice:/bin/bash");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->uid, 1001U);
    EXPECT_EQ(entry->gid, 100U);
    EXPECT_EQ(entry->gecos, "Alice,,,");
    ASSERT_TRUE(parsePasswdLine("big:x:4294967295:0:::"));
    for (const std::string_view bad :
         {"", "a:x:1:1::", "a:x:1:1::::", ":x:1:1:::/bin/sh", "a:x:4294967296:1:::", "a:x: 1:1:::",
          "a:x:+1:1:::", "a:x:1:g:::", "#a:x:1:1:::", "-a:x:1:1:::"}) {
        EXPECT_FALSE(parsePasswdLine(bad)) << bad;
    }
}

TEST(AccountFilesParse, ShadowAndGroupLines) {
    const auto shadow = parseShadowLine("alice:$6$s$h:19000::99999:7:-1:20000:");
    ASSERT_TRUE(shadow);
    EXPECT_EQ(shadow->lastChange, 19000);
    EXPECT_FALSE(shadow->minimumAge);
    EXPECT_FALSE(shadow->inactivityPeriod);
    EXPECT_EQ(shadow->expirationDate, 20000);
    EXPECT_FALSE(parseShadowLine("alice:h:1:2:3:4:5:x:"));
    EXPECT_FALSE(parseShadowLine("alice:h:1:2:3:4:5:6"));

    const auto group = parseGroupLine("admin:x:20:a,,b,");
    ASSERT_TRUE(group);
    EXPECT_EQ(group->members, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(parseGroupLine("admin:x:twenty:a"));
    const auto gshadow = parseGShadowLine("admin:!:root:a,b");
    ASSERT_TRUE(gshadow);
    EXPECT_EQ(gshadow->administrators, (std::vector<std::string>{"root"}));
    EXPECT_EQ(gshadow->members, (std::vector<std::string>{"a", "b"}));
}

TEST(AccountFilesEdit, ReplacesOneLineAndKeepsTheRest) {
    const std::string content = "a:x:1:\n\nb:x:2:u\nlast";
    const auto lines = splitLines(content);
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(lines[3].text, "last");
    EXPECT_EQ(replaceLine(content, lines[2], replaceField(lines[2].text, 3, "u,v")),
              "a:x:1:\n\nb:x:2:u,v\nlast");
}

}  // namespace
}  // namespace lockstep::account_files
