#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/directory/directory.h"

namespace lockstep {

struct Context;

// The verdict of the local password check.
class LocalPasswordResult {
  public:
    // In declaration order.
    enum class Case { success, incorrectPassword, accountDoesNotExist, accountLocked, otherError };

    [[nodiscard]] static LocalPasswordResult success() {
        return LocalPasswordResult(Case::success);
    }
    [[nodiscard]] static LocalPasswordResult incorrectPassword() {
        return LocalPasswordResult(Case::incorrectPassword);
    }
    [[nodiscard]] static LocalPasswordResult accountDoesNotExist() {
        return LocalPasswordResult(Case::accountDoesNotExist);
    }
    [[nodiscard]] static LocalPasswordResult accountLocked() {
        return LocalPasswordResult(Case::accountLocked);
    }
    [[nodiscard]] static LocalPasswordResult otherError(std::string text) {
        return LocalPasswordResult(Case::otherError, std::move(text));
    }

    [[nodiscard]] Case kind() const noexcept { return kind_; }
    // The text of otherError; empty for every other case.
    [[nodiscard]] const std::string& text() const noexcept { return text_; }

    bool operator==(const LocalPasswordResult&) const = default;

  private:
    explicit LocalPasswordResult(Case kind, std::string text = {})
        : kind_(kind), text_(std::move(text)) {}

    Case kind_;
    std::string text_;
};

// Proves that a password belongs to a local account, before it is stored for
// authenticated restarts. Holds no state.
class PasswordUtils {
  public:
    PasswordUtils() = delete;

    // Looks the account up in the local node and has the directory verify
    // the password. Every outcome, every failure included, becomes a result;
    // nothing is thrown.
    [[nodiscard]] static LocalPasswordResult isLocalPasswordValid(const Context& ctx,
                                                                  std::string_view userName,
                                                                  std::string_view userPass);

    // The one local user record of this name. Throws DSQueryableErrors
    // (notLocalUser, multipleUsersFound) or the directory's ODError.
    [[nodiscard]] static ODRecordRef getLocalRecord(const Context& ctx, std::string_view name);

    // The local directory node, or null when it cannot be opened.
    [[nodiscard]] static ODNodeRef localNode(const Context& ctx);
};

}  // namespace lockstep
