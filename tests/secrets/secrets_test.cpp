// GCC 12 at -O3 reports a memcmp bound beyond the largest object size inside
// the std::map<Bytes, ...> insertion that this file instantiates (the same
// false positive in the standard library headers as in secret_records.cpp).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "keychain/faulty_keychain.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/text.h"
#include "secrets/password_cryptor.h"
#include "secrets/secret_keeper.h"
#include "secrets/secret_records.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

using Case = SecretKeeperError::Case;
constexpr std::string_view kTestSerial = "4c4c4544004d3510804bc4c04f4e3732";
const Bytes kBadge{0x04, 0xA2, 0x24, 0x3B, 0x6C, 0x52, 0x80};  // "BKIkO2xSgA==" in XML
const Bytes kSalt{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                  0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f};

// A real keychain service (behind the fault switches) and local directory
// on a temporary folder, and a machine root whose etc/machine-id is the serial.
class SecretsTest : public ::testing::Test {
  protected:
    SecretsTest() { setSerial(kTestSerial); }
    void setSerial(std::string_view serial) {
        writeFile(temp / "machine/etc/machine-id", std::string(serial) + "\n");
    }
    void removeSerial() { std::filesystem::remove(temp / "machine/etc/machine-id"); }
    void failRandom() { keychain.faults["SecRandomCopyBytes"] = {.status = errSecAllocate}; }

    TempDir temp;
    SqliteKeychainService realKeychain{{.systemKeychainPath = temp / "keychains/System.keychain",
                                        .userKeychainPath = temp / "keychains/login.keychain",
                                        .callingProgramPath = {}}};
    FaultyKeychainService keychain{realKeychain};
    LocalDirectoryService directory{temp / "directory"};
    Context ctx{keychain, directory, "/usr/bin/fdesetup", temp.path(), temp / "machine"};
};

// The kind of E that `body` throws; nothing when it throws nothing.
template <class E, class Body>
std::optional<typename E::Case> caseThrown(Body&& body) {
    try {
        body();
    } catch (const E& error) {
        return error.kind();
    }
    return std::nullopt;
}

// Opens an encrypted password (salt | nonce | ciphertext | tag) again: the
// clear text, or nothing when the tag does not authenticate under the key of
// (uid, pin, serial). The daemon itself never decrypts.
std::optional<Bytes> passwordDecrypt(const Context& ctx, const Bytes& sealed, const Bytes& uid,
                                     const std::optional<std::string>& pin) {
    const std::uint8_t* nonce = sealed.data() + kStretchSaltLength;
    const std::uint8_t* ciphertext = nonce + kGCMNonceLength;
    const int length = static_cast<int>(sealed.size() - kEncryptedPasswordOverhead);
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> cipher(
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    Bytes clear(sealed.size());
    int written = 0, last = 0;
    if (EVP_DecryptInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr,
                           keyForAES(ctx, uid, Bytes(sealed.data(), nonce), pin).key.data(),
                           nonce) != 1 ||
        EVP_DecryptUpdate(cipher.get(), clear.data(), &written, ciphertext, length) != 1 ||
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kGCMTagLength),
                            const_cast<std::uint8_t*>(ciphertext + length)) != 1 ||
        EVP_DecryptFinal_ex(cipher.get(), clear.data() + written, &last) != 1) {
        return std::nullopt;
    }
    clear.resize(static_cast<std::size_t>(written + last));
    return clear;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
}

// Hand-written keyed archives in XML. A reference to entry `uid` of "$objects":
std::string ref(std::uint64_t uid) {
    return "<dict><key>CF$UID</key><integer>" + std::to_string(uid) + "</integer></dict>";
}
// A class entry {"$classname": name, "$classes": [name, "NSObject"]}.
std::string xmlClass(const std::string& name) {
    return "<dict><key>$classname</key><string>" + name + "</string><key>$classes</key><array>" +
           "<string>" + name + "</string><string>NSObject</string></array></dict>";
}
// An object of the class at `classUID` with the given keys and values.
std::string xmlObject(std::uint64_t classUID,
                      const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string text = "<dict><key>$class</key>" + ref(classUID);
    for (const auto& [key, value] : fields) {
        text += "<key>" + key + "</key>" + value;
    }
    return text + "</dict>";
}
// `top` is the inside of "$top", `objects` the entries from UID 1 on.
Bytes xmlArchive(const std::string& top, const std::vector<std::string>& objects) {
    std::string text =
        "<plist version=\"1.0\"><dict><key>$archiver</key><string>NSKeyedArchiver</string>"
        "<key>$objects</key><array><string>$null</string>";
    for (const std::string& object : objects) {
        text += object;
    }
    return toBytes(text + "</array><key>$top</key><dict>" + top +
                   "</dict><key>$version</key><integer>100000</integer></dict></plist>");
}

