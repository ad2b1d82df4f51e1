#include "secrets/secret_records.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "archive_builders.h"
#include "password_decrypt.h"
#include "secrets_fixture.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

const Bytes kBadgeA{0x04, 0xA2, 0x24, 0x3B, 0x6C, 0x52, 0x80};
const Bytes kBadgeB{0x11, 0x22, 0x33, 0x44};

std::unique_ptr<KeyedUnarchiver> openArchive(const Bytes& data) {
    auto coder = KeyedUnarchiver::open(data);
    EXPECT_NE(coder, nullptr);
    return coder;
}

// The record archived under "root", decoded by its own init(coder:).
template <class Record>
std::shared_ptr<Record> roundTrip(const Record& record, PlistFormat format) {
    const std::optional<Bytes> data = KeyedArchiver::archivedData(record, format);
    EXPECT_TRUE(data.has_value());
    const auto coder = KeyedUnarchiver::open(data.value_or(Bytes()));
    EXPECT_NE(coder, nullptr);
    return coder == nullptr ? nullptr : coder->decodeObject("root").object<Record>();
}

// An archive with nothing in it.
Bytes emptyArchive() {
    KeyedArchiver archiver;
    return archiver.encodedData().value_or(Bytes());
}

void expectSameUser(const SecretKeeperUser& actual, const SecretKeeperUser& expected) {
    EXPECT_EQ(actual.fullName, expected.fullName);
    EXPECT_EQ(actual.username, expected.username);
    EXPECT_EQ(actual.password, expected.password);
    EXPECT_EQ(actual.userUID, expected.userUID);
    EXPECT_EQ(actual.requiresPIN, expected.requiresPIN);
}

class SecretRecordsTest : public SecretsTest {};

TEST_F(SecretRecordsTest, UserRoundTrips) {
    const std::vector<SecretKeeperUser> users = {
        {"Ada Lovelace", "ada", Bytes(60, 0x5A), 501, true},
        {std::nullopt, "nofull", Bytes(), -1, false},
        {"", "", Bytes{0}, INT64_MIN, false},
        {"Zo\xc3\xab \xc3\x85"
         "dmin \xf0\x9f\x94\x91",
         "zo\xc3\xab", Bytes(44, 0), 0, true},
    };
    for (const PlistFormat format : {PlistFormat::Binary, PlistFormat::XML}) {
        for (const SecretKeeperUser& user : users) {
            const auto decoded = roundTrip(user, format);
            ASSERT_NE(decoded, nullptr);
            expectSameUser(*decoded, user);
        }
    }
}

TEST_F(SecretRecordsTest, AbsentFullNameWritesNothing) {
    KeyedArchiver archiver;
    SecretKeeperUser(std::nullopt, "u", Bytes(), -1, false).encode(archiver);
    const auto coder = openArchive(archiver.encodedData().value_or(Bytes()));
    ASSERT_NE(coder, nullptr);
    EXPECT_FALSE(coder->containsValue("fullName"));
    for (const char* key : {"username", "password", "uid", "requiresPIN"}) {
        EXPECT_TRUE(coder->containsValue(key)) << key;
    }
}

TEST_F(SecretRecordsTest, RFIDUsersRoundTrips) {
    RFIDUserMap map;
    map[kBadgeA] = std::make_shared<SecretKeeperUser>("Badge A", "a", Bytes(44, 1), 502, true);
    map[kBadgeB] = std::make_shared<SecretKeeperUser>(std::nullopt, "b", Bytes(50, 2), -1, false);
    const RFIDUsers users(map, ctx);
    EXPECT_EQ(users.salt.size(), RFIDUsers::kSaltLength);
    for (const PlistFormat format : {PlistFormat::Binary, PlistFormat::XML}) {
        const auto decoded = roundTrip(users, format);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->salt, users.salt);
        ASSERT_TRUE(decoded->userDict.has_value());
        ASSERT_EQ(decoded->userDict->size(), 2U);
        for (const Bytes& badge : {kBadgeA, kBadgeB}) {
            ASSERT_NE(decoded->user(badge), nullptr);
            expectSameUser(*decoded->user(badge), *map[badge]);
        }
        EXPECT_EQ(decoded->user(Bytes{9}), nullptr);

        const auto absent = roundTrip(RFIDUsers(std::nullopt, Bytes{1, 2}), format);
        ASSERT_NE(absent, nullptr);
        EXPECT_FALSE(absent->userDict.has_value());
        EXPECT_EQ(absent->salt, (Bytes{1, 2}));
        const auto present = roundTrip(RFIDUsers(RFIDUserMap(), Bytes()), format);
        ASSERT_NE(present, nullptr);
        EXPECT_EQ(present->userDict, RFIDUserMap());
    }
}

