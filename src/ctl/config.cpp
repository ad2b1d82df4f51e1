// lockstepctl check-config: the preference files as lockstepd reads them.

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

#include "ctl/commands.h"
#include "log/unified_logger.h"
#include "platform/plist.h"
#include "platform/user_defaults.h"

namespace lockstep::ctl {

namespace {

constexpr std::string_view kLogFolderPath = "LogFolderPath";
constexpr std::string_view kLogFileName = "LogFileName";
constexpr std::string_view kShowDebug = "showDebug";
constexpr std::array<std::string_view, 3> kKnownKeys = {kLogFolderPath, kLogFileName, kShowDebug};

// The texts that read as a truth value without surprise; any other text reads
// as false.
constexpr std::array<std::string_view, 6> kTruthTexts = {"YES", "NO", "true", "false", "1", "0"};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// The kind of a stored value, in words.
std::string kindOf(const UserDefaults::Value& value) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) {
                return "a Boolean";
            } else if constexpr (std::is_same_v<T, std::string>) {
                return "a text";
            } else if constexpr (std::is_same_v<T, UserDefaults::Other>) {
                return "an array, dictionary, date or data";
            } else {
                return "a number";
            }
        },
        value);
}

std::string inQuotes(std::string_view text) {
    std::string quoted = "'";
    quoted.append(printable(text)).append("'");
    return quoted;
}

std::string octalMode(mode_t mode) {
    std::string digits;
    for (int shift = 9; shift >= 0; shift -= 3) {
        digits += static_cast<char>('0' + ((mode >> static_cast<unsigned>(shift)) & 07U));
    }
    return digits;
}

// Writes the problems of one file, one line each.
class Findings {
  public:
    Findings(const std::filesystem::path& file, std::ostream& out)
        : file_(printable(file.string())), out_(out) {}

    void fileProblem(std::string_view text) {
        out_ << file_ << ": " << text << '\n';
        ++count_;
    }
    void keyProblem(std::string_view key, std::string_view text) {
        out_ << file_ << ": " << printable(key) << ": " << text << '\n';
        ++count_;
    }
    [[nodiscard]] std::size_t count() const { return count_; }

  private:
    std::string file_;
    std::ostream& out_;
    std::size_t count_ = 0;
};

// The file itself: something whose settings only root or the user can
// choose. False when nothing is there.
bool checkFileItself(const std::filesystem::path& file, std::uint32_t user, Findings& findings) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return false;
        }
        findings.fileProblem("cannot be examined: " + std::generic_category().message(errno));
        return true;
    }
    if (S_ISLNK(info.st_mode)) {
        findings.fileProblem(
            "is a symbolic link, which lockstepd follows: replace it by the file itself");
        if (::stat(file.c_str(), &info) != 0) {
            return true;
        }
    }
    if (!S_ISREG(info.st_mode)) {
        findings.fileProblem("is not a regular file, so lockstepd ignores it");
        return true;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        findings.fileProblem("is writable by group or others (mode " +
                             octalMode(info.st_mode & 07777U) + "): chmod go-w it");
    }
    if (info.st_uid != 0 && info.st_uid != user) {
        findings.fileProblem("is owned by user " + std::to_string(info.st_uid) + ", not root" +
                             (user == 0 ? std::string() : " or user " + std::to_string(user)) +
                             ": chown it");
    }
    return true;
}

void checkShowDebug(const UserDefaults::Value& value, Findings& findings) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        const bool known =
            std::any_of(kTruthTexts.begin(), kTruthTexts.end(),
                        [&](std::string_view t) { return equalsIgnoringCase(*text, t); });
        if (!known) {
            findings.keyProblem(kShowDebug, "the text " + inQuotes(*text) +
                                                " reads as false: use <true/> or <false/>");
        }
    } else if (std::holds_alternative<UserDefaults::Other>(value)) {
        findings.keyProblem(kShowDebug,
                            "is " + kindOf(value) + ", not a Boolean, so lockstepd ignores it");
    }
}