auto fields(const SecretKeeperUser& u) {
    return std::tie(u.fullName, u.username, u.password, u.userUID, u.requiresPIN);
}

TEST_F(SecretsTest, KeeperHandsOutTheSystemKeychainAndTakesOnlyUTF8Tags) {
    const SecretKeeper keeper(keychain, "label", "tag", temp / "missing/meridale/");
    EXPECT_EQ(std::pair(keeper.secretsFileURL, realKeychain.keychainFile(keeper.systemKeychain())),
              std::pair(temp / "missing/meridale/secrets.bin",
                        std::optional(temp / "keychains/System.keychain")));
    // Neither the folder nor a keychain is created.
    EXPECT_FALSE(std::filesystem::exists(temp / "missing") ||
                 std::filesystem::exists(temp / "keychains"));
    for (const char* valid : {"", "caf\xc3\xa9", "\xf0\x9f\x94\x91", "\xef\xbf\xbf"}) {
        EXPECT_EQ(SecretKeeper(keychain, "l", valid, temp.path()).tag(), toBytes(valid));
    }
    // Never in UTF-8, a stray continuation byte, overlong forms, a UTF-16
    // surrogate, above U+10FFFF, a cut-short end.
    for (const char* invalid : {"\xff", "\x80rest", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                                "\xf4\x90\x80\x80", "ok\xe2\x82"}) {
        const auto make = [&] { SecretKeeper(keychain, "l", invalid, temp.path()); };
        EXPECT_EQ(caseThrown<SecretKeeperError>(make), Case::invalidTag) << invalid;
    }
    // A failed lookup fails even when a keychain was handed back; a
    // successful one without a keychain fails too.
    auto& fault = keychain.faults["SecKeychainCopyDomainDefault"];
    const auto lookUp = [&] { (void)keeper.systemKeychain(); };
    fault = {.status = errSecNoSuchKeychain, .callThrough = true};
    EXPECT_EQ(caseThrown<SecretKeeperError>(lookUp), Case::errorFindingKey);
    fault = {};
    EXPECT_EQ(caseThrown<SecretKeeperError>(lookUp), Case::unknownError);
}

TEST_F(SecretsTest, StretchingMatchesAKnownAnswerAndDrawsFreshSalts) {
    const PasswordCryptor cryptor;
    const StretchedSecret known = cryptor.hashSecretWithKeyStretchingAndSalt(
        keychain, concat({kBadge, toBytes("1234C02XK0ABJGH5")}), kSalt);
    // Computed with another SHA-256 implementation.
    EXPECT_EQ(hexEncode(known.hashedValue.bytes()),
              "1e5c1583339c6cb9f55c544ae40173670e81012f20172286b4497f2123d0cbf0");
    // Without a salt a fresh one is drawn and used.
    const StretchedSecret first = cryptor.hashSecretWithKeyStretchingAndSalt(keychain, kBadge, {});
    EXPECT_EQ(
        std::tuple(first.salt.size(), first.hashedValue.bytes()),
        std::tuple(
            kStretchSaltLength,
            cryptor.hashSecretWithKeyStretchingAndSalt(kBadge, first.salt).hashedValue.bytes()));
    EXPECT_NE(cryptor.hashSecretWithKeyStretchingAndSalt(keychain, kBadge, {}).salt, first.salt);
    // A failed draw fails the stretching and the encryption; a given salt
    // needs no draw.
    failRandom();
    const auto failure = PasswordCryptorError::Case::randomNumberGeneratingError;
    EXPECT_EQ(caseThrown<PasswordCryptorError>(
                  [&] { (void)cryptor.hashSecretWithKeyStretchingAndSalt(keychain, kBadge, {}); }),
              failure);
    EXPECT_EQ(caseThrown<PasswordCryptorError>(
                  [&] { (void)passwordEncrypt(ctx, toBytes("pw"), kBadge, "1234"); }),
              failure);
    EXPECT_NO_THROW((void)keyForAES(ctx, kBadge, kSalt, "1234"));
}

