// The keyed-archive decoder of the secret records. Input: an archive (binary
// or XML property list) whose top-level key "root" holds the record.
//
// The root is read with every accessor, then as each of the three records.
// A Secrets record without a local administrator builds a default one whose
// password is sealed under a key stretched with 65,537 SHA-256 digests; at
// that cost per input the fuzzer would crawl. So such a record is decoded on
// a machine without a serial number, where the sealing fails at once and the
// decoder must give no record; a record with an administrator is decoded on
// a machine with one (etc/machine-id) and must decode.
//
// Checks: decoding never crashes or runs away; a Secrets record always has
// an administrator and badge users; and every decoded record, archived again
// (binary and XML) and decoded, gives the same record (texts as the archiver
// normalises them: valid UTF-8, cut at the first NUL byte).

#include "secrets/keyed_archive.h"

#include <fstream>
#include <memory>
#include <string>
#include <utility>

#include "platform/context.h"
#include "platform/text.h"
#include "secrets/secret_records.h"
#include "support/fuzz_support.h"

namespace lockstep::fuzz {
namespace {

constexpr std::string_view kRootKey = "root";

// A text as the archiver writes it.
std::string normalised(const std::string& text) {
    std::string valid = isValidUtf8(text) ? text : toValidUtf8(text);
    return valid.substr(0, valid.find('\0'));
}

bool sameUser(const SecretKeeperUser& decoded, const SecretKeeperUser& original) {
    const std::optional<std::string> fullName =
        original.fullName ? std::optional<std::string>(normalised(*original.fullName))
                          : std::nullopt;
    return decoded.fullName == fullName && decoded.username == normalised(original.username) &&
           decoded.password == original.password && decoded.userUID == original.userUID &&
           decoded.requiresPIN == original.requiresPIN;
}

bool sameBadgeUsers(const RFIDUsers& decoded, const RFIDUsers& original) {
    if (decoded.salt != original.salt ||
        decoded.userDict.has_value() != original.userDict.has_value()) {
        return false;
    }
    if (!original.userDict) {
        return true;
    }
    if (decoded.userDict->size() != original.userDict->size()) {
        return false;
    }
    for (const auto& [badge, user] : *original.userDict) {
        const auto found = decoded.userDict->find(badge);
        if (found == decoded.userDict->end() || found->second == nullptr || user == nullptr ||
            !sameUser(*found->second, *user)) {
            return false;
        }
    }
    return true;
}

bool same(const SecretKeeperUser& decoded, const SecretKeeperUser& original) {
    return sameUser(decoded, original);
}
bool same(const RFIDUsers& decoded, const RFIDUsers& original) {
    return sameBadgeUsers(decoded, original);
}
bool same(const Secrets& decoded, const Secrets& original) {
    return decoded.salt == original.salt && decoded.localAdmin != nullptr &&
           original.localAdmin != nullptr && sameUser(*decoded.localAdmin, *original.localAdmin) &&
           decoded.rfidUIDUsers != nullptr && original.rfidUIDUsers != nullptr &&
           sameBadgeUsers(*decoded.rfidUIDUsers, *original.rfidUIDUsers);
}

struct Machines {
    Context withSerial;
    Context withoutSerial;
};

// Reads the root of an archive as a record of class Record.
template <class Record>
std::shared_ptr<Record> decodeRoot(KeyedUnarchiver& coder, const Machines& machines) {
    if constexpr (std::is_same_v<Record, Secrets>) {
        return coder.decodeObject(kRootKey).object<Secrets>([&](KeyedUnarchiver& inner) {
            // Decoded once here and shared with init(coder:), which reads the
            // same entry.
            const bool hasAdmin =
                inner.decodeObject("localAdmin").object<SecretKeeperUser>() != nullptr;
            std::shared_ptr<Secrets> secrets =
                Secrets::init(inner, hasAdmin ? machines.withSerial : machines.withoutSerial);
            if (hasAdmin) {
                check(secrets != nullptr, "a Secrets record with an administrator did not decode");
            } else {
                check(secrets == nullptr,
                      "a Secrets record decoded without the default administrator's key");
            }
            return secrets;
        });
    } else {
        return coder.decodeObject(kRootKey).object<Record>();
    }
}

template <class Record>
void checkRoundTrip(const Record& record, const Machines& machines) {
    for (const PlistFormat format : {PlistFormat::Binary, PlistFormat::XML}) {
        const std::optional<Bytes> archived = KeyedArchiver::archivedData(record, format);
        check(archived.has_value(), "a decoded record cannot be archived");
        const std::unique_ptr<KeyedUnarchiver> coder = KeyedUnarchiver::open(*archived);
        check(coder != nullptr, "an archived record cannot be opened");
        const std::shared_ptr<Record> decoded = decodeRoot<Record>(*coder, machines);
        check(decoded != nullptr, "an archived record does not decode");
        check(same(*decoded, record), "an archived record decodes to another record");
        // Not checked: that archiving the decoded record gives the same bytes.
        // libplist's binary writer shares equal values between objects in a
        // way that can differ from one call to the next (the same content,
        // laid out differently), so only the content is promised.
    }
}

// Every accessor on a value, and one level into a dictionary.
void touch(const ArchivedObject& value, bool nested) {
    static_cast<void>(value.isNil());
    static_cast<void>(value.string());
    static_cast<void>(value.data());
    static_cast<void>(value.integer());
    static_cast<void>(value.className());
    if (const auto entries = value.dictionary(); entries && nested) {
        for (const auto& [key, object] : *entries) {
            touch(key, false);
            touch(object, false);
        }
    }
}

const Machines& machines() {
    static StubKeychain keychain;
    static StubDirectory directory;
    static const Machines instance = [] {
        const std::filesystem::path& folder = environment();
        const std::filesystem::path withSerial = folder / "machine";
        std::filesystem::create_directories(withSerial / "etc");
        std::ofstream(withSerial / "etc/machine-id") << "4c4c4544004d3510804bc4c04f4e3732\n";
        std::filesystem::create_directories(folder / "bare");
        return Machines{
            Context{keychain, directory, "/nonexistent/fdesetup", {}, withSerial},
            Context{keychain, directory, "/nonexistent/fdesetup", {}, folder / "bare"},
        };
    }();
    return instance;
}

}  // namespace

void fuzzOne(const std::uint8_t* data, std::size_t size) {
    const Machines& machines = fuzz::machines();

    const std::unique_ptr<KeyedUnarchiver> coder = KeyedUnarchiver::open(bytesOf(data, size));
    if (coder == nullptr) {
        return;
    }
    touch(coder->decodeObject(kRootKey), true);
    static_cast<void>(coder->decodeBool(kRootKey));
    static_cast<void>(coder->containsValue(kRootKey));

    if (const auto secrets = decodeRoot<Secrets>(*coder, machines)) {
        check(secrets->localAdmin != nullptr && secrets->rfidUIDUsers != nullptr,
              "a Secrets record without administrator or badge users");
        checkRoundTrip(*secrets, machines);
    }
    if (const auto badgeUsers = decodeRoot<RFIDUsers>(*coder, machines)) {
        checkRoundTrip(*badgeUsers, machines);
    }
    if (const auto user = decodeRoot<SecretKeeperUser>(*coder, machines)) {
        checkRoundTrip(*user, machines);
    }
}

}  // namespace lockstep::fuzz