TEST_F(SecretRecordsTest, FreshSaltEvenWhenTheGeneratorFails) {
    const RFIDUsers first(std::nullopt, ctx);
    const RFIDUsers second(std::nullopt, ctx);
    EXPECT_EQ(first.salt.size(), 10U);
    EXPECT_NE(first.salt, second.salt);
    keychain.randomFailure = errSecAllocate;
    const RFIDUsers failed(std::nullopt, ctx);
    EXPECT_EQ(failed.salt, Bytes(10, 0));
}

TEST_F(SecretRecordsTest, SecretsRoundTrips) {
    RFIDUserMap map;
    map[kBadgeA] = std::make_shared<SecretKeeperUser>("A", "a", Bytes(45, 3), 503, true);
    const Secrets secrets(
        std::make_shared<SecretKeeperUser>("Admin", "admin", Bytes(48, 4), 0, false),
        std::make_shared<RFIDUsers>(map, Bytes(10, 7)), Bytes{9, 8, 7});
    for (const PlistFormat format : {PlistFormat::Binary, PlistFormat::XML}) {
        const std::optional<Bytes> data = KeyedArchiver::archivedData(secrets, format);
        ASSERT_TRUE(data.has_value());
        keychain.randomCalls = 0;
        const auto decoded = unarchiveSecrets(*data, ctx);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(keychain.randomCalls, 0);  // no default was needed
        expectSameUser(*decoded->localAdmin, *secrets.localAdmin);
        EXPECT_EQ(decoded->rfidUIDUsers->salt, Bytes(10, 7));
        ASSERT_NE(decoded->rfidUIDUsers->user(kBadgeA), nullptr);
        expectSameUser(*decoded->rfidUIDUsers->user(kBadgeA), *map[kBadgeA]);
        EXPECT_EQ(decoded->salt, (Bytes{9, 8, 7}));
    }
}

TEST_F(SecretRecordsTest, DecodingAnEmptyArchiveGivesDefaults) {
    const Bytes empty = emptyArchive();
    {
        const auto coder = openArchive(empty);
        ASSERT_NE(coder, nullptr);
        const auto user = SecretKeeperUser::init(*coder);
        expectSameUser(*user, SecretKeeperUser(std::nullopt, "", Bytes(), -1, false));
        const auto users = RFIDUsers::init(*coder);
        EXPECT_FALSE(users->userDict.has_value());
        EXPECT_TRUE(users->salt.empty());
    }
    const auto coder = openArchive(empty);
    ASSERT_NE(coder, nullptr);
    const auto secrets = Secrets::init(*coder, ctx);
    ASSERT_NE(secrets, nullptr);
    const SecretKeeperUser& admin = *secrets->localAdmin;
    EXPECT_EQ(admin.fullName, std::optional<std::string>(""));
    EXPECT_EQ(admin.username, "");
    EXPECT_EQ(admin.userUID, -1);
    EXPECT_FALSE(admin.requiresPIN);
    ASSERT_EQ(admin.password.size(), 44U);
    // The default password is the empty text sealed under an empty UID.
    EXPECT_EQ(passwordDecrypt(ctx, admin.password, Bytes(), std::nullopt), Bytes());
    ASSERT_NE(secrets->rfidUIDUsers, nullptr);
    EXPECT_EQ(secrets->rfidUIDUsers->userDict, RFIDUserMap());
    EXPECT_EQ(secrets->rfidUIDUsers->salt.size(), 10U);
    EXPECT_TRUE(secrets->salt.empty());

    // Every decode seals afresh.
    const auto again = openArchive(empty);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(Secrets::init(*again, ctx)->localAdmin->password, admin.password);
}

