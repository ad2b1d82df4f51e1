// list --json and show --json: the items of a keychain for scripts, with the
// same attributes and access lists as the text, never a secret.

#include <algorithm>
#include <nlohmann/json.hpp>
#include <ostream>

#include "ctl/commands.h"
#include "platform/text.h"

namespace lockstep::ctl {

namespace {

using Json = nlohmann::ordered_json;

Json aclJson(const SecACL& acl) {
    Json applications = nullptr;
    if (acl.applications) {
        applications = Json::array();
        for (const SecTrustedApplicationRef& app : *acl.applications) {
            if (app) {
                applications.push_back(
                    {{"path", app->path},
                     {"sha256",
                      app->digest.empty() ? Json(nullptr) : Json(hexEncode(app->digest))}});
            }
        }
    }
    Json partitions = nullptr;
    if (std::find(acl.authorizations.begin(), acl.authorizations.end(),
                  kACLAuthorizationPartitionID) != acl.authorizations.end()) {
        if (const auto lists = decodePartitionDescription(acl.description)) {
            if (const auto found = lists->find("Partitions"); found != lists->end()) {
                partitions = found->second;
            }
        }
    }
    return {
        {"authorizations", acl.authorizations}, {"applications", applications},
        {"description", acl.description},       {"partitions", partitions},
        {"prompt", acl.promptSelector},
    };
}

}  // namespace

void printItemsJson(const std::filesystem::path& keychain,
                    const std::vector<std::pair<std::size_t, const KeychainItemInfo*>>& items,
                    std::ostream& out) {
    Json list = Json::array();
    for (const auto& [number, item] : items) {
        Json acls = nullptr;
        if (item->acls) {
            acls = Json::array();
            for (const SecACLRef& acl : *item->acls) {
                if (acl) {
                    acls.push_back(aclJson(*acl));
                }
            }
        }
        list.push_back({
            {"number", number},
            {"service", toString(item->service)},
            {"account", item->account ? Json(toString(*item->account)) : Json(nullptr)},
            {"created", formatTime(item->created)},
            {"modified", formatTime(item->modified)},
            {"acls", acls},
        });
    }
    const Json json = {{"keychain", keychain.string()}, {"items", list}};
    // Attributes come from a file anybody may have made: bytes that are not
    // UTF-8 are replaced rather than stopping the output.
    out << json.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

}  // namespace lockstep::ctl
