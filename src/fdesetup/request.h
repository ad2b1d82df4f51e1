#pragma once

// Credentials handed to the tool: a property list on standard input (as
// lockstepd writes it) or the answers typed at the terminal.

#include <optional>
#include <string>
#include <vector>

#include "fdesetup/secure_memory.h"

namespace lockstep::fde {

struct Credential {
    std::string user;
    LockedBuffer password;
};

struct InputPlist {
    std::optional<std::string> user;  // "Username"
    LockedBuffer password;            // "Password"
    bool hasPassword = false;
    std::vector<Credential> additionalUsers;  // "AdditionalUsers"
};

// Largest request read from standard input.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{64} * 1024;
// Largest password taken.
inline constexpr std::size_t kMaxPasswordBytes = 4096;

// Reads a descriptor to its end into locked memory. Nothing when it fails
// or holds more than `limit` bytes.
[[nodiscard]] std::optional<LockedBuffer> readSecretInput(int fd, std::size_t limit);

// Parses an XML (or binary) property list: a dictionary with "Username",
// "Password" and optionally "AdditionalUsers" (an array of dictionaries with
// "Username" and "Password"). Blanks around the document are allowed. The
// parser's copies of the passwords are wiped before they are freed.
// Nothing, with the reason, when it is not such a dictionary.
[[nodiscard]] std::optional<InputPlist> parseInputPlist(const LockedBuffer& text,
                                                        std::string* problem);

// Asks on the controlling terminal, echo off for the password. Nothing when
// there is no terminal.
[[nodiscard]] std::optional<std::string> askTerminal(const std::string& prompt);
[[nodiscard]] std::optional<LockedBuffer> askTerminalSecret(const std::string& prompt);

}  // namespace lockstep::fde