TEST_F(SecretRecordsTest, SecretsFailsWhenTheDefaultAdministratorCannotBeBuilt) {
    removeSerial();
    LogCapture capture;
    const auto coder = openArchive(emptyArchive());
    ASSERT_NE(coder, nullptr);
    EXPECT_EQ(Secrets::init(*coder, ctx), nullptr);
    EXPECT_TRUE(capture.containsInOrder({"keyForAES(rfidUID:salt:pin:) serial number error",
                                         "init(coder:) error init of user object"}))
        << capture.dump();
    EXPECT_EQ(capture.lines(kLogLevelDebug).size(), 2U);

    // A random generator failure ends the same way.
    setSerial(kTestSerial);
    keychain.randomFailure = errSecAllocate;
    capture.clear();
    const auto second = openArchive(emptyArchive());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Secrets::init(*second, ctx), nullptr);
    EXPECT_TRUE(capture.contains("error init of user object"));

    // With an administrator in the archive nothing is derived.
    const Secrets stored(std::make_shared<SecretKeeperUser>("", "", Bytes(), -1, false),
                         std::make_shared<RFIDUsers>(RFIDUserMap(), Bytes()), Bytes());
    EXPECT_NE(unarchiveSecrets(KeyedArchiver::archivedData(stored).value_or(Bytes()), ctx),
              nullptr);
}

// Values under a key of the top level, by kind, for the wrong-kind table:
// (inside of "$top", entries of "$objects" from UID 1).
struct Candidate {
    const char* name;
    std::string top;  // the value written after <key>...</key>
    std::vector<std::string> objects;
};

std::vector<Candidate> candidates() {
    return {
        {"integer", xmlUID(1), {"<integer>7</integer>"}},
        {"data", xmlUID(1), {"<data>AAE=</data>"}},
        {"text", xmlUID(1), {"<string>text</string>"}},
        {"real", xmlUID(1), {"<real>1.5</real>"}},
        {"boolean object", xmlUID(1), {"<true/>"}},
        {"inline text", "<string>inline</string>", {}},
        {"inline integer", "<integer>1</integer>", {}},
        {"inline boolean", "<true/>", {}},
        {"reference outside", xmlUID(99), {}},
        {"nil", xmlUID(0), {}},
        {"unknown class",
         xmlUID(1),
         {"<dict><key>$class</key>" + xmlUID(2) + "</dict>", xmlClass("Unknown")}},
        {"user object",
         xmlUID(1),
         {"<dict><key>$class</key>" + xmlUID(2) + "</dict>", xmlClass("SecretKeeperUser")}},
    };
}

TEST_F(SecretRecordsTest, UserKeysOfTheWrongKindTakeDefaults) {
    const SecretKeeperUser defaults(std::nullopt, "", Bytes(), -1, false);
    // The one candidate each key accepts, and what it gives.
    const std::map<std::string, std::string> accepted = {{"fullName", "text"},
                                                         {"username", "text"},
                                                         {"password", "data"},
                                                         {"uid", "integer"},
                                                         {"requiresPIN", "inline boolean"}};
    for (const auto& [key, good] : accepted) {
        for (const Candidate& candidate : candidates()) {
            SCOPED_TRACE(key + " <- " + candidate.name);
            const auto coder = openArchive(
                xmlArchive("<key>" + key + "</key>" + candidate.top, candidate.objects));
            ASSERT_NE(coder, nullptr);
            const auto user = SecretKeeperUser::init(*coder);
            SecretKeeperUser expected = defaults;
            if (candidate.name == good) {
                if (key == "fullName") expected.fullName = "text";
                if (key == "username") expected.username = "text";
                if (key == "password") expected.password = Bytes{0, 1};
                if (key == "uid") expected.userUID = 7;
                if (key == "requiresPIN") expected.requiresPIN = true;
            }
            expectSameUser(*user, expected);
        }
    }
}