void checkLogFolderPath(const std::string& setting, const Services::Preferences& preferences,
                        Findings& findings) {
    if (setting.empty()) {
        return;  // not set
    }
    const auto folder = expandLogFolderPath(
        setting,
        [&preferences]() -> std::optional<std::string> {
            if (!preferences.homeFolderForUser) {
                return std::nullopt;
            }
            return preferences.homeFolderForUser(preferences.userID);
        },
        preferences.homeFolderForUserName);
    if (!folder) {
        findings.keyProblem(kLogFolderPath,
                            setting.starts_with('~')
                                ? inQuotes(setting) + " names a user without a home folder"
                                : inQuotes(setting) + " is not an absolute path");
        return;
    }
    if (const auto problem = logFolderProblem(*folder, preferences.userID)) {
        const bool missing = *problem == "does not exist";
        findings.keyProblem(kLogFolderPath,
                            "folder " + inQuotes(folder->string()) + " " + *problem +
                                (missing ? ", so lockstepd logs to its default folder"
                                         : ", so lockstepd logs to a fresh temporary folder"));
    }
}

void checkKey(const std::string& key, const UserDefaults::Value& value,
              const Services::Preferences& preferences, Findings& findings) {
    const auto* text = std::get_if<std::string>(&value);
    if (key == kShowDebug) {
        checkShowDebug(value, findings);
    } else if (key == kLogFolderPath || key == kLogFileName) {
        if (text == nullptr) {
            findings.keyProblem(key,
                                "is " + kindOf(value) + ", not a text, so lockstepd ignores it");
        } else if (key == kLogFolderPath) {
            checkLogFolderPath(*text, preferences, findings);
        } else if (!text->empty() && !isPlainLogFileName(*text)) {
            findings.keyProblem(key, inQuotes(*text) +
                                         " is not one plain file name, so lockstepd uses its "
                                         "default name");
        }
    } else {
        const auto* near =
            std::find_if(kKnownKeys.begin(), kKnownKeys.end(),
                         [&](std::string_view k) { return equalsIgnoringCase(key, k); });
        findings.keyProblem(key, near == kKnownKeys.end()
                                     ? std::string("unknown setting, which lockstepd ignores")
                                     : "unknown setting, which lockstepd ignores (did you mean " +
                                           std::string(*near) + "?)");
    }
}

std::size_t checkFile(const std::filesystem::path& file, const Services::Preferences& preferences,
                      std::ostream& out) {
    Findings findings(file, out);
    if (!checkFileItself(file, preferences.userID, findings)) {
        return 0;
    }
    const UserDefaults::FileContents contents = UserDefaults::readFile(file);
    using Reading = UserDefaults::Reading;
    switch (contents.reading) {
        case Reading::read:
            for (const auto& [key, value] : contents.domain) {
                checkKey(key, value, preferences, findings);
            }
            break;
        case Reading::unreadable:
            findings.fileProblem("cannot be read (" +
                                 std::generic_category().message(contents.error) +
                                 "), so lockstepd ignores it");
            break;
        case Reading::tooLarge:
            findings.fileProblem("is larger than " + std::to_string(kMaxPlistBytes) +
                                 " bytes, so lockstepd ignores it");
            break;
        case Reading::notPropertyList:
            findings.fileProblem("is not a property list, so lockstepd ignores it");
            break;
        case Reading::notDictionary:
            findings.fileProblem(
                "is a property list without a dictionary at its root, so lockstepd ignores it");
            break;
        case Reading::missing:         // a link to nothing, already reported
        case Reading::notRegularFile:  // already reported
            break;
    }
    return findings.count();
}

}  // namespace

std::size_t checkPreferences(const Services& services, std::ostream& out) {
    std::size_t problems = 0;
    for (const auto& file : services.preferences.files) {
        problems += checkFile(file, services.preferences, out);
    }
    return problems;
}

}  // namespace lockstep::ctl
