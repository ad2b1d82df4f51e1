#include "account/machine_identity.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#include <utmpx.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <tuple>
#include <vector>

#include "account/command_runner.h"
#include "platform/scoped_fd.h"

namespace lockstep {

namespace {

// Machine files read here are small; anything larger is not what we expect.
constexpr std::size_t kMaxSerialFileBytes = 4096;
constexpr std::size_t kMaxLoginRecordBytes = std::size_t{4} * 1024 * 1024;

// Reads a whole file of at most `limit` bytes; nothing when it cannot be
// opened or read, or is larger.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit) {
    ScopedFD fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) {
        return std::nullopt;
    }
    std::string contents;
    std::array<char, 4096> buffer{};
    while (true) {
        const ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (count == 0) {
            return contents;
        }
        contents.append(buffer.data(), static_cast<std::size_t>(count));
        if (contents.size() > limit) {
            return std::nullopt;
        }
    }
}

bool isTrimmable(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == '\0';
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && isTrimmable(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isTrimmable(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return text;
}

// Texts that firmware and images put where no real serial number was set.
constexpr std::array<std::string_view, 14> kPlaceholderSerials = {
    "not specified",
    "to be filled by o.e.m.",
    "default string",
    "system serial number",
    "chassis serial number",
    "base board serial number",
    "none",
    "n/a",
    "not available",
    "not applicable",
    "default",
    "0123456789",
    "123456789",
    "uninitialized",
};

bool isMeaningfulSerial(const std::string& value) {
    if (value.empty() || std::all_of(value.begin(), value.end(), [](char c) { return c == '0'; })) {
        return false;
    }
    const std::string folded = lowercase(value);
    return std::find(kPlaceholderSerials.begin(), kPlaceholderSerials.end(), folded) ==
           kPlaceholderSerials.end();
}

std::optional<std::string> serialFrom(const std::filesystem::path& path) {
    auto contents = readSmallFile(path, kMaxSerialFileBytes);
    if (!contents) {
        return std::nullopt;
    }
    // Device-tree strings end in NUL; firmware and machine-id files in a
    // line feed. trimmed() removes both.
    std::string value = trimmed(*contents);
    if (!isMeaningfulSerial(value)) {
        return std::nullopt;
    }
    return value;
}

// How strongly a login line means "sitting at this machine".
enum class ConsoleKind { None = 0, Terminal = 1, Console = 2, Display = 3 };

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

ConsoleKind classifyLine(std::string_view line) {
    if (line == "console") {
        return ConsoleKind::Console;
    }
    if (line.starts_with("tty") && allDigits(line.substr(3))) {
        return ConsoleKind::Terminal;
    }
    if (line.starts_with(':')) {
        // ":0" or ":0.1" — a local X display (a remote one has a host before
        // the colon).
        const std::string_view display = line.substr(1);
        const std::size_t dot = display.find('.');
        if (allDigits(display.substr(0, dot)) &&
            (dot == std::string_view::npos || allDigits(display.substr(dot + 1)))) {
            return ConsoleKind::Display;
        }
    }
    return ConsoleKind::None;
}

// A fixed-size record field that may fill its array without a terminating NUL.
template <std::size_t N>
std::string_view fieldText(const char (&field)[N]) {
    return {field, ::strnlen(field, N)};
}

}  // namespace

std::optional<std::string> getSerial(const std::filesystem::path& machineRoot) {
    static constexpr std::array<std::string_view, 5> kSources = {
        "sys/class/dmi/id/product_serial",
        "sys/class/dmi/id/board_serial",
        "proc/device-tree/serial-number",
        "sys/firmware/devicetree/base/serial-number",
        "etc/machine-id",
    };
    for (const auto source : kSources) {
        if (auto serial = serialFrom(machineRoot / source)) {
            return serial;
        }
    }
    return std::nullopt;
}

std::string getConsoleUser(const std::filesystem::path& machineRoot) {
    const auto records = readSmallFile(machineRoot / "var/run/utmp", kMaxLoginRecordBytes);
    if (!records) {
        return {};
    }
    std::string best;
    // (kind, seconds, microseconds) of the best record so far.
    std::tuple<int, std::int64_t, std::int64_t> bestRank{0, 0, 0};
    for (std::size_t offset = 0; offset + sizeof(utmpx) <= records->size();
         offset += sizeof(utmpx)) {
        utmpx record{};
        std::memcpy(&record, records->data() + offset, sizeof(utmpx));
        if (record.ut_type != USER_PROCESS) {
            continue;
        }
        const std::string_view user = fieldText(record.ut_user);
        const ConsoleKind kind = classifyLine(fieldText(record.ut_line));
        if (user.empty() || kind == ConsoleKind::None) {
            continue;
        }
        const std::tuple<int, std::int64_t, std::int64_t> rank{
            static_cast<int>(kind), record.ut_tv.tv_sec, record.ut_tv.tv_usec};
        if (best.empty() || rank >= bestRank) {
            best = std::string(user);
            bestRank = rank;
        }
    }
    return best;
}

std::string getMAC(const std::filesystem::path& ifconfigPath) {
    const std::string listing =
        cliTask(ifconfigPath.string(), std::vector<std::string>{"-a"}, true);
    std::size_t lineStart = 0;
    while (lineStart < listing.size()) {
        std::size_t lineEnd = listing.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = listing.size();
        }
        const std::string_view line =
            std::string_view(listing).substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;

        // The words of the line, split at spaces and tabs.
        std::vector<std::string_view> words;
        std::size_t position = 0;
        while (position < line.size()) {
            const std::size_t begin = line.find_first_not_of(" \t\r", position);
            if (begin == std::string_view::npos) {
                break;
            }
            const std::size_t end = std::min(line.find_first_of(" \t\r", begin), line.size());
            words.push_back(line.substr(begin, end - begin));
            position = end;
        }
        const auto ether = std::find(words.begin(), words.end(), "ether");
        if (ether != words.end() && ether + 1 != words.end()) {
            return std::string(*(ether + 1));
        }
    }
    return {};
}

}  // namespace lockstep
