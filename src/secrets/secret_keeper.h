#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/bytes.h"
#include "platform/error.h"
#include "platform/keychain/keychain.h"

namespace lockstep {

// The error type of the whole secret store. Only ever thrown; callers tell
// the cases apart by kind(). The first two cases carry a text.
class SecretKeeperError final : public Error {
  public:
    enum class Case {
        errorCreatingKey,  // text
        otherError,        // text
        errorFindingKey,
        privateKeyNotFound,
        errorRetrievingPublicKey,
        errorDecrypting,
        errorEncrypting,
        noSecretsFound,
        invalidSecretsData,
        invalidTag,
        errorWritingToSecretsFile,
        errorReadingSecretsFile,
        unknownError,
        aesEncryptionError,
        aesDecryptionError,
    };

    // A case without text (for the two text cases, an empty text).
    explicit SecretKeeperError(Case kind);
    [[nodiscard]] static SecretKeeperError errorCreatingKey(std::string text);
    [[nodiscard]] static SecretKeeperError otherError(std::string text);
    // errorFindingKey with the keychain status that caused it, for the log.
    [[nodiscard]] static SecretKeeperError errorFindingKey(OSStatus status);

    [[nodiscard]] Case kind() const noexcept { return kind_; }
    // The text of errorCreatingKey and otherError; empty for the others.
    [[nodiscard]] const std::string& text() const noexcept { return text_; }

    // The case's position in the list above, counted from 0.
    [[nodiscard]] std::int64_t code() const noexcept override;
    // The platform's generic wording: the type has no text of its own.
    [[nodiscard]] std::string localizedDescription() const override;
    // The case name, with the text (or the keychain status) in parentheses
    // when there is one.
    [[nodiscard]] const char* what() const noexcept override { return what_.c_str(); }

    [[nodiscard]] static std::string_view caseName(Case kind) noexcept;

  private:
    SecretKeeperError(Case kind, std::string text);

    Case kind_;
    std::string text_;
    std::string what_;
};

// The daemon's handle on its secret store: where the secrets file lives, the
// store's label and tag, and the System keychain. Neither construction nor
// systemKeychain() touches the file system.
class SecretKeeper {
  public:
    // Throws SecretKeeperError::Case::invalidTag when `tag` is not UTF-8.
    SecretKeeper(KeychainService& keychain, std::string label, std::string_view tag,
                 std::filesystem::path secretsFolderURL);

    // The System keychain, owned by the caller. Throws errorFindingKey when
    // the lookup fails and unknownError when it succeeds without a keychain.
    [[nodiscard]] SecKeychainRef systemKeychain() const;

    [[nodiscard]] const std::string& label() const noexcept { return label_; }
    // The tag's UTF-8 bytes.
    [[nodiscard]] const Bytes& tag() const noexcept { return tag_; }

    // The folder given to the constructor, unchanged.
    std::filesystem::path secretsFolderURL;
    // "secrets.bin" inside that folder.
    std::filesystem::path secretsFileURL;

  private:
    KeychainService* keychain_;
    std::string label_;
    Bytes tag_;
};

// Name of the secrets file inside the secrets folder.
inline constexpr std::string_view kSecretsFileName = "secrets.bin";

}  // namespace lockstep