TEST_F(SecretRecordsTest, BadgeUserKeysOfTheWrongKindTakeDefaults) {
    for (const Candidate& candidate : candidates()) {
        SCOPED_TRACE(candidate.name);
        const auto coder = openArchive(
            xmlArchive("<key>userDict</key>" + candidate.top + "<key>salt</key>" + candidate.top,
                       candidate.objects));
        ASSERT_NE(coder, nullptr);
        const auto users = RFIDUsers::init(*coder);
        EXPECT_FALSE(users->userDict.has_value());
        EXPECT_EQ(users->salt, std::string(candidate.name) == "data" ? (Bytes{0, 1}) : Bytes());
    }
}

// A "userDict" entry list: NS.keys and NS.objects as given, class as given.
Bytes userDictArchive(const std::string& keys, const std::string& objects,
                      const std::string& className = "NSDictionary") {
    return xmlArchive(
        "<key>userDict</key>" + xmlUID(1),
        {
            "<dict><key>NS.keys</key><array>" + keys + "</array><key>NS.objects</key><array>" +
                objects + "</array><key>$class</key>" + xmlUID(2) + "</dict>",
            xmlClass(className),
            "<data>BKIkO2xSgA==</data>",                        // 3
            "<dict><key>$class</key>" + xmlUID(5) + "</dict>",  // 4: user
            xmlClass("SecretKeeperUser"),                       // 5
            "<string>text key</string>",                        // 6
            "<dict><key>$class</key>" + xmlUID(8) + "</dict>",  // 7: RFIDUsers
            xmlClass("RFIDUsers"),                              // 8
        });
}

TEST_F(SecretRecordsTest, UserDictMustMapDataToUsers) {
    // The well-formed case first, so the table below is known to test kinds.
    {
        const auto coder = openArchive(userDictArchive(xmlUID(3), xmlUID(4)));
        ASSERT_NE(coder, nullptr);
        const auto users = RFIDUsers::init(*coder);
        ASSERT_TRUE(users->userDict.has_value());
        EXPECT_NE(users->user(kBadgeA), nullptr);
        const auto mutableDict =
            openArchive(userDictArchive(xmlUID(3), xmlUID(4), "NSMutableDictionary"));
        ASSERT_NE(mutableDict, nullptr);
        EXPECT_TRUE(RFIDUsers::init(*mutableDict)->userDict.has_value());
    }
    const std::vector<Bytes> wrong = {
        userDictArchive(xmlUID(6), xmlUID(4)),                          // text key
        userDictArchive(xmlUID(3), xmlUID(7)),                          // value of another class
        userDictArchive(xmlUID(3), xmlUID(3)),                          // value is data
        userDictArchive(xmlUID(3), xmlUID(0)),                          // nil value
        userDictArchive(xmlUID(3) + xmlUID(6), xmlUID(4) + xmlUID(4)),  // one bad key
        userDictArchive(xmlUID(3), ""),                                 // counts differ
        userDictArchive("<data>AAE=</data>", xmlUID(4)),                // key not a reference
        userDictArchive(xmlUID(3), xmlUID(4), "NSArray"),               // not a dictionary
        userDictArchive(xmlUID(1), xmlUID(1)),                          // itself
    };
    for (std::size_t i = 0; i < wrong.size(); ++i) {
        SCOPED_TRACE(i);
        const auto coder = openArchive(wrong[i]);
        ASSERT_NE(coder, nullptr);
        EXPECT_FALSE(RFIDUsers::init(*coder)->userDict.has_value());
    }
}

