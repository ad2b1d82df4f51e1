#pragma once

// LUKS volumes through libcryptsetup: which accounts are enabled (a keyslot
// and a token of this system's own type naming the account), checking a
// password against a keyslot without activating anything, and adding or
// removing an account's keyslot.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fdesetup/secure_memory.h"

struct crypt_device;

namespace lockstep::fde {

// The LUKS2 token type that marks an enabled account's keyslot.
inline constexpr std::string_view kTokenType = "lockstep-user";

struct EnabledUser {
    std::string name;
    int keyslot = -1;
    int token = -1;
};

struct CryptDeviceDeleter {
    void operator()(crypt_device* cd) const noexcept;
};

class LuksVolume {
  public:
    // Opens the LUKS header of a device or image file. Nothing (with the
    // reason in `problem`) when it cannot be read or is not LUKS.
    [[nodiscard]] static std::optional<LuksVolume> open(const std::filesystem::path& device,
                                                        std::string* problem);

    [[nodiscard]] int version() const { return version_; }
    [[nodiscard]] std::string uuid() const;

    // The accounts enabled on this volume (LUKS2 only; LUKS1 has no tokens),
    // in token order. A token whose keyslot is no longer active is ignored.
    [[nodiscard]] std::vector<EnabledUser> enabledUsers() const;
    [[nodiscard]] std::optional<EnabledUser> enabledUser(std::string_view name) const;

    // The keyslot that the passphrase opens: `keyslot`, or any when it is
    // negative. Derives the key only; nothing is activated.
    [[nodiscard]] std::optional<int> openingKeyslot(const LockedBuffer& passphrase,
                                                    int keyslot = -1) const;

    // The keyslot the account's password must open for an authenticated
    // restart: its own when the volume has enabled accounts, any (-1)
    // otherwise. Nothing when the volume has enabled accounts and this one
    // is not among them.
    [[nodiscard]] std::optional<int> keyslotFor(std::string_view user) const;

    // Active keyslots.
    [[nodiscard]] std::vector<int> activeKeyslots() const;

    // Adds a keyslot for `newPassphrase`, authorised by `existing`, with the
    // key derivation of the keyslot that `existing` opens, and (LUKS2) a
    // token naming `user`. Replaces an earlier keyslot of the same account.
    // Gives the new keyslot, or nothing with the reason in `problem`.
    [[nodiscard]] std::optional<int> addUser(std::string_view user, const LockedBuffer& existing,
                                             const LockedBuffer& newPassphrase,
                                             std::string* problem);

    // Removes the account's keyslot and token. Refuses (false, with the
    // reason) when it is the last active keyslot.
    [[nodiscard]] bool removeUser(std::string_view user, std::string* problem);

  private:
    LuksVolume(std::unique_ptr<crypt_device, CryptDeviceDeleter> cd, int version)
        : cd_(std::move(cd)), version_(version) {}

    std::unique_ptr<crypt_device, CryptDeviceDeleter> cd_;
    int version_ = 0;
};

// Keeps libcryptsetup from printing to the terminal; its messages are not
// this tool's output.
void quietCryptsetup();

}  // namespace lockstep::fde
