#include "platform/user_defaults.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/plist.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

// Writes a property list whose root dictionary is filled by `fill`.
void writePlist(const fs::path& path, PlistFormat format,
                const std::function<void(plist_t)>& fill) {
    const PlistPtr root(plist_new_dict());
    fill(static_cast<plist_t>(root.get()));
    const auto bytes = serializePlist(root.get(), format);
    ASSERT_TRUE(bytes.has_value());
    writeFile(path, toString(*bytes));
}

void set(plist_t dict, const char* key, plist_t value) {
    plist_dict_set_item(dict, key, value);
}

class UserDefaultsTest : public ::testing::TestWithParam<PlistFormat> {
  protected:
    fs::path user() const { return dir / "user.plist"; }
    fs::path system() const { return dir / "system.plist"; }
    UserDefaults read() const { return UserDefaults::fromFiles({user(), system()}); }

    TempDir dir;
};

TEST_P(UserDefaultsTest, ReadsEveryKindOfValue) {
    writePlist(user(), GetParam(), [](plist_t d) {
        set(d, "text", plist_new_string("hello"));
        set(d, "flag", plist_new_bool(1));
        set(d, "number", plist_new_uint(7));
        set(d, "real", plist_new_real(0.5));
        set(d, "list", plist_new_array());
    });
    const auto domain = UserDefaults::readDomain(user());
    const UserDefaults::Domain expected{
        {"text", std::string("hello")},  {"flag", true}, {"number", std::int64_t{7}}, {"real", 0.5},
        {"list", UserDefaults::Other{}},
    };
    EXPECT_EQ(domain, expected);
}

TEST_P(UserDefaultsTest, UserFileWinsOverSystemFileKeyByKey) {
    writePlist(user(), GetParam(), [](plist_t d) {
        set(d, "LogFileName", plist_new_string("user.log"));
        set(d, "LogFolderPath", plist_new_uint(3));  // wrong kind: as if absent
        set(d, "showDebug", plist_new_string("NO"));
    });
    writePlist(system(), GetParam(), [](plist_t d) {
        set(d, "LogFileName", plist_new_string("system.log"));
        set(d, "LogFolderPath", plist_new_string("/var/log/lockstep"));
        set(d, "showDebug", plist_new_bool(1));
        set(d, "onlySystem", plist_new_string("s"));
    });
    const auto defaults = read();
    EXPECT_EQ(defaults.stringForKey("LogFileName"), "user.log");
    EXPECT_EQ(defaults.stringForKey("LogFolderPath"), "/var/log/lockstep");
    EXPECT_FALSE(defaults.boolForKey("showDebug"));
    EXPECT_EQ(defaults.stringForKey("onlySystem"), "s");
    EXPECT_EQ(defaults.stringForKey("nowhere"), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Formats, UserDefaultsTest,
                         ::testing::Values(PlistFormat::XML, PlistFormat::Binary),
                         [](const auto& p) {
                             return p.param == PlistFormat::XML ? "XML" : "Binary";
                         });

TEST(UserDefaultsFilesTest, BadFilesHoldNoKeys) {
    TempDir dir;
    const fs::path good = dir / "good.plist";
    writePlist(good, PlistFormat::XML,
               [](plist_t d) { set(d, "LogFileName", plist_new_string("good.log")); });

    writeFile(dir / "garbage.plist", "this is not a property list <plist>");
    writeFile(dir / "empty.plist", "");
    const PlistPtr array(plist_new_array());
    plist_array_append_item(static_cast<plist_t>(array.get()), plist_new_string("LogFileName"));
    writeFile(dir / "array.plist", toString(*serializePlist(array.get(), PlistFormat::XML)));
    writePlist(dir / "unreadable.plist", PlistFormat::XML,
               [](plist_t d) { set(d, "LogFileName", plist_new_string("unreadable.log")); });
    fs::permissions(dir / "unreadable.plist", fs::perms::none);
    fs::create_directory(dir / "folder.plist");
    ASSERT_EQ(::mkfifo((dir / "fifo.plist").c_str(), 0666), 0);

    std::vector<std::string> bad{"garbage.plist", "empty.plist", "array.plist",
                                 "folder.plist",  "fifo.plist",  "missing.plist"};
    if (::geteuid() != 0) {  // root reads any file
        bad.emplace_back("unreadable.plist");
    }
    for (const auto& name : bad) {
        EXPECT_TRUE(UserDefaults::readDomain(dir / name).empty()) << name;
        const auto defaults = UserDefaults::fromFiles({dir / name, good});
        EXPECT_EQ(defaults.stringForKey("LogFileName"), "good.log") << name;
    }
}

TEST(UserDefaultsFilesTest, StandardFilesAreTheRealUsersThenTheSystems) {
    const auto files = UserDefaults::standardFiles();
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(files.back(), "/etc/lockstep/lockstepd.plist");
    if (const auto home = homeFolderForUserID(realUserID())) {
        ASSERT_EQ(files.size(), 2U);
        EXPECT_EQ(files.front(), fs::path(*home) / ".config/lockstep/lockstepd.plist");
    }
}

TEST(UserDefaultsFilesTest, HomeFolderLookup) {
    EXPECT_EQ(homeFolderForUserID(0), "/root");
    // An ID the user database does not know.
    EXPECT_EQ(homeFolderForUserID(3'999'999'999U), std::nullopt);
}

struct TruthCase {
    UserDefaults::Value value;
    bool expected;
};

TEST(UserDefaultsBoolTest, ShowDebugTruthTable) {
    const std::vector<TruthCase> cases{
        {true, true},
        {false, false},
        {std::int64_t{1}, true},
        {std::int64_t{-3}, true},
        {std::int64_t{0}, false},
        {0.25, true},
        {0.0, false},
        {std::string("YES"), true},
        {std::string("yes"), true},
        {std::string("Yes"), true},
        {std::string("true"), true},
        {std::string("TRUE"), true},
        {std::string("1"), true},
        {std::string("NO"), false},
        {std::string("0"), false},
        {std::string("2"), false},
        {std::string(""), false},
        {std::string("yes "), false},
    };
    for (const auto& c : cases) {
        const UserDefaults defaults({{{"showDebug", c.value}}, {{"showDebug", true}}});
        EXPECT_EQ(defaults.boolForKey("showDebug"), c.expected)
            << ::testing::PrintToString(c.value);
    }
    // A value of no usable kind lets the next file decide.
    const UserDefaults skipped({{{"showDebug", UserDefaults::Other{}}}, {{"showDebug", true}}});
    EXPECT_TRUE(skipped.boolForKey("showDebug"));
    EXPECT_FALSE(UserDefaults().boolForKey("showDebug"));
}

TEST(UserDefaultsBoolTest, NegativeIntegerFromAFileIsNonZero) {
    TempDir dir;
    const fs::path file = dir / "n.plist";
    writePlist(file, PlistFormat::Binary,
               [](plist_t d) { set(d, "showDebug", plist_new_uint(static_cast<uint64_t>(-1))); });
    EXPECT_TRUE(UserDefaults::fromFiles({file}).boolForKey("showDebug"));
}

}  // namespace
}  // namespace lockstep::testing
