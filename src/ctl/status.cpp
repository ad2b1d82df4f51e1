#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <ostream>
#include <system_error>

#include "ctl/commands.h"
#include "keychain/keychain_util.h"
#include "platform/scoped_fd.h"

namespace lockstep::ctl {

namespace {

namespace fs = std::filesystem;

// Only the end of a large log file is read: the last run is near it.
constexpr off_t kLogTailBytes = 4 * 1024 * 1024;

// The process tag of the daemon's lines in the log file.
constexpr std::string_view kDaemonTag = "lockstepd(";

// Log messages that end a lockstepd run, with the operation that logs them.
struct OutcomeMessage {
    std::string_view function;
    std::string_view message;
    // Whether the message is a prefix (followed by a value).
    bool prefix;
};

constexpr OutcomeMessage kOutcomes[] = {
    {"run()", "Successfully authenticated with FileVault", false},
    {"run()", "Failed to authenticate with FileVault", false},
    {KeychainUtil::kFindPasswordName, "Lockstep not found in keychain", false},
    {KeychainUtil::kUpdatePasswordName, "setting new password FAILURE", true},
};

std::string resultName(LocalPasswordResult::Case kind) {
    switch (kind) {
        case LocalPasswordResult::Case::success:
            return "success";
        case LocalPasswordResult::Case::incorrectPassword:
            return "incorrectPassword";
        case LocalPasswordResult::Case::accountDoesNotExist:
            return "accountDoesNotExist";
        case LocalPasswordResult::Case::accountLocked:
            return "accountLocked";
        case LocalPasswordResult::Case::otherError:
            break;
    }
    return "otherError";
}

std::string resultWords(const LocalPasswordResult& result) {
    switch (result.kind()) {
        case LocalPasswordResult::Case::success:
            return "verifies against the local account";
        case LocalPasswordResult::Case::incorrectPassword:
            return "NO LONGER VALID: the account's password was changed since enrolment";
        case LocalPasswordResult::Case::accountDoesNotExist:
            return "NO LONGER VALID: no usable local account of that name";
        case LocalPasswordResult::Case::accountLocked:
            return "NO LONGER VALID: the account is disabled or locked";
        case LocalPasswordResult::Case::otherError:
            break;
    }
    return "NO LONGER VALID: the password cannot be checked (" + printable(result.text()) + ")";
}

std::string problemWords(ExitStatus status) {
    switch (status) {
        case ExitStatus::ok:
            return "ready to arm";
        case ExitStatus::notEnrolled:
            return "nothing enrolled";
        case ExitStatus::passwordInvalid:
            return "password no longer valid";
        case ExitStatus::toolMissing:
            return "restart tool missing";
        case ExitStatus::keychainUnreadable:
            return "keychain unreadable";
        case ExitStatus::failure:
        case ExitStatus::usage:
            break;
    }
    return "failure";
}

// The outcome a log-file line records, if it is a line of lockstepd that ends
// a run. A line reads "TIMESTAMP lockstepd(PID):       file:line FUNCTION MESSAGE".
std::optional<LogOutcome> outcomeOf(std::string_view line) {
    const auto space = line.find(' ');
    if (space == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view time = line.substr(0, space);
    std::string_view rest = line.substr(space + 1);
    if (!rest.starts_with(kDaemonTag)) {
        return std::nullopt;
    }
    const auto tagEnd = rest.find("): ");
    if (tagEnd == std::string_view::npos) {
        return std::nullopt;
    }
    rest = rest.substr(tagEnd + 3);
    for (const OutcomeMessage& outcome : kOutcomes) {
        std::string marker = " ";
        marker += outcome.function;
        marker += ' ';
        const auto at = rest.find(marker);
        if (at == std::string_view::npos) {
            continue;
        }
        const std::string_view message = rest.substr(at + marker.size());
        if (outcome.prefix ? message.starts_with(outcome.message) : message == outcome.message) {
            return LogOutcome{printable(time), printable(message)};
        }
    }
    return std::nullopt;
}

bool isExecutableFile(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

LogFinding findLastOutcome(const fs::path& logFile) {
    LogFinding finding;
    finding.file = logFile;
    int fd = -1;
    do {
        fd = ::open(logFile.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    const ScopedFD file(fd);
    if (!file) {
        finding.error = errno == ENOENT ? "no log file yet" : std::strerror(errno);
        return finding;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        finding.error = "not a regular file";
        return finding;
    }
    const off_t start = info.st_size > kLogTailBytes ? info.st_size - kLogTailBytes : 0;
    std::string tail(static_cast<std::size_t>(info.st_size - start), '\0');
    std::size_t done = 0;
    while (done < tail.size()) {
        const ssize_t got = ::pread(file.get(), tail.data() + done, tail.size() - done,
                                    start + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    tail.resize(done);
    finding.readable = true;

    // Newest line first; a line cut by the start of the tail is skipped.
    std::string_view rest(tail);
    while (!rest.empty()) {
        if (rest.back() == '\n') {
            rest.remove_suffix(1);
            continue;
        }
        const auto newline = rest.rfind('\n');
        if (newline == std::string_view::npos && start > 0) {
            break;
        }
        const std::string_view line =
            newline == std::string_view::npos ? rest : rest.substr(newline + 1);
        if (auto outcome = outcomeOf(line)) {
            finding.lastOutcome = std::move(outcome);
            break;
        }
        rest = newline == std::string_view::npos ? std::string_view() : rest.substr(0, newline);
    }
    return finding;
}

ExitStatus StatusReport::verdict() const {
    if (keychainError) {
        return ExitStatus::keychainUnreadable;
    }
    if (!credential) {
        return ExitStatus::notEnrolled;
    }
    if (passwordCheck && passwordCheck->kind() != LocalPasswordResult::Case::success) {
        return ExitStatus::passwordInvalid;
    }
    if (!toolPresent) {
        return ExitStatus::toolMissing;
    }
    return ExitStatus::ok;
}

StatusReport checkStatus(const Services& services) {
    const Context& ctx = services.context;
    StatusReport report;
    report.keychainPath = services.systemKeychainPath;
    report.toolPath = ctx.fdesetupPath;
    report.toolPresent = isExecutableFile(ctx.fdesetupPath);
    if (services.restart.armed) {
        report.restartArmed = services.restart.armed();
    }
    if (services.restart.unsupportedReason) {
        report.restartUnsupported = services.restart.unsupportedReason();
    }
    if (services.logFile) {
        if (const auto file = services.logFile()) {
            report.log = findLastOutcome(*file);
        }
    }

    // Looking before opening keeps a missing keychain from being created.
    std::error_code error;
    const fs::file_status found = fs::symlink_status(report.keychainPath, error);
    if (found.type() == fs::file_type::not_found) {
        return report;
    }
    report.keychainExists = true;
    std::vector<KeychainItemInfo> items;
    std::string why;
    if (!readKeychainItems(report.keychainPath, &items, &why)) {
        report.keychainError = why;
        return report;
    }
    // The daemon's lookup without an account gives the oldest item of the
    // service; the listing is oldest first.
    for (const KeychainItemInfo& item : items) {
        if (toString(item.service) != kCredentialService) {
            continue;
        }
        if (!report.credential) {
            report.credential = StoredCredential{
                .account = item.account ? toString(*item.account) : std::string(),
                .hasAccount = item.account.has_value(),
                .stored = item.created,
                .modified = item.modified,
            };
        }
        ++report.credential->itemsOfService;
    }
    if (!report.credential) {
        return report;
    }

    SecKeychainRef keychain;
    if (const OSStatus status =
            ctx.keychain.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain);
        status != errSecSuccess || !keychain) {
        report.keychainError = "cannot open " + printable(report.keychainPath.string()) + ": " +
                               describeStatus(status);
        return report;
    }
    // The daemon's own lookup, so the verdict is about the credential it
    // would hand to the restart tool.
    const std::optional<PasswordItem> item =
        KeychainUtil::findPassword(ctx, kCredentialService, std::nullopt, keychain);
    if (!item) {
        report.keychainError =
            "the stored credential cannot be read (a key file that does not match, a damaged "
            "item, or an empty password)";
        return report;
    }
    report.passwordCheck =
        PasswordUtils::isLocalPasswordValid(ctx, item->username, item->passwordText());
    return report;
}

void printStatus(const StatusReport& report, std::ostream& out) {
    out << "keychain:     " << printable(report.keychainPath.string());
    if (report.keychainError) {
        out << ": UNREADABLE: " << *report.keychainError;
    } else if (!report.keychainExists) {
        out << " (none yet)";
    }
    out << '\n';

    out << "enrolled:     ";
    if (const auto& credential = report.credential) {
        out << "yes, account \"" << printable(credential->account) << "\""
            << (credential->hasAccount ? "" : " (no account attribute)") << ", stored "
            << formatTime(credential->stored) << '\n';
        if (credential->itemsOfService > 1) {
            out << "              " << credential->itemsOfService
                << " credentials are stored; lockstepd uses this one, the oldest\n";
        }
    } else if (report.keychainError) {
        out << "unknown\n";
    } else {
        out << "no\n";
    }

    out << "password:     ";
    if (report.passwordCheck) {
        out << resultWords(*report.passwordCheck) << '\n';
    } else {
        out << "not checked\n";
    }

    out << "restart tool: " << printable(report.toolPath.string())
        << (report.toolPresent ? " is present" : ": MISSING or not executable") << '\n';
    out << "restart:      "
        << (!report.restartArmed   ? "cannot be armed on this kernel (no kexec)"
            : *report.restartArmed ? "armed"
                                   : "not armed")
        << (report.restartUnsupported
                ? "; the tool cannot arm one here: " + printable(*report.restartUnsupported)
                : std::string())
        << '\n';

    out << "last outcome: ";
    if (!report.log) {
        out << "not known (lockstepctl reads the log file of root only)\n";
    } else if (!report.log->readable) {
        out << "not known: " << printable(report.log->file.string()) << ": " << report.log->error
            << '\n';
    } else if (const auto& outcome = report.log->lastOutcome) {
        out << outcome->time << ' ' << outcome->message << '\n';
    } else {
        out << "none in " << printable(report.log->file.string())
            << " (successful runs are logged only with showDebug)\n";
    }

    out << "status:       " << problemWords(report.verdict()) << '\n';
}

void printStatusJson(const StatusReport& report, std::ostream& out) {
    using Json = nlohmann::ordered_json;
    const ExitStatus verdict = report.verdict();
    Json json;
    json["ready"] = verdict == ExitStatus::ok;
    json["exitStatus"] = static_cast<int>(verdict);
    json["problem"] = verdict == ExitStatus::ok ? Json(nullptr) : Json(problemWords(verdict));
    json["keychain"] = {
        {"path", report.keychainPath.string()},
        {"exists", report.keychainExists},
        {"readable", report.keychainExists && !report.keychainError.has_value()},
        {"error", report.keychainError ? Json(*report.keychainError) : Json(nullptr)},
    };
    if (const auto& credential = report.credential) {
        json["credential"] = {
            {"service", kCredentialService},
            {"account", credential->hasAccount ? Json(credential->account) : Json(nullptr)},
            {"stored", formatTime(credential->stored)},
            {"modified", formatTime(credential->modified)},
            {"itemsOfService", credential->itemsOfService},
        };
    } else {
        json["credential"] = nullptr;
    }
    if (report.passwordCheck) {
        json["password"] = {
            {"checked", true},
            {"valid", report.passwordCheck->kind() == LocalPasswordResult::Case::success},
            {"result", resultName(report.passwordCheck->kind())},
        };
    } else {
        json["password"] = {{"checked", false}, {"valid", nullptr}, {"result", nullptr}};
    }
    json["restartTool"] = {
        {"path", report.toolPath.string()},
        {"present", report.toolPresent},
        {"supported", !report.restartUnsupported.has_value()},
        {"unsupportedReason",
         report.restartUnsupported ? Json(*report.restartUnsupported) : Json(nullptr)}};
    json["restartArmed"] = report.restartArmed ? Json(*report.restartArmed) : Json(nullptr);
    if (report.log) {
        Json outcome = nullptr;
        if (report.log->lastOutcome) {
            outcome = {{"time", report.log->lastOutcome->time},
                       {"message", report.log->lastOutcome->message}};
        }
        json["log"] = {
            {"file", report.log->file.string()},
            {"readable", report.log->readable},
            {"error", report.log->readable ? Json(nullptr) : Json(report.log->error)},
            {"lastOutcome", outcome},
        };
    } else {
        json["log"] = nullptr;
    }
    // Attributes come from the keychain file: bytes that are not UTF-8 are
    // replaced rather than stopping the output.
    out << json.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

}  // namespace lockstep::ctl
