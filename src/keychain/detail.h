#pragma once

// Helpers shared by the keychain sources; not part of the subsystem's face.

#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

#include "log/log.h"

namespace lockstep::keychain_detail {

// Joins texts into one message.
[[nodiscard]] inline std::string join(std::initializer_list<std::string_view> parts) {
    std::size_t length = 0;
    for (const std::string_view part : parts) {
        length += part.size();
    }
    std::string text;
    text.reserve(length);
    for (const std::string_view part : parts) {
        text += part;
    }
    return text;
}

// Logs that an operation was stopped by an exception. Never throws.
inline void logUnexpected(std::string_view function, std::string_view reason) noexcept {
    try {
        LOCKSTEP_LOG_ERROR(join({"stopped by an unexpected error: ", reason}), function);
    } catch (...) {
        // Nothing more can be reported.
    }
}

// Runs `body` and gives its result, or `fallback` after a log line when it
// throws (for instance std::bad_alloc): the keychain operations raise nothing.
template <typename Result, typename Body>
[[nodiscard]] Result runGuarded(std::string_view function, Result fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& error) {
        logUnexpected(function, error.what());
    } catch (...) {
        logUnexpected(function, "unknown exception");
    }
    return fallback;
}

}  // namespace lockstep::keychain_detail
