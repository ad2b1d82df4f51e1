#include "account/password_utils.h"

#include <exception>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "directory/ds_queryable_errors.h"
#include "directory/od_query.h"
#include "log/log.h"
#include "platform/context.h"

namespace lockstep {

namespace {

constexpr std::string_view kIsLocalPasswordValidName = "isLocalPasswordValid(userName:userPass:)";
constexpr std::string_view kGetLocalRecordName = "getLocalRecord(_:)";
constexpr std::string_view kLocalNodeName = "localNode";

// Code given to a failure that carries none of its own.
constexpr std::int64_t kUnknownFailureCode = -1;

std::string joined(std::initializer_list<std::string_view> pieces) {
    std::string text;
    for (const std::string_view piece : pieces) {
        text += piece;
    }
    return text;
}

// Maps a failure of the lookup or of the verification to its result, with the
// one debug line that explains it.
LocalPasswordResult classify(std::int64_t code, std::string_view description,
                             std::string_view userName) {
    std::string message;
    LocalPasswordResult result = LocalPasswordResult::accountDoesNotExist();
    switch (code) {
        case kODErrorCredentialsInvalid:
            message = joined({"Tested password for user account: ", userName, " is not valid."});
            result = LocalPasswordResult::incorrectPassword();
            break;
        case kODErrorCredentialsMethodNotSupported:
            message = joined({"credential type not supported: ", userName, "."});
            result = LocalPasswordResult::otherError("credential type not supported");
            break;
        case kODErrorCredentialsAccountNotFound:
            message = joined({"No local account for user: ", userName, " is not valid."});
            break;
        case kODErrorCredentialsAccountDisabled:
            message = joined({"No local account for user: ", userName,
                              " is not valid. Local account disabled. Please wait a bit and "
                              "try again."});
            result = LocalPasswordResult::accountLocked();
            break;
        case kODErrorCredentialsAccountTemporarilyLocked:
            message = joined({"No local account for user: ", userName,
                              " is not valid. Local account temporarily locked. Please wait a "
                              "bit and try again."});
            result = LocalPasswordResult::accountLocked();
            break;
        case kODErrorCredentialsAccountLocked:
            message = joined({"No Account for user: ", userName, " is not locked."});
            result = LocalPasswordResult::accountLocked();
            break;
        default:
            message = joined({"throw error:", description, ":", std::to_string(code)});
            break;
    }
    LOCKSTEP_LOG_DEBUG(message, kIsLocalPasswordValidName);
    return result;
}

LocalPasswordResult checkPassword(const Context& ctx, std::string_view userName,
                                  std::string_view userPass) {
    try {
        LOCKSTEP_LOG_DEBUG("getting local record", kIsLocalPasswordValidName);
        const ODRecordRef record = PasswordUtils::getLocalRecord(ctx, userName);
        LOCKSTEP_LOG_DEBUG("checking password", kIsLocalPasswordValidName);
        std::optional<ODError> error;
        if (ctx.directory.verifyPassword(record, userPass, &error)) {
            LOCKSTEP_LOG_DEBUG("checking password done, returning success",
                               kIsLocalPasswordValidName);
            return LocalPasswordResult::success();
        }
        const ODError failure = reportedError(error);
        return classify(failure.code(), failure.localizedDescription(), userName);
    } catch (const Error& error) {
        return classify(error.code(), error.localizedDescription(), userName);
    } catch (const std::exception& error) {
        return classify(kUnknownFailureCode, error.what(), userName);
    } catch (...) {
        return classify(kUnknownFailureCode, "unknown error", userName);
    }
}

}  // namespace

LocalPasswordResult PasswordUtils::isLocalPasswordValid(const Context& ctx,
                                                        std::string_view userName,
                                                        std::string_view userPass) {
    try {
        return checkPassword(ctx, userName, userPass);
    } catch (...) {
        // Only reached when logging the verdict itself failed.
        return LocalPasswordResult::accountDoesNotExist();
    }
}

ODRecordRef PasswordUtils::getLocalRecord(const Context& ctx, std::string_view name) {
    LOCKSTEP_LOG_DEBUG(joined({"Building OD query for name ", name}), kGetLocalRecordName);
    const ODNodeRef node = localNode(ctx);
    try {
        const std::vector<ODRecordRef> records =
            queryRecords(ctx.directory, node, kODRecordTypeUsers, kODMatchEqualTo,
                         {std::string(name)}, kODAttributeTypeNativeOnly, 0);
        if (records.size() >= 2) {
            LOCKSTEP_LOG_ERROR("More than one local user found for name.", kGetLocalRecordName);
            throw DSQueryableErrors::multipleUsersFound();
        }
        if (records.empty()) {
            LOCKSTEP_LOG_INFO("No local user found. Passing on demobilizing allow login.",
                              kGetLocalRecordName);
            throw DSQueryableErrors::notLocalUser();
        }
        const ODRecordRef& record = records.front();
        LOCKSTEP_LOG_DEBUG(joined({"Found local user: ", record->description()}),
                           kGetLocalRecordName);
        return record;
    } catch (const Error& error) {
        LOCKSTEP_LOG_ERROR(joined({"ODError while trying to check for local user: ",
                                   error.localizedDescription()}),
                           kGetLocalRecordName);
        throw;
    }
}

ODNodeRef PasswordUtils::localNode(const Context& ctx) {
    std::optional<ODError> error;
    ODNodeRef node = openLocalNode(ctx.directory, &error);
    if (!node) {
        LOCKSTEP_LOG_DEBUG("ODError creating local node.", kLocalNodeName);
    }
    return node;
}

}  // namespace lockstep
