#include "fdesetup/luks.h"

#include <libcryptsetup.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/bytes.h"

namespace lockstep::fde {

namespace {

void ignoreMessage(int /*level*/, const char* /*message*/, void* /*usrptr*/) {}

const char* chars(const LockedBuffer& buffer) {
    return reinterpret_cast<const char*>(buffer.data());
}

// A libcryptsetup error number as text.
std::string errorText(int code) {
    return std::strerror(code < 0 ? -code : code);
}

}  // namespace

void CryptDeviceDeleter::operator()(crypt_device* cd) const noexcept {
    crypt_free(cd);
}

void quietCryptsetup() {
    crypt_set_log_callback(nullptr, ignoreMessage, nullptr);
}

std::optional<LuksVolume> LuksVolume::open(const std::filesystem::path& device,
                                           std::string* problem) {
    crypt_device* raw = nullptr;
    if (const int rc = crypt_init(&raw, device.c_str()); rc < 0) {
        *problem = device.string() + ": " + errorText(rc);
        return std::nullopt;
    }
    std::unique_ptr<crypt_device, CryptDeviceDeleter> cd(raw);
    crypt_set_log_callback(cd.get(), ignoreMessage, nullptr);
    if (const int rc = crypt_load(cd.get(), CRYPT_LUKS, nullptr); rc < 0) {
        *problem = device.string() + " is not a LUKS volume";
        return std::nullopt;
    }
    const char* type = crypt_get_type(cd.get());
    const int version = type != nullptr && std::strcmp(type, CRYPT_LUKS2) == 0 ? 2 : 1;
    return LuksVolume(std::move(cd), version);
}

std::string LuksVolume::uuid() const {
    const char* text = crypt_get_uuid(cd_.get());
    return text != nullptr ? text : "";
}

std::vector<int> LuksVolume::activeKeyslots() const {
    std::vector<int> slots;
    const int max = crypt_keyslot_max(version_ == 2 ? CRYPT_LUKS2 : CRYPT_LUKS1);
    for (int slot = 0; slot < max; ++slot) {
        const crypt_keyslot_info info = crypt_keyslot_status(cd_.get(), slot);
        if (info == CRYPT_SLOT_ACTIVE || info == CRYPT_SLOT_ACTIVE_LAST) {
            slots.push_back(slot);
        }
    }
    return slots;
}

std::vector<EnabledUser> LuksVolume::enabledUsers() const {
    std::vector<EnabledUser> users;
    if (version_ != 2) {
        return users;
    }
    const std::vector<int> active = activeKeyslots();
    const int max = crypt_token_max(CRYPT_LUKS2);
    for (int token = 0; token < max; ++token) {
        const char* type = nullptr;
        const crypt_token_info status = crypt_token_status(cd_.get(), token, &type);
        if (status != CRYPT_TOKEN_EXTERNAL_UNKNOWN && status != CRYPT_TOKEN_EXTERNAL) {
            continue;
        }
        if (type == nullptr || kTokenType != type) {
            continue;
        }
        const char* json = nullptr;
        if (crypt_token_json_get(cd_.get(), token, &json) < 0 || json == nullptr) {
            continue;
        }
        const auto parsed = nlohmann::json::parse(json, nullptr, false);
        if (!parsed.is_object() || !parsed.contains("user") || !parsed["user"].is_string() ||
            !parsed.contains("keyslots") || !parsed["keyslots"].is_array() ||
            parsed["keyslots"].size() != 1 || !parsed["keyslots"][0].is_string()) {
            continue;
        }
        int slot = -1;
        try {
            slot = std::stoi(parsed["keyslots"][0].get<std::string>());
        } catch (const std::exception&) {
            continue;
        }
        if (std::find(active.begin(), active.end(), slot) == active.end()) {
            continue;
        }
        users.push_back({parsed["user"].get<std::string>(), slot, token});
    }
    return users;
}

std::optional<EnabledUser> LuksVolume::enabledUser(std::string_view name) const {
    for (EnabledUser& user : enabledUsers()) {
        if (user.name == name) {
            return std::move(user);
        }
    }
    return std::nullopt;
}

std::optional<int> LuksVolume::keyslotFor(std::string_view user) const {
    const std::vector<EnabledUser> users = enabledUsers();
    if (users.empty()) {
        return -1;
    }
    for (const EnabledUser& enabled : users) {
        if (enabled.name == user) {
            return enabled.keyslot;
        }
    }
    return std::nullopt;
}

std::optional<int> LuksVolume::openingKeyslot(const LockedBuffer& passphrase, int keyslot) const {
    // No name: the key is derived and checked, and no mapping is made.
    const int rc =
        crypt_activate_by_passphrase(cd_.get(), nullptr, keyslot < 0 ? CRYPT_ANY_SLOT : keyslot,
                                     chars(passphrase), passphrase.size(), 0);
    if (rc < 0) {
        return std::nullopt;
    }
    return rc;
}

std::optional<int> LuksVolume::addUser(std::string_view user, const LockedBuffer& existing,
                                       const LockedBuffer& newPassphrase, std::string* problem) {
    const auto authorising = openingKeyslot(existing);
    if (!authorising) {
        *problem = "the passphrase does not open the volume";
        return std::nullopt;
    }
    // The same key derivation (and cost) as the keyslot that authorised it.
    crypt_pbkdf_type pbkdf{};
    if (const int rc = crypt_keyslot_get_pbkdf(cd_.get(), *authorising, &pbkdf); rc < 0) {
        *problem = "cannot read the key derivation settings: " + errorText(rc);
        return std::nullopt;
    }
    std::string hash = pbkdf.hash != nullptr ? pbkdf.hash : "";
    std::string type = pbkdf.type != nullptr ? pbkdf.type : "";
    pbkdf.hash = hash.empty() ? nullptr : hash.c_str();
    pbkdf.type = type.c_str();
    pbkdf.flags |= CRYPT_PBKDF_NO_BENCHMARK;
    if (const int rc = crypt_set_pbkdf_type(cd_.get(), &pbkdf); rc < 0) {
        *problem = "cannot use the key derivation settings: " + errorText(rc);
        return std::nullopt;
    }
    const std::optional<EnabledUser> previous = enabledUser(user);
    const int slot =
        crypt_keyslot_add_by_passphrase(cd_.get(), CRYPT_ANY_SLOT, chars(existing), existing.size(),
                                        chars(newPassphrase), newPassphrase.size());
    if (slot < 0) {
        *problem = "cannot add a keyslot: " + errorText(slot);
        return std::nullopt;
    }
    if (version_ == 2) {
        const nlohmann::json token = {{"type", std::string(kTokenType)},
                                      {"keyslots", {std::to_string(slot)}},
                                      {"user", std::string(user)}};
        if (const int rc = crypt_token_json_set(cd_.get(), CRYPT_ANY_TOKEN, token.dump().c_str());
            rc < 0) {
            static_cast<void>(crypt_keyslot_destroy(cd_.get(), slot));
            *problem = "cannot add the token: " + errorText(rc);
            return std::nullopt;
        }
    }
    // The account's older keyslot goes once the new one is in place.
    if (previous && previous->keyslot != slot) {
        static_cast<void>(crypt_keyslot_destroy(cd_.get(), previous->keyslot));
        static_cast<void>(crypt_token_json_set(cd_.get(), previous->token, nullptr));
    }
    return slot;
}

bool LuksVolume::removeUser(std::string_view user, std::string* problem) {
    const std::optional<EnabledUser> enabled = enabledUser(user);
    if (!enabled) {
        *problem = std::string(user) + " is not enabled";
        return false;
    }
    const std::vector<int> active = activeKeyslots();
    if (active.size() <= 1) {
        *problem = "it is the last keyslot that opens the volume";
        return false;
    }
    if (const int rc = crypt_keyslot_destroy(cd_.get(), enabled->keyslot); rc < 0) {
        *problem = "cannot remove the keyslot: " + errorText(rc);
        return false;
    }
    if (const int rc = crypt_token_json_set(cd_.get(), enabled->token, nullptr); rc < 0) {
        *problem = "cannot remove the token: " + errorText(rc);
        return false;
    }
    return true;
}

}  // namespace lockstep::fde
