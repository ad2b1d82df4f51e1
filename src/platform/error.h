#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace lockstep {

// Common face of every error the directory facility and the password check
// read: a signed integer code and a human-readable description.
class Error : public std::exception {
  public:
    [[nodiscard]] virtual std::int64_t code() const noexcept = 0;
    [[nodiscard]] virtual std::string localizedDescription() const = 0;
    [[nodiscard]] const char* what() const noexcept override { return "lockstep error"; }
};

}  // namespace lockstep
