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

// Writes a property list whose root dictionary holds `items`.
void writePlist(const fs::path& path, PlistFormat format,
                const std::vector<std::pair<const char*, plist_t>>& items) {
    const PlistPtr root(plist_new_dict());
    for (const auto& [key, value] : items) {
        plist_dict_set_item(static_cast<plist_t>(root.get()), key, value);
    }
    writeFile(path, toString(serializePlist(root.get(), format).value()));
}

class UserDefaultsTest : public ::testing::TestWithParam<PlistFormat> {};

TEST_P(UserDefaultsTest, ReadsEveryKindOfValueAndTheUserFileWinsKeyByKey) {
    const TempDir dir;
    const fs::path user = dir / "user.plist", system = dir / "system.plist";
    writePlist(user, GetParam(),
               {{"text", plist_new_string("hello")},
                {"flag", plist_new_bool(1)},
                {"number", plist_new_uint(7)},
                {"negative", plist_new_uint(static_cast<uint64_t>(-1))},
                {"real", plist_new_real(0.5)},
                {"list", plist_new_array()},
                {"LogFolderPath", plist_new_uint(3)},  // wrong kind: as if absent
                {"showDebug", plist_new_string("NO")}});
    writePlist(system, GetParam(),
               {{"text", plist_new_string("system")},
                {"LogFolderPath", plist_new_string("/var/log/lockstep")},
                {"showDebug", plist_new_bool(1)},
                {"onlySystem", plist_new_string("s")}});
    const UserDefaults::Domain expected{{"text", std::string("hello")},
                                        {"flag", true},
                                        {"number", std::int64_t{7}},
                                        {"negative", std::int64_t{-1}},
                                        {"real", 0.5},
                                        {"list", UserDefaults::Other{}},
                                        {"LogFolderPath", std::int64_t{3}},
                                        {"showDebug", std::string("NO")}};
    EXPECT_EQ(UserDefaults::readDomain(user), expected);
    const auto defaults = UserDefaults::fromFiles({user, system});
    EXPECT_EQ(defaults.stringForKey("text"), "hello");
    EXPECT_EQ(defaults.stringForKey("LogFolderPath"), "/var/log/lockstep");
    EXPECT_FALSE(defaults.boolForKey("showDebug"));
    EXPECT_EQ(defaults.stringForKey("onlySystem"), "s");
    EXPECT_EQ(defaults.stringForKey("nowhere"), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Formats, UserDefaultsTest,
                         ::testing::Values(PlistFormat::XML, PlistFormat::Binary),
                         [](const auto& param) {
                             return param.param == PlistFormat::XML ? "XML" : "Binary";
                         });

TEST(UserDefaultsFilesTest, BadFilesHoldNoKeys) {
    TempDir dir;
    writePlist(dir / "good.plist", PlistFormat::XML, {{"LogFileName", plist_new_string("good")}});
    writeFile(dir / "garbage.plist", "this is not a property list <plist>");
    writeFile(dir / "empty.plist", "");
    const PlistPtr array(plist_new_array());
    writeFile(dir / "array.plist", toString(serializePlist(array.get(), PlistFormat::XML).value()));
    writeFile(dir / "unreadable.plist", readFile(dir / "good.plist"));
    fs::permissions(dir / "unreadable.plist", fs::perms::none);
    fs::create_directory(dir / "folder.plist");
    ASSERT_EQ(::mkfifo((dir / "fifo.plist").c_str(), 0666), 0);

    using Reading = UserDefaults::Reading;
    std::vector<std::pair<std::string, Reading>> bad{
        {"garbage", Reading::notPropertyList}, {"empty", Reading::notPropertyList},
        {"array", Reading::notDictionary},     {"folder", Reading::notRegularFile},
        {"fifo", Reading::notRegularFile},     {"missing", Reading::missing}};
    if (::geteuid() != 0) {  // root reads any file
        bad.emplace_back("unreadable", Reading::unreadable);
    }
    for (const auto& [name, reading] : bad) {
        const fs::path file = dir / (name + ".plist");
        EXPECT_TRUE(UserDefaults::readDomain(file).empty()) << name;
        EXPECT_EQ(UserDefaults::readFile(file).reading, reading) << name;
        const auto defaults = UserDefaults::fromFiles({file, dir / "good.plist"});
        EXPECT_EQ(defaults.stringForKey("LogFileName"), "good") << name;
    }
}

TEST(UserDefaultsFilesTest, StandardFilesAreTheRealUsersThenTheSystems) {
    const auto files = UserDefaults::standardFiles();
    const auto home = homeFolderForUserID(realUserID());
    ASSERT_EQ(files.size(), home ? 2U : 1U);
    EXPECT_EQ(files.back(), "/etc/lockstep/lockstepd.plist");
    if (home) {
        EXPECT_EQ(files.front(), fs::path(*home) / ".config/lockstep/lockstepd.plist");
    }
    EXPECT_EQ(homeFolderForUserID(0), "/root");
    EXPECT_EQ(homeFolderForUserID(3'999'999'999U), std::nullopt);  // unknown to the database
    for (const auto& [name, folder] :
         std::vector<std::pair<std::string, std::optional<std::string>>>{
             {"root", "/root"},
             {"no-such-user-here", std::nullopt},
             {"", std::nullopt},
             {std::string("root\0x", 6), std::nullopt}}) {
        EXPECT_EQ(homeFolderForUserName(name), folder) << name;
    }
}

TEST(UserDefaultsBoolTest, ShowDebugTruthTable) {
    using V = UserDefaults::Value;
    const std::vector<V> truthy{true,     std::int64_t{1}, std::int64_t{-3}, 0.25,      V{"YES"},
                                V{"yes"}, V{"Yes"},        V{"true"},        V{"TRUE"}, V{"1"}};
    const std::vector<V> falsy{false,  std::int64_t{0}, 0.0,   V{"NO"},
                               V{"0"}, V{"2"},          V{""}, V{"yes "}};
    for (const auto& [values, expected] : {std::pair{truthy, true}, std::pair{falsy, false}}) {
        for (const V& value : values) {
            const UserDefaults defaults({{{"showDebug", value}}, {{"showDebug", !expected}}});
            EXPECT_EQ(defaults.boolForKey("showDebug"), expected)
                << ::testing::PrintToString(value);
        }
    }
    // A value of no usable kind lets the next file decide.
    const UserDefaults skipped({{{"showDebug", UserDefaults::Other{}}}, {{"showDebug", true}}});
    EXPECT_TRUE(skipped.boolForKey("showDebug"));
    EXPECT_FALSE(UserDefaults().boolForKey("showDebug"));
}

}  // namespace
}  // namespace lockstep::testing
