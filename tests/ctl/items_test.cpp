#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "ctl/commands.h"
#include "ctl_fixture.h"
#include "keychain/keychain_util.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kOk = 0;
constexpr int kNotEnrolled = 2;
constexpr int kKeychainUnreadable = 5;
constexpr int kUsage = 64;

using ItemsTest = CtlTest;

// What lockstepctl prints for every command, whatever it is asked.
void expectNoSecret(const CtlTest::Result& result) {
    EXPECT_THAT(result.out, Not(HasSubstr(CtlTest::kPassword)));
    EXPECT_THAT(result.err, Not(HasSubstr(CtlTest::kPassword)));
}

TEST_F(ItemsTest, ListShowsAttributesAndAclsButNoSecret) {
    enrol("alice");
    enrol("bob", "bobs password", "Other");
    const Result result = ctl({"list"});
    ASSERT_EQ(result.status, kOk) << result.err;
    EXPECT_THAT(result.out, HasSubstr("keychain: " + systemKeychainPath().string()));
    EXPECT_THAT(result.out, HasSubstr("item 1\n  service:      Lockstep\n  account:      alice\n"));
    EXPECT_THAT(result.out, HasSubstr("item 2\n  service:      Other\n  account:      bob\n"));
    EXPECT_THAT(result.out, HasSubstr("ACLAuthorizationDecrypt"));
    // The partition list that enrolment writes, read back from its hex text.
    EXPECT_THAT(result.out, HasSubstr("partitions:   apple:, teamid:Q7M4ZK2RTD\n"));
    EXPECT_THAT(result.out, HasSubstr("created:      "));
    expectNoSecret(result);
    EXPECT_THAT(result.out, Not(HasSubstr("bobs password")));
}

TEST_F(ItemsTest, ShowFiltersByServiceAndAccount) {
    enrol("alice");
    enrol("bob", "bobs password");
    Result result = ctl({"show", "Lockstep", "--account", "bob"});
    ASSERT_EQ(result.status, kOk);
    EXPECT_THAT(result.out, HasSubstr("account:      bob"));
    EXPECT_THAT(result.out, Not(HasSubstr("alice")));

    result = ctl({"show", "Lockstep"});
    EXPECT_THAT(result.out, HasSubstr("alice"));
    EXPECT_THAT(result.out, HasSubstr("bob"));

    result = ctl({"show", "Lockstep", "--account", "carol"});
    EXPECT_EQ(result.status, kNotEnrolled);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "lockstepctl: no item of service \"Lockstep\" for account \"carol\" in " +
                              systemKeychainPath().string() + "\n");
}

// A copy of a keychain, without its key, can still be listed; nothing is
// created next to it.
TEST_F(ItemsTest, ListAKeychainFileWithoutItsKey) {
    enrol("alice");
    const fs::path copy = dir_ / "copy/System.keychain";
    fs::create_directories(copy.parent_path());
    fs::copy_file(systemKeychainPath(), copy);
    const Result result = ctl({"list", "--keychain", copy.string()});
    EXPECT_EQ(result.status, kOk) << result.err;
    EXPECT_THAT(result.out, HasSubstr("account:      alice"));
    EXPECT_FALSE(fs::exists(copy.string() + ".key"));
    EXPECT_EQ(std::distance(fs::directory_iterator(copy.parent_path()), {}), 1);
}

TEST_F(ItemsTest, UnreadableKeychainFilesAreOneLineErrors) {
    writeFile(dir_ / "junk.keychain", "junk");
    for (const fs::path& file : {dir_ / "missing.keychain", dir_ / "junk.keychain"}) {
        const Result result = ctl({"list", "--keychain", file.string()});
        EXPECT_EQ(result.status, kKeychainUnreadable);
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, ::testing::StartsWith("lockstepctl: cannot read " + file.string()));
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
    }
    // A System keychain that does not exist yet simply holds nothing.
    const Result result = ctl({"list"});
    EXPECT_EQ(result.status, kOk);
    EXPECT_THAT(result.out, HasSubstr("(no items)"));
    EXPECT_FALSE(fs::exists(systemKeychainPath()));
}

TEST_F(ItemsTest, DisarmRemovesEveryCredentialOfTheService) {
    enrol("alice");
    enrol("bob", "bobs password");
    enrol("carol", "x", "Other");
    const Result result = ctl({"disarm"});
    ASSERT_EQ(result.status, kOk) << result.err;
    EXPECT_EQ(result.out, "removed 2 stored credentials of service \"Lockstep\"\n");
    EXPECT_TRUE(capture_.contains("removed 2 stored credential(s) of service Lockstep"));

    SecKeychainRef system;
    ASSERT_EQ(keychain_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &system),
              errSecSuccess);
    EXPECT_FALSE(KeychainUtil::findPassword(context(), "Lockstep", std::nullopt, system));
    EXPECT_TRUE(KeychainUtil::findPassword(context(), "Other", std::nullopt, system));
    EXPECT_EQ(ctl({"status"}).status, kNotEnrolled);

    const Result again = ctl({"disarm"});
    EXPECT_EQ(again.status, kNotEnrolled);
    EXPECT_EQ(again.err, "lockstepctl: no credential of service \"Lockstep\" is stored\n");
}