TEST_F(SecretsTest, KeyForAESStretchesTheUIDThePINAndTheMachineSerial) {
    const Bytes serial = toBytes("SERIAL");
    const Bytes badge7 = concat({kBadge, toBytes("7")});
    const std::vector<std::tuple<Bytes, std::optional<std::string>, Bytes>> rows = {
        {Bytes(), std::nullopt, concat({Bytes(7, 0), serial})},
        {Bytes(6, 0xAA), std::nullopt, concat({Bytes(6, 0xAA), Bytes{0}, serial})},
        {Bytes(10, 0xAA), std::nullopt, concat({Bytes(10, 0xAA), serial})},  // never cut
        {kBadge, "", concat({kBadge, serial})},                              // as no PIN
        {kBadge, "\xff\xfe", concat({kBadge, serial})},  // not UTF-8: adds nothing
        // No separators: a 7-byte UID with the PIN "7" is the 8-byte UID.
        {kBadge, "7", concat({badge7, serial})},
    };
    for (const auto& [uid, pin, expected] : rows) {
        EXPECT_EQ(aesKeyMaterial(uid, pin, "SERIAL").bytes(), expected);
    }
    EXPECT_EQ(keyForAES(ctx, kBadge, kSalt, "1234").key.bytes(),
              PasswordCryptor{}
                  .hashSecretWithKeyStretchingAndSalt(
                      concat({kBadge, toBytes("1234"), toBytes(kTestSerial)}), kSalt)
                  .hashedValue.bytes());
    removeSerial();
    LogCapture capture;
    EXPECT_EQ(caseThrown<SecretKeeperError>([&] { (void)keyForAES(ctx, kBadge, kSalt, "1"); }),
              Case::aesEncryptionError);
    EXPECT_TRUE(capture.contains(kLogLevelDebug, "serial number error"));
    EXPECT_EQ(caseThrown<SecretKeeperError>([&] { (void)passwordEncrypt(ctx, {}, {}, {}); }),
              Case::aesEncryptionError);
}

TEST_F(SecretsTest, SealedPasswordOpensOnlyWithTheSameInputs) {
    const Bytes clear = toBytes("hunter2");
    const Bytes sealed = passwordEncrypt(ctx, clear, kBadge, "1234");
    const Bytes again = passwordEncrypt(ctx, clear, kBadge, "1234");
    ASSERT_EQ(std::pair(sealed.size(), passwordDecrypt(ctx, sealed, kBadge, "1234")),
              std::pair(44U + clear.size(), std::optional(clear)));
    // A fresh salt (bytes 0-15) and a fresh nonce (16-27) each time.
    for (const int at : {0, 16}) {  // the salt (bytes 0-15) and the nonce (16-27)
        EXPECT_FALSE(std::equal(sealed.begin() + at, sealed.begin() + at + 12, again.begin() + at));
    }
    for (const auto& [uid, pin] : std::vector<std::pair<Bytes, std::optional<std::string>>>{
             {Bytes{0x04, 0xA2}, "1234"}, {kBadge, "1235"}, {kBadge, std::nullopt}}) {
        EXPECT_EQ(passwordDecrypt(ctx, sealed, uid, pin), std::nullopt);
    }
    setSerial("another-machine-serial");
    EXPECT_EQ(passwordDecrypt(ctx, sealed, kBadge, "1234"), std::nullopt);
}

TEST_F(SecretsTest, RecordsRoundTripWithoutDrawingAnything) {
    const auto ada = std::make_shared<SecretKeeperUser>("Ada L", "ada", Bytes(60, 1), 501, true);
    const RFIDUserMap map = {
        {kBadge, ada},
        {Bytes{1}, std::make_shared<SecretKeeperUser>(std::nullopt, "b", Bytes(), -1, false)},
        {Bytes{2}, std::make_shared<SecretKeeperUser>("", "", Bytes{0}, INT64_MIN, false)},
        {Bytes{3}, ada},
        {Bytes{4}, nullptr}};
    const Secrets secrets(
        std::make_shared<SecretKeeperUser>("Zo\xc3\xab \xf0\x9f\x94\x91", "zo\xc3\xab", Bytes(44),
                                           INT64_MAX, true),
        std::make_shared<RFIDUsers>(map, Bytes(10, 7)), Bytes{9, 8});
    const auto odd =
        std::make_shared<SecretKeeperUser>(std::nullopt, "ok \xff cut\xe2\x82", Bytes(), 0, false);
    for (const PlistFormat format : {PlistFormat::Binary, PlistFormat::XML}) {
        const auto decode = [&](const Secrets& record) {
            return unarchiveSecrets(KeyedArchiver::archivedData(record, format).value(), ctx);
        };
        const auto decoded = decode(secrets);
        EXPECT_EQ(fields(*decoded->localAdmin), fields(*secrets.localAdmin));
        const RFIDUsers& badges = *decoded->rfidUIDUsers;
        EXPECT_EQ(std::tie(decoded->salt, badges.salt), std::tuple(Bytes{9, 8}, Bytes(10, 7)));
        ASSERT_EQ(badges.userDict.value().size(), 4U);  // the null entry is left out
        for (const auto& [badge, user] : badges.userDict.value()) {
            EXPECT_EQ(fields(*user), fields(*map.at(badge)));
        }
        EXPECT_EQ(badges.user(kBadge), badges.user(Bytes{3}));  // written and decoded once
        // An absent map stays absent, an empty one empty. Texts are written
        // as UTF-8: stray and cut-short bytes become U+FFFD.
        for (const auto& badgeMap : {std::optional<RFIDUserMap>(), std::optional(RFIDUserMap())}) {
            const auto bare =
                decode(Secrets(odd, std::make_shared<RFIDUsers>(badgeMap, Bytes()), {}));
            EXPECT_EQ(bare->rfidUIDUsers->userDict, badgeMap);
            EXPECT_EQ(bare->localAdmin->username, "ok \xef\xbf\xbd cut\xef\xbf\xbd\xef\xbf\xbd");
        }
    }
    EXPECT_EQ(keychain.calls["SecRandomCopyBytes"], 0);
}

