// The partition-list rewrite of a stored item's access, as setPassword runs
// it: the partition entry's description is hexadecimal text of a property list
// (XML or binary); it is decoded, parsed, its "Partitions" set to the platform
// and the team, serialised in the format it had and encoded again.
//
// Input: the property-list bytes. They are handed to the rewrite hex-encoded,
// and a second time as the description text itself (mostly not hexadecimal).
//
// Checks, through KeychainUtil::applyStoredItemAccess on a stand-in keychain
// whose stored item has a decrypt entry and a partition entry:
// - a description that is a dictionary of text lists comes back in the same
//   format with "Partitions" = ["apple:", "teamid:..."] and every other key
//   and list unchanged;
// - one that parses to another shape, names a key twice, or whose keys or
//   texts are not UTF-8 (libplist would write them back cut short), leaves
//   the entry alone and fails;
// - one that does not decode or parse is rebuilt as an XML dictionary holding
//   only "Partitions";
// - the decrypt entry and the prompt selector are never touched.

#include <plist/plist.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "keychain/keychain_util.h"
#include "platform/context.h"
#include "platform/plist.h"
#include "platform/text.h"
#include "support/fuzz_support.h"

namespace lockstep::fuzz {
namespace {

constexpr std::uint16_t kPromptSelector = 0x1234;

// The stored item's access: a decrypt entry, then the partition entry.
class PartitionKeychain final : public StubKeychain {
  public:
    SecAccessRef access;

    OSStatus SecKeychainItemCopyAccess(const SecKeychainItemRef& /*item*/,
                                       SecAccessRef* out) override {
        *out = access;
        return errSecSuccess;
    }
};

const std::vector<std::string>& expectedPartitions() {
    static const std::vector<std::string> partitions = {
        std::string(KeychainUtil::kPlatformPartition), std::string(KeychainUtil::kTeamPartition)};
    return partitions;
}

void checkRewrite(const Context& ctx, PartitionKeychain& keychain, const std::string& description) {
    const auto decrypt = std::make_shared<SecACL>(
        SecACL{{std::string(kACLAuthorizationDecrypt)}, std::nullopt, "decrypt", 7});
    const auto partition = std::make_shared<SecACL>(SecACL{
        {std::string(kACLAuthorizationPartitionID)}, std::nullopt, description, kPromptSelector});
    keychain.access = std::make_shared<SecAccess>(SecAccess{{decrypt, partition}});

    const std::vector<SecTrustedApplicationRef> applications = {
        std::make_shared<const SecTrustedApplication>(SecTrustedApplication{"/fuzz/app", {}})};
    const StoredItemAccessResult result =
        KeychainUtil::applyStoredItemAccess(ctx, nullptr, applications, "keychain password");

    check(decrypt->description == "decrypt" && decrypt->promptSelector == 7 &&
              !decrypt->applications.has_value(),
          "the decrypt entry was changed");
    check(partition->promptSelector == kPromptSelector, "the prompt selector was changed");

    // What the description held, as the rewrite should have read it.
    std::optional<ParsedPlist> before;
    if (const std::optional<Bytes> bytes = hexDecode(description)) {
        before = parsePlist(*bytes);
    }
    std::optional<TextLists> expected;
    PlistFormat expectedFormat = PlistFormat::XML;
    if (before) {
        expected = dictionaryOfTextLists(before->root.get());
        if (!expected) {
            check(result == StoredItemAccessResult::failed,
                  "a description of another shape was not refused");
            check(partition->description == description,
                  "a refused description was changed anyway");
            return;
        }
        expectedFormat = before->format;
    } else {
        expected = TextLists();
    }
    (*expected)[std::string(KeychainUtil::kPartitionsKey)] = expectedPartitions();

    check(result == StoredItemAccessResult::done, "a rewritable description was not rewritten");
    check(partition->applications.has_value() && partition->applications->size() == 1,
          "the partition entry did not get the applications");
    const std::optional<Bytes> afterBytes = hexDecode(partition->description);
    check(afterBytes.has_value(), "the rewritten description is not hexadecimal");
    const std::optional<ParsedPlist> after = parsePlist(*afterBytes);
    check(after.has_value(), "the rewritten description does not parse");
    check(after->format == expectedFormat, "the rewrite changed the property-list format");
    const std::optional<TextLists> rewritten = dictionaryOfTextLists(after->root.get());
    check(rewritten.has_value(), "the rewritten description is not a dictionary of text lists");
    check(*rewritten == *expected, "the rewrite changed other keys or set the wrong partitions");
}

}  // namespace

void fuzzOne(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path& folder = environment();

    static PartitionKeychain keychain;
    static StubDirectory directory;
    static const Context ctx{keychain, directory, "/nonexistent/fdesetup", {}, folder / "machine"};

    checkRewrite(ctx, keychain, hexEncode(bytesOf(data, size)));
    checkRewrite(ctx, keychain, std::string(textOf(data, size)));
    keychain.access = nullptr;
}

}  // namespace lockstep::fuzz