TEST_F(SecretRecordsTest, SecretsKeysOfTheWrongKindTakeDefaults) {
    // localAdmin holds badge users, rfidUIDUsers holds a user, salt a text.
    const Bytes data = xmlArchive(
        "<key>root</key>" + xmlUID(1),
        {
            "<dict><key>$class</key>" + xmlUID(2) + "<key>localAdmin</key>" + xmlUID(3) +
                "<key>rfidUIDUsers</key>" + xmlUID(5) + "<key>salt</key>" + xmlUID(7) + "</dict>",
            xmlClass("Secrets"),
            "<dict><key>$class</key>" + xmlUID(4) + "</dict>",
            xmlClass("RFIDUsers"),
            "<dict><key>$class</key>" + xmlUID(6) + "</dict>",
            xmlClass("SecretKeeperUser"),
            "<string>salt</string>",
        });
    const auto secrets = unarchiveSecrets(data, ctx);
    ASSERT_NE(secrets, nullptr);
    EXPECT_EQ(secrets->localAdmin->fullName, std::optional<std::string>(""));
    EXPECT_EQ(secrets->localAdmin->password.size(), 44U);
    EXPECT_EQ(secrets->rfidUIDUsers->userDict, RFIDUserMap());
    EXPECT_EQ(secrets->rfidUIDUsers->salt.size(), 10U);
    EXPECT_TRUE(secrets->salt.empty());
}

TEST_F(SecretRecordsTest, DecodesAHandWrittenXMLArchive) {
    const Bytes data = xmlArchive(
        "<key>root</key>" + xmlUID(1),
        {
            // 1: Secrets
            "<dict><key>$class</key>" + xmlUID(12) + "<key>localAdmin</key>" + xmlUID(2) +
                "<key>rfidUIDUsers</key>" + xmlUID(7) + "<key>salt</key>" + xmlUID(11) + "</dict>",
            // 2: the administrator
            "<dict><key>$class</key>" + xmlUID(6) + "<key>fullName</key>" + xmlUID(3) +
                "<key>username</key>" + xmlUID(4) + "<key>password</key>" + xmlUID(5) +
                "<key>uid</key>" + xmlUID(13) + "<key>requiresPIN</key><true/></dict>",
            "<string>Local &amp; Admin</string>",  // 3
            "<string>ladmin</string>",             // 4
            "<data>AAECAw==</data>",               // 5
            xmlClass("SecretKeeperUser"),          // 6
                                                   // 7: RFIDUsers
            "<dict><key>$class</key>" + xmlUID(10) + "<key>userDict</key>" + xmlUID(8) +
                "<key>salt</key>" + xmlUID(14) + "</dict>",
            // 8: its map, one badge
            "<dict><key>NS.keys</key><array>" + xmlUID(9) + "</array><key>NS.objects</key><array>" +
                xmlUID(15) + "</array><key>$class</key>" + xmlUID(16) + "</dict>",
            "<data>BKIkO2xSgA==</data>",      // 9
            xmlClass("RFIDUsers"),            // 10
            "<data>c2FsdA==</data>",          // 11
            xmlClass("Secrets"),              // 12
            "<integer>-1</integer>",          // 13
            "<data>AAAAAAAAAAAAAA==</data>",  // 14
                                              // 15: the badge user, its name as a mutable string
                                              // object
            "<dict><key>$class</key>" + xmlUID(6) + "<key>username</key>" + xmlUID(17) +
                "<key>uid</key>" + xmlUID(18) + "<key>password</key>" + xmlUID(5) + "</dict>",
            xmlClass("NSMutableDictionary"),  // 16
            "<dict><key>$class</key>" + xmlUID(19) +
                "<key>NS.string</key><string>badge</string></dict>",
            "<integer>502</integer>",     // 18
            xmlClass("NSMutableString"),  // 19
        });
    const auto secrets = unarchiveSecrets(data, ctx);
    ASSERT_NE(secrets, nullptr);
    expectSameUser(*secrets->localAdmin,
                   SecretKeeperUser("Local & Admin", "ladmin", Bytes{0, 1, 2, 3}, -1, true));
    EXPECT_EQ(secrets->salt, toBytes("salt"));
    EXPECT_EQ(secrets->rfidUIDUsers->salt, Bytes(10, 0));
    const auto badge = secrets->rfidUIDUsers->user(kBadgeA);
    ASSERT_NE(badge, nullptr);
    expectSameUser(*badge, SecretKeeperUser(std::nullopt, "badge", Bytes{0, 1, 2, 3}, 502, false));
}

