#include "filevault/fdesetup_helper.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "log/log.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/trusted_program.h"

namespace lockstep {

namespace {

constexpr std::string_view kFunction = "filevaultAuth(username:password:)";
constexpr std::string_view kUsernamePlaceholder = "{{username}}";
constexpr std::string_view kPasswordPlaceholder = "{{password}}";

std::string_view xmlEntity(char c) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return "&apos;";
        case '\r':
            return "&#13;";
        default:
            return {};
    }
}

// Walks the template once, handing each piece of the request to `sink`:
// template text as it stands, and each value, escaped, where its placeholder
// stands. Text that comes from a value is never looked at again, so a value
// that contains a placeholder is not filled in a second time.
template <typename Sink>
void fillTemplate(std::string_view username, std::string_view password, Sink&& sink) {
    const auto emitValue = [&sink](std::string_view value) {
        while (!value.empty()) {
            std::size_t special = std::min(value.find_first_of("&<>\"'\r"), value.size());
            sink(value.substr(0, special));
            if (special < value.size()) {
                sink(xmlEntity(value[special]));
                ++special;
            }
            value.remove_prefix(special);
        }
    };
    std::string_view rest = FDESetupHelper::kRequestTemplate;
    while (!rest.empty()) {
        if (rest.starts_with(kUsernamePlaceholder)) {
            emitValue(username);
            rest.remove_prefix(kUsernamePlaceholder.size());
        } else if (rest.starts_with(kPasswordPlaceholder)) {
            emitValue(password);
            rest.remove_prefix(kPasswordPlaceholder.size());
        } else {
            // Template text up to the next possible placeholder.
            const std::size_t brace = std::min(rest.find('{', 1), rest.size());
            sink(rest.substr(0, brace));
            rest.remove_prefix(brace);
        }
    }
}

// White space and line breaks: the Unicode space separators, tab, the line
// and paragraph separators, and the ASCII and C1 line-break controls.
bool isWhitespaceOrNewline(char32_t c) {
    static constexpr std::array<char32_t, 10> kOthers = {0x0020, 0x0085, 0x00A0, 0x1680, 0x2028,
                                                         0x2029, 0x202F, 0x205F, 0x3000, 0x0009};
    if ((c >= 0x000A && c <= 0x000D) || (c >= 0x2000 && c <= 0x200A)) {
        return true;
    }
    for (const char32_t other : kOthers) {
        if (c == other) {
            return true;
        }
    }
    return false;
}

// Trims white space and line breaks from both ends of well-formed UTF-8.
std::string trimmedOutput(std::string_view text) {
    while (!text.empty()) {
        std::string_view rest = text;
        if (!isWhitespaceOrNewline(takeCodePoint(rest))) {
            break;
        }
        text = rest;
    }
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<std::uint8_t>(text[start]) & 0xC0U) == 0x80U) {
            --start;
        }
        if (!isWhitespaceOrNewline(utf8CodePoint(text.substr(start)))) {
            break;
        }
        text.remove_suffix(text.size() - start);
    }
    return std::string(text);
}

// Output cut at the kept limit may end inside a character: that partial
// character is left out, so that the rest still counts as UTF-8.
std::string_view withoutCutCharacter(std::string_view text) {
    for (std::size_t back = 1; back <= std::min<std::size_t>(3, text.size()); ++back) {
        const auto byte = static_cast<std::uint8_t>(text[text.size() - back]);
        if ((byte & 0xC0U) == 0x80U) {
            continue;
        }
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? text.substr(0, text.size() - back) : text;
    }
    return text;
}

// "120 seconds", or "250 ms" for a limit that is not whole seconds.
std::string durationText(std::chrono::milliseconds duration) {
    if (duration.count() % 1000 == 0) {
        return std::to_string(duration.count() / 1000) + " seconds";
    }
    return std::to_string(duration.count()) + " ms";
}

}  // namespace

SecretBytes FDESetupHelper::buildRequest(std::string_view username, std::string_view password) {
    // Size it first, so the buffer is never reallocated: a reallocation would
    // leave a copy of the password in freed memory that nobody wipes.
    std::size_t size = 0;
    fillTemplate(username, password, [&size](std::string_view piece) { size += piece.size(); });
    SecretBytes request;
    request.bytes().reserve(size);
    fillTemplate(username, password, [&request](std::string_view piece) {
        request.bytes().insert(request.bytes().end(), piece.begin(), piece.end());
    });
    return request;
}

