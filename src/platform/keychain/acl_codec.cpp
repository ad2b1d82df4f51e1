#include "platform/keychain/acl_codec.h"

#include <plist/plist.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "platform/plist.h"
#include "platform/text.h"

namespace lockstep::keychain_internal {

namespace {

// Keys of the stored form. Version 1 is the only one so far.
constexpr char kVersionKey[] = "Version";
constexpr char kAclsKey[] = "ACLs";
constexpr char kAuthorizationsKey[] = "Authorizations";
constexpr char kApplicationsKey[] = "Applications";
constexpr char kPathKey[] = "Path";
constexpr char kDigestKey[] = "Digest";
constexpr char kDescriptionKey[] = "Description";
constexpr char kPromptSelectorKey[] = "PromptSelector";
constexpr std::uint64_t kFormatVersion = 1;

plist_t newData(const void* data, std::size_t length) {
    // libplist copies the bytes; it takes a pointer even for no bytes.
    static constexpr char kNothing = 0;
    return plist_new_data(length == 0 ? &kNothing : static_cast<const char*>(data), length);
}

plist_t newData(std::string_view text) {
    return newData(text.data(), text.size());
}

plist_t newData(const Bytes& bytes) {
    return newData(bytes.data(), bytes.size());
}

// The bytes of a data node, or nothing when the node is missing or not data.
std::optional<std::string> dataValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_DATA) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* data = plist_get_data_ptr(node, &length);
    if (data == nullptr || length == 0) {
        return std::string();
    }
    return std::string(data, static_cast<std::size_t>(length));
}

std::optional<std::uint64_t> uintValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

bool isKind(plist_t node, plist_type kind) {
    return node != nullptr && plist_get_node_type(node) == kind;
}

// Every item of an array node, each read with `decode`; nothing when the node
// is not an array or one of its items does not decode.
template <typename Decode>
auto decodeItems(plist_t array, Decode decode)
    -> std::optional<std::vector<typename decltype(decode(array))::value_type>> {
    if (!isKind(array, PLIST_ARRAY)) {
        return std::nullopt;
    }
    std::vector<typename decltype(decode(array))::value_type> items;
    const std::uint32_t count = plist_array_get_size(array);
    for (std::uint32_t i = 0; i < count; ++i) {
        auto item = decode(plist_array_get_item(array, i));
        if (!item) {
            return std::nullopt;
        }
        items.push_back(std::move(*item));
    }
    return items;
}

std::optional<SecTrustedApplicationRef> decodeApplication(plist_t node) {
    if (!isKind(node, PLIST_DICT)) {
        return std::nullopt;
    }
    auto path = dataValue(plist_dict_get_item(node, kPathKey));
    auto digest = dataValue(plist_dict_get_item(node, kDigestKey));
    if (!path || !digest) {
        return std::nullopt;
    }
    return std::make_shared<const SecTrustedApplication>(
        SecTrustedApplication{std::move(*path), toBytes(*digest)});
}

std::optional<SecACLRef> decodeAcl(plist_t node) {
    if (!isKind(node, PLIST_DICT)) {
        return std::nullopt;
    }
    auto acl = std::make_shared<SecACL>();

    auto authorizations = decodeItems(plist_dict_get_item(node, kAuthorizationsKey), dataValue);
    if (!authorizations) {
        return std::nullopt;
    }
    acl->authorizations = std::move(*authorizations);

    // A missing list means any application; an empty list means none.
    if (plist_t applications = plist_dict_get_item(node, kApplicationsKey);
        applications != nullptr) {
        auto list = decodeItems(applications, decodeApplication);
        if (!list) {
            return std::nullopt;
        }
        acl->applications = std::move(*list);
    }

    auto description = dataValue(plist_dict_get_item(node, kDescriptionKey));
    const auto selector = uintValue(plist_dict_get_item(node, kPromptSelectorKey));
    if (!description || !selector || *selector > std::numeric_limits<std::uint16_t>::max()) {
        return std::nullopt;
    }
    acl->description = std::move(*description);
    acl->promptSelector = static_cast<std::uint16_t>(*selector);
    return acl;
}

}  // namespace

std::optional<Bytes> encodeAclList(const std::vector<SecACLRef>& acls) {
    const PlistPtr root(plist_new_dict());
    plist_dict_set_item(root.get(), kVersionKey, plist_new_uint(kFormatVersion));
    plist_t list = plist_new_array();
    plist_dict_set_item(root.get(), kAclsKey, list);
    for (const SecACLRef& acl : acls) {
        if (acl == nullptr) {
            return std::nullopt;
        }
        plist_t entry = plist_new_dict();
        plist_array_append_item(list, entry);

        plist_t authorizations = plist_new_array();
        plist_dict_set_item(entry, kAuthorizationsKey, authorizations);
        for (const std::string& tag : acl->authorizations) {
            plist_array_append_item(authorizations, newData(tag));
        }

        if (acl->applications) {
            plist_t applications = plist_new_array();
            plist_dict_set_item(entry, kApplicationsKey, applications);
            for (const SecTrustedApplicationRef& app : *acl->applications) {
                if (app == nullptr) {
                    return std::nullopt;
                }
                plist_t node = plist_new_dict();
                plist_array_append_item(applications, node);
                plist_dict_set_item(node, kPathKey, newData(app->path));
                plist_dict_set_item(node, kDigestKey, newData(app->digest));
            }
        }
        plist_dict_set_item(entry, kDescriptionKey, newData(acl->description));
        plist_dict_set_item(entry, kPromptSelectorKey, plist_new_uint(acl->promptSelector));
    }
    return serializePlist(root.get(), PlistFormat::Binary);
}

std::optional<std::vector<SecACLRef>> decodeAclList(const Bytes& blob) {
    auto parsed = parsePlist(blob);
    if (!parsed || parsed->format != PlistFormat::Binary) {
        return std::nullopt;
    }
    plist_t root = parsed->root.get();
    if (!isKind(root, PLIST_DICT) ||
        uintValue(plist_dict_get_item(root, kVersionKey)) != kFormatVersion) {
        return std::nullopt;
    }
    return decodeItems(plist_dict_get_item(root, kAclsKey), decodeAcl);
}

std::optional<std::string> partitionDescription(std::string_view partition) {
    const std::string text(partition);
    const PlistPtr root(plist_new_dict());
    plist_t partitions = plist_new_array();
    plist_dict_set_item(root.get(), "Partitions", partitions);
    plist_array_append_item(partitions, plist_new_string(text.c_str()));
    auto xml = serializePlist(root.get(), PlistFormat::XML);
    if (!xml) {
        return std::nullopt;
    }
    return hexEncode(*xml);
}

}  // namespace lockstep::keychain_internal