// A "userDict" map (UID 1, its class at 2) with the given NS.keys and
// NS.objects, then what they may name: 3 data, 4 a user, 6 a text, 7 an
// object of another class.
std::vector<std::string> map(const std::string& keys, const std::string& objects,
                             const std::string& className = "NSDictionary",
                             const std::string& data = "BKIkO2xSgA==") {
    return {xmlObject(2, {{"NS.keys", "<array>" + keys + "</array>"},
                          {"NS.objects", "<array>" + objects + "</array>"}}) +
            xmlClass(className) + "<data>" + data + "</data>" + xmlObject(5, {}) +
            xmlClass("SecretKeeperUser") + "<string>text key</string>" + xmlObject(8, {}) +
            xmlClass("RFIDUsers")};
}

TEST_F(SecretsTest, KeysOfTheWrongKindTakeDefaults) {
    // Values of every kind: what "$top" holds under the key, and the
    // "$objects" entries from UID 1.
    const auto text = std::vector{xmlObject(2, {{"NS.string", "<string>text</string>"}}),
                                  xmlClass("NSMutableString")};
    const std::vector<std::tuple<std::string, std::string, std::vector<std::string>>> values = {
        {"integer", ref(1), {"<integer>7</integer>"}},
        {"data", ref(1), {"<data>AAE=</data>"}},
        {"text", ref(1), {"<string>text</string>"}},
        {"text", ref(1), text},
        {"inline text", "<string>inline</string>", {}},
        {"inline boolean", "<true/>", {}},
        {"reference outside", ref(99), {}},
        {"nil", ref(0), {}},
        {"user", ref(1), {xmlObject(2, {}), xmlClass("SecretKeeperUser")}},
        {"badge map", ref(1), map(ref(3), ref(4))},
        {"badge map", ref(1), map(ref(3), ref(4), "NSMutableDictionary")},
        {"map with a text key", ref(1), map(ref(3) + ref(6), ref(4) + ref(4))},
        {"map to another class", ref(1), map(ref(3), ref(7))},
        {"map with fewer objects than keys", ref(1), map(ref(3), "")},
        {"map of another class", ref(1), map(ref(3), ref(4), "NSArray")},
        {"map holding itself", ref(1), map(ref(1), ref(1))},
        // 2,000 badges whose keys all name one 64 KiB data object: 128 MiB
        // if every reference were copied.
        {"map of exploding shared references", ref(1),
         map(repeat(ref(3), 2000), repeat(ref(4), 2000), "NSDictionary", std::string(87382, 'A'))},
    };
    // Each user key, the one kind it accepts, and the user that gives.
    const SecretKeeperUser defaults(std::nullopt, "", Bytes(), -1, false);
    const std::vector<std::tuple<std::string, std::string, SecretKeeperUser>> keys = {
        {"fullName", "text", {"text", "", {}, -1, false}},
        {"username", "text", {std::nullopt, "text", {}, -1, false}},
        {"password", "data", {std::nullopt, "", {0, 1}, -1, false}},
        {"uid", "integer", {std::nullopt, "", {}, 7, false}},
        {"requiresPIN", "inline boolean", {std::nullopt, "", {}, -1, true}}};
    for (const auto& [kind, top, objects] : values) {
        for (const auto& [key, accepted, user] : keys) {
            const auto coder =
                KeyedUnarchiver::open(xmlArchive("<key>" + key + "</key>" + top, objects));
            EXPECT_EQ(fields(*SecretKeeperUser::init(*coder)),
                      fields(kind == accepted ? user : defaults))
                << key << " <- " << kind;
        }
        const auto users = RFIDUsers::init(*KeyedUnarchiver::open(
            xmlArchive("<key>userDict</key>" + top + "<key>salt</key>" + top, objects)));
        EXPECT_EQ(users->user(kBadge) != nullptr, kind == "badge map") << kind;
        EXPECT_EQ(users->salt, kind == "data" ? (Bytes{0, 1}) : Bytes()) << kind;
    }
}

