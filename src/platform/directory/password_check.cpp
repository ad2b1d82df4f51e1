#include "platform/directory/password_check.h"

#include <crypt.h>
#include <openssl/crypto.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/bytes.h"

namespace lockstep::password_check {

namespace {

// libxcrypt's working area, wiped before it is freed: it holds the
// passphrase and its hash.
class WipedCryptData {
  public:
    WipedCryptData() : data_(std::make_unique<crypt_data>()) {}
    WipedCryptData(const WipedCryptData&) = delete;
    WipedCryptData& operator=(const WipedCryptData&) = delete;
    ~WipedCryptData() { secureWipe(data_.get(), sizeof(crypt_data)); }

    [[nodiscard]] crypt_data* get() const { return data_.get(); }

  private:
    std::unique_ptr<crypt_data> data_;
};

bool isExpired(const account_files::ShadowEntry& shadow, std::int64_t today) {
    return shadow.expirationDate && today >= *shadow.expirationDate;
}

// The password has expired and the inactivity period after it has passed
// too. A last change of 0 means "change at next login", not inactivity.
bool isInactive(const account_files::ShadowEntry& shadow, std::int64_t today) {
    if (!shadow.lastChange || *shadow.lastChange == 0 || !shadow.maximumAge ||
        !shadow.inactivityPeriod) {
        return false;
    }
    return today - *shadow.lastChange > *shadow.maximumAge + *shadow.inactivityPeriod;
}

}  // namespace

bool looksLikeHash(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    if (text.front() == '$' || text.front() == '_') {
        return text.size() > 1;
    }
    if (text.size() != 13) {
        return false;
    }
    for (const char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '/';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::int64_t verify(std::string_view storedField, const account_files::ShadowEntry* shadow,
                    std::string_view password, std::int64_t today) {
    if (storedField.empty() || storedField.front() == '*') {
        return kODErrorCredentialsAccountDisabled;
    }
    if (storedField.front() == '!') {
        const std::size_t start = storedField.find_first_not_of('!');
        const std::string_view rest =
            start == std::string_view::npos ? std::string_view() : storedField.substr(start);
        return looksLikeHash(rest) ? kODErrorCredentialsAccountLocked
                                   : kODErrorCredentialsAccountDisabled;
    }
    if (shadow != nullptr && isExpired(*shadow, today)) {
        return kODErrorCredentialsAccountExpired;
    }
    if (shadow != nullptr && isInactive(*shadow, today)) {
        return kODErrorCredentialsAccountInactive;
    }
    // crypt(3) takes C strings: a candidate with a NUL byte would be cut short
    // and could match a shorter password, so it never matches.
    if (password.find('\0') != std::string_view::npos ||
        password.size() >= CRYPT_MAX_PASSPHRASE_SIZE) {
        return kODErrorCredentialsInvalid;
    }
    SecretBytes phrase(toBytes(password));
    phrase.bytes().push_back(0);
    const std::string setting(storedField);
    const WipedCryptData work;
    const char* hashed = crypt_rn(reinterpret_cast<const char*>(phrase.data()), setting.c_str(),
                                  work.get(), static_cast<int>(sizeof(crypt_data)));
    if (hashed == nullptr || hashed[0] == '*') {
        return kODErrorCredentialsMethodNotSupported;
    }
    const std::size_t length = std::strlen(hashed);
    if (length != storedField.size() ||
        CRYPTO_memcmp(hashed, storedField.data(), storedField.size()) != 0) {
        return kODErrorCredentialsInvalid;
    }
    return 0;
}

}  // namespace lockstep::password_check
