#include "platform/user_defaults.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include "platform/plist.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using V = UserDefaults::Value;

// A property list whose root dictionary holds `items`.
std::string plistText(PlistFormat format, const std::vector<std::pair<const char*, plist_t>>& items,
                      plist_t root = plist_new_dict()) {
    const PlistPtr owner(root);
    for (const auto& [key, value] : items) {
        plist_dict_set_item(root, key, value);
    }
    return toString(serializePlist(root, format).value());
}

TEST(UserDefaultsTest, ReadsEveryKindOfValueAndTheUserFileWinsKeyByKey) {
    const TempDir dir;
    for (const PlistFormat format : {PlistFormat::XML, PlistFormat::Binary}) {
        const fs::path user = dir / "user.plist", system = dir / "system.plist";
        writeFile(user, plistText(format, {{"text", plist_new_string("hello")},
                                           {"negative", plist_new_uint(static_cast<uint64_t>(-1))},
                                           {"real", plist_new_real(0.5)},
                                           {"list", plist_new_array()},
                                           {"path", plist_new_uint(3)},
                                           {"flag", plist_new_string("NO")}}));
        writeFile(system, plistText(format, {{"path", plist_new_string("/var/log/l")},
                                             {"flag", plist_new_bool(1)}}));
        EXPECT_EQ(UserDefaults::readDomain(user),
                  (UserDefaults::Domain{{"text", std::string("hello")},
                                        {"negative", std::int64_t{-1}},
                                        {"real", 0.5},
                                        {"list", UserDefaults::Other{}},
                                        {"path", std::int64_t{3}},
                                        {"flag", std::string("NO")}}));
        const auto defaults = UserDefaults::fromFiles({user, system});
        // A value of the wrong kind is as if absent.
        EXPECT_EQ(defaults.stringForKey("path"), "/var/log/l");
        EXPECT_FALSE(defaults.boolForKey("flag"));
    }
    // Truthy values, and values that are not; one of no usable kind lets the next file decide.
    const std::pair<V, bool> bools[] = {
        {true, true},     {std::int64_t{-3}, true}, {0.25, true},      {V{"YES"}, true},
        {V{"yes"}, true}, {V{"true"}, true},        {V{"1"}, true},    {std::int64_t{0}, false},
        {0.0, false},     {V{"2"}, false},          {V{"yes "}, false}};
    for (const auto& [value, expected] : bools) {
        EXPECT_EQ(UserDefaults({{{"f", value}}, {{"f", !expected}}}).boolForKey("f"), expected)
            << ::testing::PrintToString(value);
    }
    EXPECT_TRUE(UserDefaults({{{"f", UserDefaults::Other{}}}, {{"f", true}}}).boolForKey("f"));
}

TEST(UserDefaultsTest, BadFilesHoldNoKeysAndStandardFilesAreTheUsersThenTheSystems) {
    TempDir dir;
    writeFile(dir / "good.plist", plistText(PlistFormat::XML, {{"k", plist_new_string("good")}}));
    writeFile(dir / "garbage.plist", "this is not a property list <plist>");
    writeFile(dir / "array.plist", plistText(PlistFormat::XML, {}, plist_new_array()));
    ASSERT_EQ(::mkfifo((dir / "fifo.plist").c_str(), 0666), 0);
    using R = UserDefaults::Reading;
    for (const auto& [name, reading] : {std::pair{"garbage", R::notPropertyList},
                                        {"array", R::notDictionary},
                                        {"fifo", R::notRegularFile},
                                        {"missing", R::missing}}) {
        const fs::path file = dir / (std::string(name) + ".plist");
        EXPECT_EQ(UserDefaults::readFile(file).reading, reading) << name;
        EXPECT_EQ(UserDefaults::fromFiles({file, dir / "good.plist"}).stringForKey("k"), "good");
    }
    const auto home = homeFolderForUserID(realUserID());
    EXPECT_EQ(UserDefaults::standardFiles(),
              (std::vector<fs::path>{fs::path(home.value()) / ".config/lockstep/lockstepd.plist",
                                     "/etc/lockstep/lockstepd.plist"}));
    EXPECT_EQ(homeFolderForUserID(3'999'999'999U), std::nullopt);
    EXPECT_EQ(homeFolderForUserName("root"), "/root");
    EXPECT_EQ(homeFolderForUserName(std::string("root\0x", 6)), std::nullopt);
}

}  // namespace
}  // namespace lockstep::testing
