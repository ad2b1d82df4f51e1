#include "daemon/password_daemon.h"

#include <filesystem>
#include <ostream>
#include <string_view>

#include "account/password_utils.h"
#include "daemon/run_record.h"
#include "filevault/fdesetup_helper.h"
#include "keychain/keychain_util.h"
#include "log/log.h"
#include "secrets/secret_keeper.h"

namespace lockstep {

namespace {

constexpr std::string_view kServiceName = "Lockstep";
constexpr std::string_view kSecretsFolder = "/usr/local/var/meridale";
constexpr std::string_view kSecretKeeperLabel = "SecretKeeper";
constexpr std::string_view kFunctionName = "run()";
// Stands for the password on the enrolment line, whatever its length, so the
// password itself is never printed.
constexpr std::string_view kMaskedPassword = "********";

void printLine(std::ostream& out, std::string_view text) {
    out << text << '\n';
    out.flush();
}

// The System keychain from the secret store, or none when the store or the
// keychain cannot be had: the caller then goes on with the user's default
// keychain. The reason is logged, so that a damaged or unreadable System
// keychain does not go unnoticed.
SecKeychainRef obtainKeychain(const Context& context) {
    try {
        const SecretKeeper keeper(context.keychain, std::string(kSecretKeeperLabel),
                                  std::string(kSecretKeeperLabel),
                                  std::filesystem::path(kSecretsFolder));
        return keeper.systemKeychain();
    } catch (const SecretKeeperError& error) {
        LOCKSTEP_LOG_ERROR(std::string("System keychain not available: ") + error.what(),
                           kFunctionName);
        return nullptr;
    }
}

RunOutcome::Result resultFor(const LocalPasswordResult& result) {
    switch (result.kind()) {
        case LocalPasswordResult::Case::incorrectPassword:
            return RunOutcome::Result::incorrectPassword;
        case LocalPasswordResult::Case::accountDoesNotExist:
            return RunOutcome::Result::accountDoesNotExist;
        case LocalPasswordResult::Case::accountLocked:
            return RunOutcome::Result::accountLocked;
        case LocalPasswordResult::Case::otherError:
        case LocalPasswordResult::Case::success:
            break;
    }
    return RunOutcome::Result::otherError;
}

RunOutcome::Keychain keychainUsed(const Context& context, const SecKeychainRef& keychain) {
    return {.system = keychain != nullptr, .path = context.keychain.keychainFile(keychain)};
}

std::string_view lineFor(const LocalPasswordResult& result) {
    switch (result.kind()) {
        case LocalPasswordResult::Case::incorrectPassword:
            return "incorrect password";
        case LocalPasswordResult::Case::accountDoesNotExist:
            return "account Does Not Exist";
        case LocalPasswordResult::Case::accountLocked:
            return "account locked";
        case LocalPasswordResult::Case::otherError:
        case LocalPasswordResult::Case::success:
            break;
    }
    return "other error";
}

// Verifies the password and replaces the stored credential. True when the
// run goes on into the plain path.
bool enrol(const Context& context, const std::string& user, std::string_view password,
           std::ostream& out, RunOutcome& outcome) {
    printLine(out, user + " " + std::string(kMaskedPassword));

    const LocalPasswordResult result = PasswordUtils::isLocalPasswordValid(context, user, password);
    if (result.kind() != LocalPasswordResult::Case::success) {
        outcome.result = resultFor(result);
        outcome.resultLine = lineFor(result);
        printLine(out, outcome.resultLine);
        return false;
    }

    const SecKeychainRef keychain = obtainKeychain(context);
    outcome.keychain = keychainUsed(context, keychain);
    if (!KeychainUtil::updatePassword(context, kServiceName, user, password, "", keychain)) {
        outcome.result = RunOutcome::Result::passwordSetFailed;
        outcome.resultLine = "password set failed";
        printLine(out, outcome.resultLine);
        return false;
    }
    return true;
}

void armRestart(const Context& context, std::ostream& out, RunOutcome& outcome) {
    SecKeychainRef keychain = obtainKeychain(context);
    outcome.keychain = keychainUsed(context, keychain);
    outcome.result = RunOutcome::Result::noCredential;
    const auto item = KeychainUtil::findPassword(context, kServiceName, std::nullopt, keychain);
    if (!item) {
        return;
    }
    outcome.account = item->username;
    ToolRun& tool = outcome.tool.emplace();
    outcome.armed =
        FDESetupHelper::filevaultAuth(item->username, item->passwordText(), context.fdesetupPath,
                                      context.toolLimits.value_or(kToolLimits), &tool);
    outcome.result = outcome.armed ? RunOutcome::Result::armed : RunOutcome::Result::notArmed;
    outcome.resultLine = outcome.armed ? "Successfully authenticated with FileVault"
                                       : "Failed to authenticate with FileVault";
    LOCKSTEP_LOG_DEBUG(outcome.resultLine, kFunctionName);
    printLine(out, outcome.resultLine);
}

// Enrolment when --set-user, --user and --password are all given, then (or
// otherwise) the plain path.
void takePath(const PasswordDaemon& command, const Context& context, std::ostream& out,
              RunOutcome& outcome) noexcept {
    try {
        if (command.setUser && command.user && command.password) {
            outcome.enrolment = true;
            outcome.account = *command.user;
            if (!enrol(context, *command.user, command.password->view(), out, outcome)) {
                return;
            }
        }
        armRestart(context, out, outcome);
    } catch (const std::exception&) {
        // Every layer below reports its failures itself; nothing may end the
        // process with anything but status 0 from here.
    }
}

}  // namespace

RunOutcome PasswordDaemon::perform(const Context& context, std::ostream& out) const noexcept {
    RunOutcome outcome;
    outcome.time = std::chrono::system_clock::now();
    takePath(*this, context, out, outcome);
    if (!context.runRecordPath.empty()) {
        std::string why;
        if (!writeRunRecord(context.runRecordPath, outcome, &why)) {
            LOCKSTEP_LOG_ERROR(
                "Cannot record the run in " + context.runRecordPath.string() + ": " + why,
                kFunctionName);
        }
    }
    return outcome;
}

}  // namespace lockstep
