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
#include "daemon/run_record.h"
#include "keychain/keychain_util.h"
#include "platform/scoped_fd.h"
#include "platform/trusted_program.h"

namespace lockstep::ctl {

namespace {

namespace fs = std::filesystem;

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
        case ExitStatus::systemKeychainDamaged:
            return "System keychain damaged";
        case ExitStatus::lastArmingFailed:
            return "last arming failed";
        case ExitStatus::keychainFilesUnsafe:
            return "keychain files unsafe";
        case ExitStatus::failure:
        case ExitStatus::configProblems:
        case ExitStatus::usage:
            break;
    }
    return "failure";
}

bool isExecutableFile(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

LastRun readLastRun(const fs::path& file) {
    LastRun last{.file = file};
    if (file.empty()) {
        last.error = "runs are not recorded";
        return last;
    }
    last.run = readRunRecord(file, &last.error);
    return last;
}

std::string pathName(const RunOutcome& run) {
    return run.enrolment ? "enrolment" : "plain run";
}

void printLastRun(const LastRun& last, std::ostream& out) {
    out << "last run:     ";
    if (!last.run) {
        out << "none recorded: " << printable(last.file.string()) << ": " << printable(last.error)
            << '\n';
        return;
    }
    const RunOutcome& run = *last.run;
    out << formatTime(run.time) << ' ' << pathName(run);
    if (!run.account.empty()) {
        out << ", account \"" << printable(run.account) << '"';
    }
    out << ": "
        << (run.resultLine.empty() ? std::string("no credential stored, nothing printed")
                                   : printable(run.resultLine))
        << '\n';
    if (run.keychain && !run.keychain->system) {
        out << "              it used the user keychain "
            << printable(run.keychain->path.value_or("").string()) << '\n';
    }
    if (run.tool) {
        out << "              " << describeToolRun(*run.tool) << '\n';
    }
}

void printKeychainFiles(const std::vector<FileProblem>& problems, std::ostream& out) {
    for (const FileProblem& problem : problems) {
        out << "              UNSAFE: " << printable(problem.line()) << '\n';
    }
}

nlohmann::ordered_json fileProblemsJson(const std::vector<FileProblem>& problems) {
    auto json = nlohmann::ordered_json::array();
    for (const FileProblem& problem : problems) {
        json.push_back({{"problem", problem.what}, {"fix", problem.fix}});
    }
    return json;
}

nlohmann::ordered_json lastRunJson(const LastRun& last) {
    using Json = nlohmann::ordered_json;
    return {
        {"file", last.file.string()},
        {"error", last.run ? Json(nullptr) : Json(last.error)},
        {"armingFailed", last.armingFailed()},
        {"run", last.run ? Json::parse(runRecordJson(*last.run)) : Json(nullptr)},
    };
}

}  // namespace

ExitStatus StatusReport::verdict() const {
    if (systemKeychainDamage) {
        return ExitStatus::systemKeychainDamaged;
    }
    if (keychainError) {
        return ExitStatus::keychainUnreadable;
    }
    if (!keychainFiles.empty()) {
        return ExitStatus::keychainFilesUnsafe;
    }
    if (!credential) {
        return ExitStatus::notEnrolled;
    }
    if (passwordCheck && passwordCheck->kind() != LocalPasswordResult::Case::success) {
        return ExitStatus::passwordInvalid;
    }
    if (!toolPresent || toolUnsafe) {
        return ExitStatus::toolMissing;
    }
    if (lastRun.armingFailed()) {
        return ExitStatus::lastArmingFailed;
    }
    return ExitStatus::ok;
}

std::string StatusReport::problem() const {
    const ExitStatus status = verdict();
    if (status == ExitStatus::toolMissing && toolPresent && toolUnsafe) {
        return "restart tool unsafe: " + printable(*toolUnsafe);
    }
    // The exact cause, with its fix, where one is known.
    if ((status == ExitStatus::systemKeychainDamaged ||
         status == ExitStatus::keychainFilesUnsafe) &&
        !keychainFiles.empty()) {
        return problemWords(status) + ": " + printable(keychainFiles.front().line());
    }
    if (status == ExitStatus::lastArmingFailed) {
        return problemWords(status) + ": " + describeToolRun(*lastRun.run->tool);
    }
    return problemWords(status);
}