// A "root" Secrets record (UID 1, its class at 2) with the given keys,
// followed by `objects` from UID 3 on.
Bytes secretsArchive(const std::vector<std::pair<std::string, std::string>>& keys,
                     std::vector<std::string> objects = {}) {
    objects.insert(objects.begin(), {xmlObject(2, keys), xmlClass("Secrets")});
    return xmlArchive("<key>root</key>" + ref(1), objects);
}

TEST_F(SecretsTest, BadInputGivesNoSecrets) {
    const std::string big((kMaxKeyedArchiveBytes + 2) / 3 * 4, 'A');  // base64 of 1 MiB
    const std::string xml = "<plist><dict><key>$archiver</key><string>";
    const std::vector<std::pair<const char*, Bytes>> rows = {
        {"not a property list", toBytes("not a property list")},
        {"bare binary header", toBytes("bplist00garbage")},
        {"another archiver", toBytes(xml + "X</string></dict></plist>")},
        {"no $objects",
         toBytes(xml + "NSKeyedArchiver</string><key>$top</key><dict/></dict></plist>")},
        {"over the size cap", secretsArchive({{"salt", ref(3)}}, {"<data>" + big + "</data>"})},
        {"root of another class", KeyedArchiver::archivedData(RFIDUsers({}, Bytes())).value()},
        {"class outside $objects", xmlArchive("<key>root</key>" + ref(1), {xmlObject(77, {})})},
        {"XML nested 50,000 deep",
         toBytes("<plist>" + repeat("<array>", 50000) + repeat("</array>", 50000) + "</plist>")},
    };
    for (const auto& [name, data] : rows) {
        EXPECT_EQ(unarchiveSecrets(data, ctx), nullptr) << name;
    }
}

TEST_F(SecretsTest, SecretsKeysMissingOrOfTheWrongKindTakeDefaults) {
    const std::vector<std::pair<const char*, Bytes>> rows = {
        {"no keys", secretsArchive({})},
        // localAdmin holds badge users, rfidUIDUsers a user, salt a text.
        {"wrong classes",
         secretsArchive({{"localAdmin", ref(3)}, {"rfidUIDUsers", ref(5)}, {"salt", ref(7)}},
                        {xmlObject(4, {}), xmlClass("RFIDUsers"), xmlObject(6, {}),
                         xmlClass("SecretKeeperUser"), "<string>salt</string>"})},
        {"cycle",
         secretsArchive({{"localAdmin", ref(1)}, {"rfidUIDUsers", ref(1)}, {"salt", ref(1)}})},
    };
    for (const auto& [name, data] : rows) {
        SCOPED_TRACE(name);
        const auto secrets = unarchiveSecrets(data, ctx);
        ASSERT_NE(secrets, nullptr);
        const SecretKeeperUser& admin = *secrets->localAdmin;
        const RFIDUsers& badges = *secrets->rfidUIDUsers;
        EXPECT_EQ(
            std::tuple(admin.fullName, admin.username, admin.userUID, admin.requiresPIN,
                       badges.userDict, badges.salt.size(), secrets->salt.empty()),
            std::tuple(std::optional<std::string>(""), "", -1, false, RFIDUserMap(), 10U, true));
        // The empty text sealed under an empty UID and no PIN.
        ASSERT_EQ(admin.password.size(), 44U);
        EXPECT_EQ(passwordDecrypt(ctx, admin.password, Bytes(), std::nullopt), Bytes());
        EXPECT_NE(badges.salt, Bytes(10, 0));  // drawn
    }
    // Without a serial number or random bytes there is no default
    // administrator, and so no record.
    removeSerial();
    LogCapture capture;
    EXPECT_EQ(unarchiveSecrets(rows[0].second, ctx), nullptr);
    EXPECT_TRUE(capture.containsInOrder({"serial number error", "error init of user object"}));
    setSerial(kTestSerial);
    failRandom();
    EXPECT_EQ(unarchiveSecrets(rows[0].second, ctx), nullptr);
    // init(userDict:) is made all the same, its salt left zero.
    EXPECT_EQ(RFIDUsers(std::nullopt, ctx).salt, Bytes(10, 0));
}

}  // namespace
}  // namespace lockstep::testing
