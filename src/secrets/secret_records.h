#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bytes.h"
#include "platform/context.h"
#include "secrets/keyed_archive.h"

namespace lockstep {

// One user of the secret store. `password` holds the password encrypted by
// passwordEncrypt() (salt | nonce | ciphertext | tag), never the clear text.
class SecretKeeperUser final : public KeyedEncodable {
  public:
    static constexpr std::string_view kClassName = "SecretKeeperUser";
    static constexpr bool supportsSecureCoding = true;
    static constexpr std::int64_t kDefaultUserUID = -1;

    SecretKeeperUser(std::optional<std::string> fullName, std::string username, Bytes password,
                     std::int64_t userUID, bool requiresPIN);

    // init(coder:): every key missing or of the wrong kind takes its default
    // (no fullName, empty username and password, uid -1, no PIN). Never null.
    [[nodiscard]] static std::shared_ptr<SecretKeeperUser> init(KeyedUnarchiver& coder);

    // encode(with:): "fullName" (only when present), "username", "password",
    // "uid", then "requiresPIN" as an inline boolean.
    void encode(KeyedArchiver& coder) const override;
    [[nodiscard]] std::string_view archiveClassName() const override { return kClassName; }

    std::optional<std::string> fullName;
    std::string username;
    Bytes password;
    std::int64_t userUID;
    bool requiresPIN;
};

// Badge users keyed by the raw bytes of their RFID badge's UID.
using RFIDUserMap = std::map<Bytes, std::shared_ptr<SecretKeeperUser>>;

// The users of RFID badges, with a salt.
class RFIDUsers final : public KeyedEncodable {
  public:
    static constexpr std::string_view kClassName = "RFIDUsers";
    static constexpr bool supportsSecureCoding = true;
    static constexpr std::size_t kSaltLength = 10;

    // init(userDict:): takes the map (which may be absent) and draws a fresh
    // 10-byte salt from ctx.keychain's generator. The generator's status is
    // not consulted (the salt stays zero where it wrote nothing).
    RFIDUsers(std::optional<RFIDUserMap> userDict, const Context& ctx);
    // A record with the given salt.
    RFIDUsers(std::optional<RFIDUserMap> userDict, Bytes salt);

    // init(coder:): "userDict" must be a dictionary from data to users,
    // otherwise the map is absent; "salt" must be data, otherwise empty.
    // Never null.
    [[nodiscard]] static std::shared_ptr<RFIDUsers> init(KeyedUnarchiver& coder);

    void encode(KeyedArchiver& coder) const override;
    [[nodiscard]] std::string_view archiveClassName() const override { return kClassName; }

    // The user of a badge; null when there is none (or no map at all).
    [[nodiscard]] std::shared_ptr<SecretKeeperUser> user(const Bytes& rfidUID) const;

    std::optional<RFIDUserMap> userDict;
    Bytes salt;
};

// The root record of a secrets file: the local administrator and the badge
// users.
class Secrets final : public KeyedEncodable {
  public:
    static constexpr std::string_view kClassName = "Secrets";
    static constexpr bool supportsSecureCoding = true;

    Secrets(std::shared_ptr<SecretKeeperUser> localAdmin, std::shared_ptr<RFIDUsers> rfidUIDUsers,
            Bytes salt);

    // init(coder:). Without a user under "localAdmin", builds the default
    // administrator (present empty fullName, empty username, uid -1, no PIN,
    // password = passwordEncrypt of empty bytes with an empty UID and no PIN);
    // when that fails, logs "error init of user object" and gives null.
    // Without an RFIDUsers under "rfidUIDUsers", a new one with an empty map
    // and a fresh salt; "salt" defaults to empty bytes.
    [[nodiscard]] static std::shared_ptr<Secrets> init(KeyedUnarchiver& coder, const Context& ctx);

    void encode(KeyedArchiver& coder) const override;
    [[nodiscard]] std::string_view archiveClassName() const override { return kClassName; }

    std::shared_ptr<SecretKeeperUser> localAdmin;
    std::shared_ptr<RFIDUsers> rfidUIDUsers;
    Bytes salt;
};

// The Secrets record archived under "root" of `data`; null when the data is
// not such an archive or the record cannot be decoded.
[[nodiscard]] std::shared_ptr<Secrets> unarchiveSecrets(const Bytes& data, const Context& ctx);

}  // namespace lockstep
