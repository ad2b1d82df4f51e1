#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/error.h"

namespace lockstep {

// The errors of the local directory lookups. Thrown as an exception; its code
// is the case's position and its description is the platform's bridged form,
// "The operation couldn’t be completed. (lockstepd.DSQueryableErrors error N.)".
class DSQueryableErrors final : public Error {
  public:
    enum class Case {
        // No record of the asked-for name exists in the local node.
        notLocalUser,
        // More than one record answers to the name.
        multipleUsersFound,
    };

    explicit DSQueryableErrors(Case kind) noexcept : kind_(kind) {}

    [[nodiscard]] static DSQueryableErrors notLocalUser() noexcept {
        return DSQueryableErrors(Case::notLocalUser);
    }
    [[nodiscard]] static DSQueryableErrors multipleUsersFound() noexcept {
        return DSQueryableErrors(Case::multipleUsersFound);
    }

    [[nodiscard]] Case kind() const noexcept { return kind_; }
    [[nodiscard]] std::int64_t code() const noexcept override {
        return static_cast<std::int64_t>(kind_);
    }
    [[nodiscard]] std::string localizedDescription() const override;
    [[nodiscard]] const char* what() const noexcept override;

    friend bool operator==(const DSQueryableErrors& a, const DSQueryableErrors& b) noexcept {
        return a.kind_ == b.kind_;
    }

  private:
    Case kind_;
};

}  // namespace lockstep

template <>
struct std::hash<lockstep::DSQueryableErrors> {
    std::size_t operator()(const lockstep::DSQueryableErrors& error) const noexcept {
        return std::hash<lockstep::DSQueryableErrors::Case>{}(error.kind());
    }
};
