#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/bytes.h"

namespace lockstep {

// The restart tool on a real machine.
inline constexpr std::string_view kFdesetupPath = "/usr/bin/fdesetup";

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
    // and logs what it printed on its shared output and error pipe. True only
    // when the tool was started and exited with status 0; false when it could
    // not be started, exited with another status or was killed by a signal.
    // A tool that exits without reading its input neither kills nor hangs the
    // daemon. Raises nothing.
    [[nodiscard]] static bool filevaultAuth(std::string_view username, std::string_view password,
                                            const std::filesystem::path& tool = kFdesetupPath);

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
