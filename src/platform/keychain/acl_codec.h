#pragma once

// The stored form of an item's access: its ACL list as a binary property
// list, and the description text of a partition ACL. Internal to the
// keychain service.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/keychain/keychain.h"

namespace lockstep::keychain_internal {

// Encodes the ACLs in order. Every text is stored as raw bytes, so
// authorizations, paths and descriptions come back byte for byte. An ACL
// without an application list (any application) stays distinct from one with
// an empty list. Gives nothing for a null ACL or application.
[[nodiscard]] std::optional<Bytes> encodeAclList(const std::vector<SecACLRef>& acls);

// Decodes what encodeAclList made into fresh objects. Gives nothing for
// anything malformed: a wrong version, a missing field, a field of another
// kind, a prompt selector out of range.
[[nodiscard]] std::optional<std::vector<SecACLRef>> decodeAclList(const Bytes& blob);

// The description of a partition ACL: the lower-case hexadecimal text of the
// XML property list {"Partitions": [partition]}.
[[nodiscard]] std::optional<std::string> partitionDescription(std::string_view partition);

}  // namespace lockstep::keychain_internal
