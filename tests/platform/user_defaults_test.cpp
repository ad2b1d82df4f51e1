#include "platform/user_defaults.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/plist.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

// A property list whose root dictionary holds `items`.
std::string plistText(PlistFormat format, const std::vector<std::pair<const char*, plist_t>>& items,
                      plist_t root = plist_new_dict()) {
    const PlistPtr owner(root);
    for (const auto& [key, value] : items) {
        plist_dict_set_item(root, key, value);
    }
    return toString(serializePlist(root, format).value());
}

class UserDefaultsTest : public ::testing::TestWithParam<PlistFormat> {};

TEST_P(UserDefaultsTest, ReadsEveryKindOfValueAndTheUserFileWinsKeyByKey) {
    const TempDir dir;
    const fs::path user = dir / "user.plist", system = dir / "system.plist";
    writeFile(user, plistText(GetParam(), {{"text", plist_new_string("hello")},
                                           {"flag", plist_new_bool(1)},
                                           {"negative", plist_new_uint(static_cast<uint64_t>(-1))},
                                           {"real", plist_new_real(0.5)},
                                           {"list", plist_new_array()},
                                           {"LogFolderPath", plist_new_uint(3)},
                                           {"showDebug", plist_new_string("NO")}}));
    writeFile(system, plistText(GetParam(), {{"text", plist_new_string("system")},
                                             {"LogFolderPath", plist_new_string("/var/log/l")},
                                             {"showDebug", plist_new_bool(1)}}));
    const UserDefaults::Domain expected{
        {"text", std::string("hello")},  {"flag", true},
        {"negative", std::int64_t{-1}},  {"real", 0.5},
        {"list", UserDefaults::Other{}}, {"LogFolderPath", std::int64_t{3}},
        {"showDebug", std::string("NO")}};
    EXPECT_EQ(UserDefaults::readDomain(user), expected);
    const auto defaults = UserDefaults::fromFiles({user, system});
    EXPECT_EQ(defaults.stringForKey("text"), "hello");
    // A value of the wrong kind is as if absent.
    EXPECT_EQ(defaults.stringForKey("LogFolderPath"), "/var/log/l");
    EXPECT_FALSE(defaults.boolForKey("showDebug"));
    EXPECT_EQ(defaults.stringForKey("nowhere"), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Formats, UserDefaultsTest,
                         ::testing::Values(PlistFormat::XML, PlistFormat::Binary),
                         [](const auto& param) {
                             return param.param == PlistFormat::XML ? "XML" : "Binary";
                         });

TEST(UserDefaultsFilesTest, BadFilesHoldNoKeys) {
    TempDir dir;
    writeFile(dir / "good.plist",
              plistText(PlistFormat::XML, {{"LogFileName", plist_new_string("good")}}));
    writeFile(dir / "garbage.plist", "this is not a property list <plist>");
    writeFile(dir / "empty.plist", "");
    writeFile(dir / "array.plist", plistText(PlistFormat::XML, {}, plist_new_array()));
    fs::create_directory(dir / "folder.plist");
    ASSERT_EQ(::mkfifo((dir / "fifo.plist").c_str(), 0666), 0);
    using Reading = UserDefaults::Reading;
    for (const auto& [name, reading] :
         std::vector<std::pair<std::string, Reading>>{{"garbage", Reading::notPropertyList},
                                                      {"empty", Reading::notPropertyList},
                                                      {"array", Reading::notDictionary},
                                                      {"folder", Reading::notRegularFile},
                                                      {"fifo", Reading::notRegularFile},
                                                      {"missing", Reading::missing}}) {
        const fs::path file = dir / (name + ".plist");
        EXPECT_EQ(UserDefaults::readFile(file).reading, reading) << name;
        EXPECT_EQ(UserDefaults::fromFiles({file, dir / "good.plist"}).stringForKey("LogFileName"),
                  "good")
            << name;
    }
}

TEST(UserDefaultsFilesTest, StandardFilesAreTheRealUsersThenTheSystems) {
    const auto home = homeFolderForUserID(realUserID());
    ASSERT_TRUE(home.has_value());
    EXPECT_EQ(UserDefaults::standardFiles(),
              (std::vector<fs::path>{fs::path(*home) / ".config/lockstep/lockstepd.plist",
                                     "/etc/lockstep/lockstepd.plist"}));
    EXPECT_EQ(homeFolderForUserID(0), "/root");
    EXPECT_EQ(homeFolderForUserID(3'999'999'999U), std::nullopt);  // unknown to the database
    EXPECT_EQ(homeFolderForUserName("root"), "/root");
    EXPECT_EQ(homeFolderForUserName(std::string("root\0x", 6)), std::nullopt);
}

TEST(UserDefaultsBoolTest, ShowDebugTruthTable) {
    using V = UserDefaults::Value;
    const std::vector<V> truthy{true,     std::int64_t{-3}, 0.25,  V{"YES"},
                                V{"yes"}, V{"true"},        V{"1"}};
    const std::vector<V> falsy{false, std::int64_t{0}, 0.0, V{"NO"}, V{"2"}, V{""}, V{"yes "}};
    for (const auto& [values, expected] : {std::pair{truthy, true}, std::pair{falsy, false}}) {
        for (const V& value : values) {
            const UserDefaults defaults({{{"showDebug", value}}, {{"showDebug", !expected}}});
            EXPECT_EQ(defaults.boolForKey("showDebug"), expected)
                << ::testing::PrintToString(value);
        }
    }
    // A value of no usable kind lets the next file decide.
    EXPECT_TRUE(UserDefaults({{{"showDebug", UserDefaults::Other{}}}, {{"showDebug", true}}})
                    .boolForKey("showDebug"));
}

// The dictionary walk stops where the visitor says and refuses what is no
// dictionary; text lists take only lists of texts.
TEST(PlistTest, DictionaryWalkAndTextLists) {
    const PlistPtr root(plist_new_dict());
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("x"));
    plist_array_append_item(list, plist_new_string("y"));
    plist_dict_set_item(root.get(), "a", list);
    plist_dict_set_item(root.get(), "b", plist_new_array());
    std::string keys;
    const auto visit = [&](bool go) {
        return [&keys, go](const char* key, PlistNode) { return (keys += key, go); };
    };
    EXPECT_TRUE(forEachDictionaryEntry(root.get(), visit(true)));
    EXPECT_FALSE(forEachDictionaryEntry(root.get(), visit(false)));
    EXPECT_FALSE(forEachDictionaryEntry(list, visit(true)));
    EXPECT_EQ(keys, "aba");
    EXPECT_EQ(dictionaryOfTextLists(root.get()),
              (TextLists{{"a", {"x", "y"}}, {"b", std::vector<std::string>{}}}));
    plist_array_append_item(list, plist_new_uint(1));
    EXPECT_EQ(dictionaryOfTextLists(root.get()), std::nullopt);
    EXPECT_EQ(dictionaryOfTextLists(list), std::nullopt);
}

}  // namespace
}  // namespace lockstep::testing
