#include "keychain_fixture.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "keychain/hex.h"

namespace lockstep::testing {

namespace {

SqliteKeychainOptions optionsIn(const TempDir& dir) {
    SqliteKeychainOptions options;
    options.systemKeychainPath = dir / "system/System.keychain";
    options.userKeychainPath = dir / "user/login.keychain";
    options.callingProgramPath = dir / "bin/program";
    return options;
}

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

}  // namespace

KeychainUtilTest::KeychainUtilTest()
    : real_(optionsIn(dir_)),
      ctx_{.keychain = service_,
           .directory = directory_,
           .bundlePath = dir_ / "bundle",
           .machineRoot = dir_ / "root"} {
    writeFile(dir_ / "bin/program", "#!/bin/sh\nexit 0\n", std::filesystem::perms(0755));
    std::filesystem::create_directories(bundlePath());
    std::filesystem::create_directories(machineRoot());
    EXPECT_EQ(real_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain_),
              errSecSuccess);
}

void KeychainUtilTest::installAllCandidates() const {
    writeFile(helperPath(), "helper", std::filesystem::perms(0755));
    writeFile(daemonPath(), "daemon", std::filesystem::perms(0755));
    writeFile(authorizationHostPath(), "authorizationhost", std::filesystem::perms(0755));
}

std::optional<PasswordItem> KeychainUtilTest::find(std::optional<std::string_view> account,
                                                   std::string_view service) {
    return KeychainUtil::findPassword(ctx_, service, account, keychain_);
}

std::vector<SecACLRef> KeychainUtilTest::storedAcls(const SecKeychainItemRef& item) {
    SecAccessRef access;
    EXPECT_EQ(real_.SecKeychainItemCopyAccess(item, &access), errSecSuccess);
    return access == nullptr ? std::vector<SecACLRef>{} : access->acls;
}

std::string describe(const TextLists& lists, PlistFormat format) {
    const PlistPtr root(plist_new_dict());
    for (const auto& [key, values] : lists) {
        plist_t array = plist_new_array();
        for (const std::string& value : values) {
            plist_array_append_item(array, plist_new_string(value.c_str()));
        }
        plist_dict_set_item(root.get(), key.c_str(), array);
    }
    const std::optional<Bytes> bytes = serializePlist(root.get(), format);
    EXPECT_TRUE(bytes.has_value());
    return bytes ? hexEncode(*bytes) : std::string();
}

std::optional<Description> readDescription(std::string_view hex) {
    const std::optional<Bytes> bytes = hexDecode(hex);
    if (!bytes) {
        return std::nullopt;
    }
    std::optional<ParsedPlist> parsed = parsePlist(*bytes);
    if (!parsed || plist_get_node_type(parsed->root.get()) != PLIST_DICT) {
        return std::nullopt;
    }
    Description description{{}, parsed->format};
    plist_dict_iter rawIter = nullptr;
    plist_dict_new_iter(parsed->root.get(), &rawIter);
    const std::unique_ptr<void, FreeDeleter> iter(rawIter);
    for (;;) {
        char* rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(parsed->root.get(), iter.get(), &rawKey, &value);
        const std::unique_ptr<char, FreeDeleter> key(rawKey);
        if (value == nullptr) {
            return description;
        }
        if (plist_get_node_type(value) != PLIST_ARRAY) {
            return std::nullopt;
        }
        std::vector<std::string>& texts = description.lists[key.get()];
        for (std::uint32_t i = 0; i < plist_array_get_size(value); ++i) {
            char* rawText = nullptr;
            plist_get_string_val(plist_array_get_item(value, i), &rawText);
            const std::unique_ptr<char, FreeDeleter> text(rawText);
            if (text == nullptr) {
                return std::nullopt;
            }
            texts.emplace_back(text.get());
        }
    }
}

std::vector<std::string> paths(const SecApplicationList& applications) {
    if (!applications) {
        return {"(any)"};
    }
    std::vector<std::string> result;
    for (const SecTrustedApplicationRef& app : *applications) {
        result.push_back(app == nullptr ? "(null)" : app->path);
    }
    return result;
}

bool hasTag(const SecACL& acl, std::string_view tag) {
    return std::find(acl.authorizations.begin(), acl.authorizations.end(), tag) !=
           acl.authorizations.end();
}

}  // namespace lockstep::testing
