#include "platform/directory/side_store.h"

#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/directory/account_files.h"
#include "platform/plist.h"
#include "platform/text.h"

namespace lockstep {

namespace {

// Longest encoded name; keeps "<name>.plist" and its temporary name within
// the file-name limit.
constexpr std::size_t kMaxEncodedName = 200;

using MallocText = PlistMalloced<char>;

std::optional<std::string_view> folderFor(std::string_view recordType) {
    if (recordType == kODRecordTypeUsers) {
        return std::string_view("users");
    }
    if (recordType == kODRecordTypeGroups) {
        return std::string_view("groups");
    }
    return std::nullopt;
}

// The values of one entry, or nothing when it is not an array of strings
// and data.
std::optional<std::vector<ODValue>> readValues(plist_t node) {
    if (plist_get_node_type(node) != PLIST_ARRAY) {
        return std::nullopt;
    }
    std::vector<ODValue> values;
    const uint32_t count = plist_array_get_size(node);
    for (uint32_t i = 0; i < count; ++i) {
        plist_t item = plist_array_get_item(node, i);
        const plist_type type = plist_get_node_type(item);
        if (type == PLIST_STRING) {
            char* raw = nullptr;
            plist_get_string_val(item, &raw);
            const MallocText text(raw);
            if (!text) {
                return std::nullopt;
            }
            values.emplace_back(std::string(text.get()));
        } else if (type == PLIST_DATA) {
            char* raw = nullptr;
            uint64_t length = 0;
            plist_get_data_val(item, &raw, &length);
            const MallocText data(raw);
            if (!data && length > 0) {
                return std::nullopt;
            }
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.get());
            values.emplace_back(bytes == nullptr ? Bytes() : Bytes(bytes, bytes + length));
        } else {
            return std::nullopt;
        }
    }
    return values;
}

// Makes `folder` and its parents; the store's own folders are private.
std::optional<ODError> makeFolders(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        return ODError(kODErrorDaemonError,
                       "cannot create " + folder.string() + ": " + ec.message());
    }
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
    std::filesystem::permissions(folder.parent_path(), std::filesystem::perms::owner_all, ec);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> SideStore::encodeName(std::string_view name) {
    if (name.empty()) {
        return std::nullopt;
    }
    std::string encoded;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (plain) {
            encoded += c;
        } else {
            encoded += '%';
            appendHexByte(encoded, byte, HexCase::Upper);
        }
        if (encoded.size() > kMaxEncodedName) {
            return std::nullopt;
        }
    }
    return encoded;
}

std::optional<std::filesystem::path> SideStore::pathFor(std::string_view recordType,
                                                        std::string_view name) const {
    const auto folder = folderFor(recordType);
    const auto encoded = encodeName(name);
    if (!folder || !encoded) {
        return std::nullopt;
    }
    return folder_ / *folder / (*encoded + ".plist");
}

ODAttributes SideStore::read(std::string_view recordType, std::string_view name) const {
    ODAttributes attributes;
    const auto path = pathFor(recordType, name);
    if (!path) {
        return attributes;
    }
    const auto loaded = account_files::loadFile(*path, kMaxPlistBytes);
    if (loaded.status != account_files::LoadStatus::Loaded) {
        return attributes;
    }
    const auto parsed = parsePlist(toBytes(loaded.content));
    if (!parsed) {
        return attributes;
    }
    // A root that is no dictionary holds no attributes.
    static_cast<void>(
        forEachDictionaryEntry(parsed->root.get(), [&attributes](const char* key, PlistNode value) {
            if (key == nullptr) {
                return true;
            }
            const std::string_view attribute(key);
            if (attribute.size() <= kODNativeAttributePrefix.size() ||
                attribute.substr(0, kODNativeAttributePrefix.size()) != kODNativeAttributePrefix) {
                return true;
            }
            if (auto values = readValues(static_cast<plist_t>(value))) {
                attributes.emplace(std::string(attribute), std::move(*values));
            }
            return true;
        }));
    return attributes;
}

std::optional<ODError> SideStore::setValue(std::string_view recordType, std::string_view name,
                                           std::string_view attribute, const ODValue& value) const {
    const auto path = pathFor(recordType, name);
    if (!path) {
        return ODError(kODErrorRecordParameterError,
                       "the record name cannot be stored in the attribute store");
    }
    const std::string key(attribute);
    if (!isUtf8WithoutNul(key)) {
        return ODError(kODErrorRecordParameterError, "the attribute name is not valid text");
    }
    PlistPtr item;
    if (const auto* text = std::get_if<std::string>(&value)) {
        if (!isUtf8WithoutNul(*text)) {
            return ODError(kODErrorRecordParameterError, "the value is not valid text");
        }
        item.reset(plist_new_string(text->c_str()));
    } else {
        const auto& bytes = std::get<Bytes>(value);
        item.reset(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }

    const auto loaded = account_files::loadFile(*path, kMaxPlistBytes);
    PlistPtr root;
    std::optional<std::string> previous;
    account_files::FileAttributes attributes{0600, static_cast<std::uint32_t>(::geteuid()),
                                             static_cast<std::uint32_t>(::getegid())};
    if (loaded.status == account_files::LoadStatus::Failed) {
        return ODError(kODErrorDaemonError, loaded.problem);
    }
    if (loaded.status == account_files::LoadStatus::Loaded) {
        auto parsed = parsePlist(toBytes(loaded.content));
        if (!parsed || plist_get_node_type(parsed->root.get()) != PLIST_DICT) {
            return ODError(kODErrorDaemonError,
                           path->string() + " is damaged; it was left as it is");
        }
        root = std::move(parsed->root);
        previous = loaded.content;
        attributes = loaded.attributes;
    } else {
        root.reset(plist_new_dict());
        if (auto failure = makeFolders(path->parent_path())) {
            return failure;
        }
    }
    PlistPtr array(plist_new_array());
    if (!root || !array || !item) {
        return ODError(kODErrorDaemonError, "cannot build the attribute store entry");
    }
    plist_array_append_item(array.get(), item.release());
    plist_dict_set_item(root.get(), key.c_str(), array.release());
    // Binary form: it holds any text, where XML cannot hold control characters.
    const auto serialized = serializePlist(root.get(), PlistFormat::Binary);
    if (!serialized) {
        return ODError(kODErrorDaemonError, "cannot serialise the attribute store entry");
    }
    const std::vector<account_files::Replacement> replacements{
        account_files::Replacement{*path, toString(*serialized), attributes, std::move(previous)}};
    return account_files::replaceFiles(replacements);
}

}  // namespace lockstep
