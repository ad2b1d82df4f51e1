// The restart request's text handling: how the restart tool's output bytes
// become the logged text, and how the request carries the credentials.
//
// Input: the tool's output, and at the same time the account name and the
// password, separated by the first NUL byte.
//
// Output checks: the logged text is never empty; output that is not UTF-8
// is "No output"; otherwise the text is the output less white space at both
// ends (what was cut off is white space only, and trimming again changes
// nothing).
//
// Request checks (round trip): the request is the template with both values
// filled in once, escaped, and (for UTF-8 values without NUL bytes, which XML
// cannot carry) parses back as a property list whose "Username" and
// "Password" are exactly the values given.

#include <plist/plist.h>

#include <string>

#include "filevault/fdesetup_helper.h"
#include "platform/plist.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/fuzz_support.h"

namespace lockstep::fuzz {
namespace {

constexpr std::string_view kNoOutput = "No output";

void checkLoggedOutput(std::string_view output) {
    const std::string logged = FDESetupHelper::loggedOutput(output);
    check(!logged.empty(), "an empty logged text");
    if (!isValidUtf8(output)) {
        check(logged == kNoOutput, "output that is not UTF-8 was logged");
        return;
    }
    check(FDESetupHelper::loggedOutput(logged) == logged, "trimming the logged text changes it");
    const std::size_t at = output.find(logged);
    if (at == std::string_view::npos) {
        check(logged == kNoOutput, "the logged text is not part of the output");
        // Nothing but white space: trimming leaves nothing.
        return;
    }
    const std::string_view before = output.substr(0, at);
    const std::string_view after = output.substr(at + logged.size());
    check(before.empty() || FDESetupHelper::loggedOutput(before) == kNoOutput,
          "something other than white space was trimmed at the start");
    check(after.empty() || FDESetupHelper::loggedOutput(after) == kNoOutput,
          "something other than white space was trimmed at the end");
}

std::size_t escapedSize(std::string_view value) {
    std::size_t size = 0;
    for (const char c : value) {
        switch (c) {
            case '&':
            case '\r':
                size += 5;
                break;
            case '<':
            case '>':
                size += 4;
                break;
            case '"':
            case '\'':
                size += 6;
                break;
            default:
                size += 1;
        }
    }
    return size;
}

std::optional<std::string> stringValue(plist_t dictionary, const char* key) {
    plist_t node = plist_dict_get_item(dictionary, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text == nullptr ? std::string() : std::string(text, length);
}

void checkRequest(std::string_view username, std::string_view password) {
    const SecretBytes request = FDESetupHelper::buildRequest(username, password);
    constexpr std::size_t kPlaceholders = 2 * std::string_view("{{username}}").size();
    check(request.size() == FDESetupHelper::kRequestTemplate.size() - kPlaceholders +
                                escapedSize(username) + escapedSize(password),
          "the request is not the template with each value filled in once");

    // XML cannot carry a NUL byte in any form, and the tool only reads UTF-8
    // text; for other values only the filling is checked.
    if (!isValidUtf8(username) || !isValidUtf8(password) ||
        password.find('\0') != std::string_view::npos) {
        return;
    }
    const std::optional<ParsedPlist> parsed = parsePlist(request.bytes());
    check(parsed.has_value(), "the request does not parse");
    check(parsed->format == PlistFormat::XML, "the request is not XML");
    check(plist_get_node_type(parsed->root.get()) == PLIST_DICT, "the request is not a dictionary");
    check(plist_dict_get_size(parsed->root.get()) == 2, "the request does not hold two keys");
    check(stringValue(parsed->root.get(), "Username") == username,
          "the account name does not come back from the request");
    check(stringValue(parsed->root.get(), "Password") == password,
          "the password does not come back from the request");
}

}  // namespace

void fuzzOne(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = textOf(data, size);
    checkLoggedOutput(input);

    const std::size_t nul = input.find('\0');
    const std::string_view username = input.substr(0, nul);
    const std::string_view password =
        nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
    checkRequest(username, password);
}

}  // namespace lockstep::fuzz