TEST_F(SecretRecordsTest, BadInputGivesNoSecretsOrDefaults) {
    for (const Bytes& input : {Bytes(), toBytes("garbage"), toBytes("bplist00garbage"),
                               toBytes("<plist><string>x</string></plist>")}) {
        EXPECT_EQ(unarchiveSecrets(input, ctx), nullptr);
    }
    // A root that is not a Secrets record.
    const RFIDUsers users(std::nullopt, Bytes());
    EXPECT_EQ(unarchiveSecrets(KeyedArchiver::archivedData(users).value_or(Bytes()), ctx), nullptr);

    // A Secrets whose keys all point back at itself decodes with defaults.
    const Bytes cyclic = xmlArchive(
        "<key>root</key>" + xmlUID(1),
        {"<dict><key>$class</key>" + xmlUID(2) + "<key>localAdmin</key>" + xmlUID(1) +
             "<key>rfidUIDUsers</key>" + xmlUID(1) + "<key>salt</key>" + xmlUID(1) + "</dict>",
         xmlClass("Secrets")});
    const auto secrets = unarchiveSecrets(cyclic, ctx);
    ASSERT_NE(secrets, nullptr);
    EXPECT_EQ(secrets->localAdmin->password.size(), 44U);
    EXPECT_EQ(secrets->rfidUIDUsers->userDict, RFIDUserMap());

    // Every prefix and many single-byte changes of a real archive.
    RFIDUserMap map;
    map[kBadgeA] = std::make_shared<SecretKeeperUser>("A", "a", Bytes(45, 3), 503, true);
    const RFIDUsers stored(map, Bytes(10, 1));
    for (const PlistFormat format : {PlistFormat::Binary, PlistFormat::XML}) {
        const Bytes data = KeyedArchiver::archivedData(stored, format).value_or(Bytes());
        ASSERT_FALSE(data.empty());
        const auto decode = [](const Bytes& input) {
            const auto coder = KeyedUnarchiver::open(input);
            if (coder != nullptr) {
                (void)coder->decodeObject("root").object<RFIDUsers>();
            }
        };
        for (std::size_t length = 0; length < data.size(); ++length) {
            decode(Bytes(data.begin(), data.begin() + static_cast<long>(length)));
        }
        // Every byte of the binary form, every fifth of the longer XML form.
        const std::size_t stride = format == PlistFormat::Binary ? 1 : 5;
        for (std::size_t at = 0; at < data.size(); at += stride) {
            for (const std::uint8_t value :
                 std::initializer_list<std::uint8_t>{0x00, 0x01, 0x7F, 0x80, 0xFF}) {
                Bytes damaged = data;
                damaged[at] = value;
                decode(damaged);
            }
        }
    }
}

TEST_F(SecretRecordsTest, ManyReferencesToOneLargeValueStayBounded) {
    // 2,000 badges whose keys are all the same 64 KiB data object: copying
    // every key would take 128 MiB; the decoder stops at its byte budget and
    // the map reads as absent.
    std::string keys;
    std::string objects;
    for (int i = 0; i < 2000; ++i) {
        keys += xmlUID(3);
        objects += xmlUID(4);
    }
    const std::string big = std::string(87382, 'A');  // base64 of 64 KiB
    const Bytes data = xmlArchive(
        "<key>userDict</key>" + xmlUID(1),
        {"<dict><key>NS.keys</key><array>" + keys + "</array><key>NS.objects</key><array>" +
             objects + "</array><key>$class</key>" + xmlUID(2) + "</dict>",
         xmlClass("NSDictionary"), "<data>" + big + "</data>",
         "<dict><key>$class</key>" + xmlUID(5) + "</dict>", xmlClass("SecretKeeperUser")});
    const auto coder = openArchive(data);
    ASSERT_NE(coder, nullptr);
    EXPECT_FALSE(RFIDUsers::init(*coder)->userDict.has_value());
}

}  // namespace
}  // namespace lockstep::testing
