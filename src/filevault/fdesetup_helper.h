#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bytes.h"
#include "platform/process.h"

namespace lockstep {

// The restart tool on a real machine.
inline constexpr std::string_view kFdesetupPath = "/usr/bin/fdesetup";

// How long the restart tool may run before its process group is sent
// SIGTERM, and after that how long until SIGKILL. The boot unit's
// TimeoutStartSec= lies above their sum.
inline constexpr std::chrono::seconds kToolRunLimit{120};
inline constexpr std::chrono::seconds kToolStopGrace{5};
// How long output still held open by the tool's descendants is read after the
// tool has exited.
inline constexpr std::chrono::seconds kToolOutputGrace{2};
// How much of the tool's output is kept for the log; the rest is read and
// dropped.
inline constexpr std::size_t kToolOutputKept = std::size_t{64} * 1024;
inline constexpr ChildLimits kToolLimits{kToolRunLimit, kToolStopGrace, kToolOutputGrace,
                                         kToolOutputKept};

// At most this many bytes of the tool's first output line are kept in a
// ToolRun.
inline constexpr std::size_t kToolFirstLineBytes = 200;

// What became of one request to the restart tool: enough to tell afterwards
// why a restart was or was not armed. Never holds the request.
struct ToolRun {
    std::filesystem::path tool{};
    // Not started because someone other than root could change it: why.
    std::optional<std::string> unsafeBecause{};
    // Could not be started: the system's reason.
    std::optional<std::string> startError{};
    // How it ended; nothing when it was not started, or was given up
    // because not even SIGKILL ended it.
    std::optional<ExitStatus> exit{};
    // From the start until it had ended and its output was read.
    std::chrono::milliseconds duration{0};
    // Still running at the run limit, so its process group was sent SIGTERM;
    // `killed`: SIGKILL too.
    bool timedOut = false;
    bool killed = false;
    // The first line of its output, trimmed, at most kToolFirstLineBytes
    // bytes of whole UTF-8 characters; empty when it printed nothing (or
    // nothing that is UTF-8).
    std::string firstLine{};

    // Whether the restart was armed: the tool ran within its limit and
    // exited with status 0.
    [[nodiscard]] bool armed() const { return !timedOut && exit && exit->success(); }
};

// Asks the restart tool for an authenticated restart with an account's
// credentials.
class FDESetupHelper {
  public:
    // The property list the tool reads on its standard input: 175 bytes in
    // eight lines, with a placeholder for each value.
    static constexpr std::string_view kRequestTemplate =
        " <plist>\n"
        "   <dict>\n"
        "         <key>Username</key>\n"
        "         <string>{{username}}</string>\n"
        "         <key>Password</key>\n"
        "         <string>{{password}}</string>\n"
        "   </dict>\n"
        "</plist>\n";

    // Runs `tool authrestart -delayminutes -1 -inputplist`, writes it the
    // request on its standard input (never in its arguments or environment),
    // and logs what it printed on its shared output and error pipe. A tool
    // that root alone could not have put there (checkRootOwnedProgram) is
    // not started: the refusal is logged at error level. The tool runs in a
    // process group of its own within `limits`: one still running at the run
    // limit is stopped (logged at error level); only the first kept bytes of
    // its output are logged, with the count of those dropped. True only when
    // the tool was started, finished within the limit and exited with status
    // 0; false otherwise. A tool that exits without reading its input
    // neither kills nor hangs the daemon. Raises nothing. What became of
    // the request goes to `report` when one is given.
    [[nodiscard]] static bool filevaultAuth(std::string_view username, std::string_view password,
                                            const std::filesystem::path& tool = kFdesetupPath,
                                            const ChildLimits& limits = kToolLimits,
                                            ToolRun* report = nullptr);

    // The first line of the tool's output as a ToolRun keeps it.
    [[nodiscard]] static std::string firstLine(std::string_view output);

    // The request for these credentials: the template with both placeholders
    // filled in one pass, each value XML-escaped (& < > " ', and a carriage
    // return as a character reference, which XML would otherwise read back
    // as a line feed), so that a value
    // holding a placeholder text is never filled again and every value parses
    // back unchanged. The buffer wipes itself when it goes away.
    [[nodiscard]] static SecretBytes buildRequest(std::string_view username,
                                                  std::string_view password);

    // Whether a value can travel in the request and parse back unchanged:
    // well-formed UTF-8 holding only characters of XML 1.0 (no controls but
    // tab, line feed and carriage return; no U+FFFE or U+FFFF).
    [[nodiscard]] static bool requestCanCarry(std::string_view value);

    // The text logged for what the tool printed: its output, when it is valid
    // UTF-8, trimmed of white space and line breaks at both ends; "No output"
    // when that leaves nothing or the output is not valid UTF-8.
    [[nodiscard]] static std::string loggedOutput(std::string_view output);
};

}  // namespace lockstep