bool FDESetupHelper::requestCanCarry(std::string_view value) {
    if (!isValidUtf8(value)) {
        return false;
    }
    while (!value.empty()) {
        const char32_t c = takeCodePoint(value);
        const bool allowed =
            (c >= 0x20 && c != 0xFFFE && c != 0xFFFF) || c == '\t' || c == '\n' || c == '\r';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

std::string FDESetupHelper::loggedOutput(std::string_view output) {
    std::string text = isValidUtf8(output) ? trimmedOutput(output) : std::string();
    if (text.empty()) {
        text = "No output";
    }
    return text;
}

std::string FDESetupHelper::firstLine(std::string_view output) {
    // The first line that holds more than white space; a line that is not
    // UTF-8 is left out rather than kept in part.
    while (!output.empty()) {
        const std::size_t end = std::min(output.find_first_of("\r\n"), output.size());
        std::string_view line = output.substr(0, end);
        output.remove_prefix(std::min(end + 1, output.size()));
        if (line.size() > kToolFirstLineBytes) {
            line = withoutCutCharacter(line.substr(0, kToolFirstLineBytes));
        }
        if (!isValidUtf8(line)) {
            return {};
        }
        if (std::string text = trimmedOutput(line); !text.empty()) {
            return text;
        }
    }
    return {};
}

bool FDESetupHelper::filevaultAuth(std::string_view username, std::string_view password,
                                   const std::filesystem::path& tool, const ChildLimits& limits,
                                   ToolRun* report) {
    ToolRun unreported;
    ToolRun& run = report != nullptr ? *report : unreported;
    run = ToolRun{.tool = tool};
    const std::string toolName = tool.string();
    // Checked before anything is started or written: whoever can change the
    // tool, or a folder above it, would receive the password. A missing tool
    // is left to the start below, which names the system's reason.
    if (ProgramTrust trust = checkRootOwnedProgram(tool);
        trust.verdict == ProgramTrust::Verdict::untrusted) {
        LOCKSTEP_LOG_ERROR("Refusing to run " + toolName + ": " + trust.reason, kFunction);
        run.unsafeBecause = std::move(trust.reason);
        return false;
    }

    ProcessOptions options;
    options.program = toolName;
    options.arguments = {"authrestart", "-delayminutes", "-1", "-inputplist"};
    options.input = ChildStream::Pipe;
    options.output = ChildStream::Pipe;
    options.error = ChildStream::ToOutput;
    options.ownProcessGroup = true;

    const auto started = std::chrono::steady_clock::now();
    auto spawned = spawnProcess(options);
    if (!spawned.process) {
        run.startError = spawned.errorDescription();
        LOCKSTEP_LOG_DEBUG("Failed to run command: " + *run.startError, kFunction);
        return false;
    }
    Process& process = *spawned.process;

    BoundedOutput collected;
    {
        // The request is written while the tool's output is read, then its
        // input is closed; the request buffer is wiped when it goes out of scope.
        const SecretBytes request = buildRequest(username, password);
        collected = process.communicateWithin(request.bytes(), limits);
    }
    const std::optional<ExitStatus> status = process.wait();
    run.duration = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    run.exit = status;
    run.timedOut = collected.timedOut;
    run.killed = collected.killed;

    if (collected.timedOut) {
        std::string message = toolName + " did not finish within " + durationText(limits.runTime) +
                              "; its process group was sent SIGTERM";
        if (collected.killed) {
            message += ", then SIGKILL " + durationText(limits.stopGrace) + " later";
        }
        if (collected.abandoned) {
            message += ", and it has still not ended";
        }
        LOCKSTEP_LOG_ERROR(message, kFunction);
    }
    if (collected.outputCut) {
        LOCKSTEP_LOG_ERROR("The output of " + toolName + " was still held open " +
                               durationText(limits.outputGrace) +
                               " after it exited; its process group was killed",
                           kFunction);
    }
    std::string_view raw(reinterpret_cast<const char*>(collected.output.data()),
                         collected.output.size());
    if (collected.droppedBytes > 0) {
        raw = withoutCutCharacter(raw);
    }
    LOCKSTEP_LOG_DEBUG(loggedOutput(raw), kFunction);
    run.firstLine = firstLine(raw);
    if (collected.droppedBytes > 0) {
        LOCKSTEP_LOG_INFO("Dropped " + std::to_string(collected.droppedBytes) +
                              " bytes of output of " + toolName + " beyond the first " +
                              std::to_string(limits.keptOutput),
                          kFunction);
    }
    return run.armed();
}

}  // namespace lockstep