StatusReport checkStatus(const Services& services) {
    const Context& ctx = services.context;
    StatusReport report;
    report.keychainPath = services.systemKeychainPath;
    report.toolPath = ctx.fdesetupPath;
    report.toolPresent = isExecutableFile(ctx.fdesetupPath);
    // The check lockstepd makes before it starts the tool.
    if (ProgramTrust trust = checkRootOwnedProgram(ctx.fdesetupPath);
        trust.verdict == ProgramTrust::Verdict::untrusted) {
        report.toolUnsafe = std::move(trust.reason);
    }
    if (services.restart.armed) {
        report.restartArmed = services.restart.armed();
    }
    if (services.restart.unsupportedReason) {
        report.restartUnsupported = services.restart.unsupportedReason();
    }
    report.lastRun = readLastRun(ctx.runRecordPath);
    report.keychainFiles = checkKeychainFiles(report.keychainPath);

    // The keychain lockstepd would read: the System keychain, opened as the
    // daemon opens it (read only; a missing one is not created), or the
    // user's when the System keychain is damaged.
    report.credentialKeychainPath = report.keychainPath;
    std::error_code error;
    if (fs::symlink_status(report.keychainPath, error).type() == fs::file_type::not_found) {
        return report;
    }
    report.keychainExists = true;
    SecKeychainRef keychain;
    if (const OSStatus status =
            ctx.keychain.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain);
        status != errSecSuccess || !keychain) {
        if (status != errSecInvalidKeychain && status != errSecAuthFailed) {
            // The keychain service reports a refused permission as an I/O
            // error; it deserves its own words.
            const bool refused =
                ::access(report.keychainPath.c_str(), R_OK) != 0 && errno == EACCES;
            report.keychainError =
                "cannot open " + printable(report.keychainPath.string()) + ": " +
                (refused ? std::string("permission denied (run lockstepctl as root)")
                         : describeStatus(status));
            report.systemKeychainStatus = status;
            return report;
        }
        report.systemKeychainDamage = describeStatus(status);
        report.systemKeychainStatus = status;
        keychain.reset();
        if (!services.userKeychainPath) {
            return report;
        }
        report.credentialKeychainPath = *services.userKeychainPath;
        report.credentialInUserKeychain = true;
        if (fs::symlink_status(report.credentialKeychainPath, error).type() ==
            fs::file_type::not_found) {
            return report;
        }
    }

    std::vector<KeychainItemInfo> items;
    std::string why;
    if (!readKeychainItems(report.credentialKeychainPath, &items, &why)) {
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

    // The daemon's own lookup (no keychain: the user's default), so the
    // verdict is about the credential it would hand to the restart tool.
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
    if (report.systemKeychainDamage) {
        out << ": DAMAGED: " << *report.systemKeychainDamage << '\n';
        out << "              lockstepd looks in the user keychain "
            << printable(report.credentialKeychainPath.string()) << " instead";
        if (report.keychainError) {
            out << ": UNREADABLE: " << *report.keychainError;
        }
    } else if (report.keychainError) {
        out << ": UNREADABLE: " << *report.keychainError;
    } else if (!report.keychainExists) {
        out << " (none yet)";
    }
    out << '\n';
    printKeychainFiles(report.keychainFiles, out);

    out << "enrolled:     ";
    if (const auto& credential = report.credential) {
        out << "yes, account \"" << printable(credential->account) << "\""
            << (credential->hasAccount ? "" : " (no account attribute)") << ", stored "
            << formatTime(credential->stored) << '\n';
        out << "held in:      "
            << (report.credentialInUserKeychain
                    ? "the user keychain " + printable(report.credentialKeychainPath.string())
                    : std::string("the System keychain"))
            << '\n';
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

    out << "restart tool: " << printable(report.toolPath.string());
    if (!report.toolPresent) {
        out << ": MISSING or not executable\n";
    } else if (report.toolUnsafe) {
        out << ": UNSAFE, lockstepd refuses to run it: " << printable(*report.toolUnsafe) << '\n';
    } else {
        out << " is present\n";
    }
    out << "restart:      "
        << (!report.restartArmed   ? "cannot be armed on this kernel (no kexec)"
            : *report.restartArmed ? "armed"
                                   : "not armed")
        << (report.restartUnsupported
                ? "; the tool cannot arm one here: " + printable(*report.restartUnsupported)
                : std::string())
        << '\n';

    printLastRun(report.lastRun, out);

    out << "status:       " << report.problem() << '\n';
}

void printStatusJson(const StatusReport& report, std::ostream& out) {
    using Json = nlohmann::ordered_json;
    const ExitStatus verdict = report.verdict();
    Json json;
    json["ready"] = verdict == ExitStatus::ok;
    json["exitStatus"] = static_cast<int>(verdict);
    json["problem"] = verdict == ExitStatus::ok ? Json(nullptr) : Json(report.problem());
    json["keychain"] = {
        {"path", report.keychainPath.string()},
        {"exists", report.keychainExists},
        {"readable", report.keychainExists && !report.systemKeychainDamage &&
                         !(report.keychainError && !report.credentialInUserKeychain)},
        {"damaged", report.systemKeychainDamage.has_value()},
        {"error", report.systemKeychainDamage ? Json(*report.systemKeychainDamage)
                  : report.keychainError && !report.credentialInUserKeychain
                      ? Json(*report.keychainError)
                      : Json(nullptr)},
        {"status", report.systemKeychainStatus},
        {"fileProblems", fileProblemsJson(report.keychainFiles)},
    };
    json["credentialKeychain"] = {
        {"kind", report.credentialInUserKeychain ? "user" : "System"},
        {"path", report.credentialKeychainPath.string()},
        {"error", report.keychainError && report.credentialInUserKeychain
                      ? Json(*report.keychainError)
                      : Json(nullptr)},
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
        {"safe", !report.toolUnsafe.has_value()},
        {"unsafeBecause", report.toolUnsafe ? Json(*report.toolUnsafe) : Json(nullptr)},
        {"supported", !report.restartUnsupported.has_value()},
        {"unsupportedReason",
         report.restartUnsupported ? Json(*report.restartUnsupported) : Json(nullptr)},
    };
    json["restartArmed"] = report.restartArmed ? Json(*report.restartArmed) : Json(nullptr);
    json["lastRun"] = lastRunJson(report.lastRun);
    // Attributes come from the keychain file: bytes that are not UTF-8 are
    // replaced rather than stopping the output.
    out << json.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

}  // namespace lockstep::ctl