TEST_F(ItemsTest, DisarmOneAccountSaysWhatRemains) {
    enrol("alice");
    enrol("bob", "bobs password");
    const Result result = ctl({"disarm", "--account", "bob"});
    ASSERT_EQ(result.status, kOk);
    EXPECT_EQ(result.out,
              "removed 1 stored credential of service \"Lockstep\" for account \"bob\"\n"
              "1 other credential of service \"Lockstep\" remain; lockstepd still arms restarts "
              "with it\n");
    EXPECT_THAT(ctl({"list"}).out, Not(HasSubstr("bob")));
    EXPECT_EQ(ctl({"disarm", "--account", "bob"}).status, kNotEnrolled);
    // An empty account would match every account: refused, nothing removed.
    EXPECT_EQ(ctl({"disarm", "--account", ""}).status, kNotEnrolled);
    EXPECT_THAT(ctl({"list"}).out, HasSubstr("alice"));
}

TEST_F(ItemsTest, DisarmWithoutKeychainCreatesNothing) {
    EXPECT_EQ(ctl({"disarm"}).status, kNotEnrolled);
    EXPECT_FALSE(fs::exists(systemKeychainPath().parent_path()));
}

// Attributes come from a file anyone could have written: control characters
// must not reach the terminal.
TEST_F(ItemsTest, ControlCharactersAreEscaped) {
    enrol("evil\x1b]0;owned\x07name");
    const Result result = ctl({"list"});
    EXPECT_THAT(result.out, HasSubstr("evil\\x1b]0;owned\\x07name"));
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos);
}

TEST_F(ItemsTest, UsageErrorsAreOneLineAndStatus64) {
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"bogus"},
                                               {"show"},
                                               {"status", "--bogus"},
                                               {"list", "--keychain"},
                                               {"disarm", "extra"}}) {
        const Result result = ctl(arguments);
        EXPECT_EQ(result.status, kUsage) << ::testing::PrintToString(arguments);
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, ::testing::StartsWith("lockstepctl: "));
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    EXPECT_EQ(ctl({"bogus"}).err,
              "lockstepctl: unknown command 'bogus' (see lockstepctl --help)\n");
}

TEST_F(ItemsTest, HelpAndVersionGoToStandardOutput) {
    Result result = ctl({"--help"});
    EXPECT_EQ(result.status, kOk);
    EXPECT_THAT(result.out, HasSubstr("disarm"));
    result = ctl({"show", "--help"});
    EXPECT_EQ(result.status, kOk);
    EXPECT_THAT(result.out, HasSubstr("--account"));
    result = ctl({"--version"});
    EXPECT_THAT(result.out, ::testing::StartsWith("lockstepctl "));
    EXPECT_EQ(result.err, "");
}

TEST(CtlText, PrintableEscapesOnlyWhatATerminalWouldObey) {
    EXPECT_EQ(ctl::printable("plain ascii"), "plain ascii");
    EXPECT_EQ(ctl::printable("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(ctl::printable("a\tb\nc\x7f"), "a\\x09b\\x0ac\\x7f");
    EXPECT_EQ(ctl::printable("back\\slash"), "back\\\\slash");
    EXPECT_EQ(ctl::printable("c1 \xc2\x9b"
                             "1m"),
              "c1 \\xc2\\x9b1m");
    EXPECT_EQ(ctl::printable("bad \xff\xc3"), "bad \\xff\\xc3");
}

TEST(CtlText, PartitionDescriptions) {
    // {"Partitions": ["apple:", "teamid:X"], "Other": []} as hex of XML.
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
        "<key>Partitions</key><array><string>apple:</string><string>teamid:X</string></array>"
        "<key>Other</key><array/></dict></plist>";
    std::string hex;
    for (const char character : xml) {
        const auto c = static_cast<unsigned char>(character);
        static constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[c >> 4];
        hex += kDigits[c & 0xF];
    }
    const auto lists = ctl::decodePartitionDescription(hex);
    ASSERT_TRUE(lists);
    EXPECT_EQ(lists->at("Partitions"), (std::vector<std::string>{"apple:", "teamid:X"}));
    EXPECT_TRUE(lists->at("Other").empty());

    EXPECT_FALSE(ctl::decodePartitionDescription("zz"));
    EXPECT_FALSE(ctl::decodePartitionDescription(""));
    EXPECT_FALSE(ctl::decodePartitionDescription("616263"));
}

}  // namespace
}  // namespace lockstep::testing
