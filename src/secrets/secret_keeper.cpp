#include "secrets/secret_keeper.h"

#include <array>
#include <utility>

#include "platform/text.h"

namespace lockstep {

namespace {
constexpr std::array<std::string_view, 15> kCaseNames = {
    "errorCreatingKey",
    "otherError",
    "errorFindingKey",
    "privateKeyNotFound",
    "errorRetrievingPublicKey",
    "errorDecrypting",
    "errorEncrypting",
    "noSecretsFound",
    "invalidSecretsData",
    "invalidTag",
    "errorWritingToSecretsFile",
    "errorReadingSecretsFile",
    "unknownError",
    "aesEncryptionError",
    "aesDecryptionError",
};
}  // namespace

SecretKeeperError::SecretKeeperError(Case kind) : SecretKeeperError(kind, std::string()) {}

SecretKeeperError::SecretKeeperError(Case kind, std::string text)
    : kind_(kind), text_(std::move(text)) {
    what_ = "SecretKeeperError.";
    what_ += caseName(kind_);
    if (!text_.empty()) {
        what_ += "(" + text_ + ")";
    }
}

SecretKeeperError SecretKeeperError::errorCreatingKey(std::string text) {
    return {Case::errorCreatingKey, std::move(text)};
}

SecretKeeperError SecretKeeperError::otherError(std::string text) {
    return {Case::otherError, std::move(text)};
}

SecretKeeperError SecretKeeperError::errorFindingKey(OSStatus status) {
    SecretKeeperError error(Case::errorFindingKey);
    error.what_ += "(status " + std::to_string(status) + ")";
    return error;
}

std::int64_t SecretKeeperError::code() const noexcept {
    return static_cast<std::int64_t>(kind_);
}

std::string SecretKeeperError::localizedDescription() const {
    return "The operation couldn’t be completed. (lockstepd.SecretKeeperError error " +
           std::to_string(code()) + ".)";
}

std::string_view SecretKeeperError::caseName(Case kind) noexcept {
    const auto index = static_cast<std::size_t>(kind);
    return index < kCaseNames.size() ? kCaseNames[index] : std::string_view("unknown");
}

SecretKeeper::SecretKeeper(KeychainService& keychain, std::string label, std::string_view tag,
                           std::filesystem::path folder)
    : secretsFolderURL(std::move(folder)), keychain_(&keychain), label_(std::move(label)) {
    secretsFileURL = secretsFolderURL / kSecretsFileName;
    if (!isValidUtf8(tag)) {
        throw SecretKeeperError(SecretKeeperError::Case::invalidTag);
    }
    tag_ = toBytes(tag);
}

SecKeychainRef SecretKeeper::systemKeychain() const {
    SecKeychainRef keychain;
    const OSStatus status =
        keychain_->SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain);
    if (status != errSecSuccess) {
        // Drop whatever came back before failing: the caller owns nothing.
        keychain.reset();
        throw SecretKeeperError::errorFindingKey(status);
    }
    if (keychain == nullptr) {
        throw SecretKeeperError(SecretKeeperError::Case::unknownError);
    }
    return keychain;
}

}  // namespace lockstep
