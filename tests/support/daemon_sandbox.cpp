#include "support/daemon_sandbox.h"

#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <system_error>

#include "platform/process.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

namespace {

const std::filesystem::path kSandboxRun = LOCKSTEP_SOURCE_DIR "/scripts/sandbox-run";
const std::filesystem::path kStandIn = LOCKSTEP_TEST_HELPERS_DIR "/fake_fdesetup";

std::filesystem::path makeFolder() {
    std::string pattern = "/var/tmp/lockstep-sandbox-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

std::optional<std::string> DaemonSandbox::unavailableReason() {
    static const std::optional<std::string> reason = []() -> std::optional<std::string> {
        if (::geteuid() != 0) {
            return "needs root to make a private mount namespace";
        }
        auto spawned = spawnProcess({.program = "/usr/bin/unshare",
                                     .arguments = {"--mount", "--propagation", "private", "true"},
                                     .output = ChildStream::Null,
                                     .error = ChildStream::Null});
        if (!spawned.process) {
            return "unshare cannot be started: " + spawned.errorDescription();
        }
        const auto status = spawned.process->wait();
        if (!status || !status->success()) {
            return "this machine refuses a private mount namespace";
        }
        return std::nullopt;
    }();
    return reason;
}

DaemonSandbox::DaemonSandbox() : path_(makeFolder()) {
    accounts_.emplace(path_);
    accounts_->addUser(TestUser{.name = "root",
                                .uid = 0,
                                .gid = 0,
                                .password = "root-password",
                                .home = "/root",
                                .shell = "/bin/bash"});
    accounts_->addGroup("root", 0);
    accounts_->write();
    std::filesystem::create_directories(path_ / "usr-bin");
}

DaemonSandbox::~DaemonSandbox() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void DaemonSandbox::setPreferences(const std::string& dictionaryBody) {
    writeFile(path_ / "etc" / "lockstep" / "lockstepd.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" +
                  dictionaryBody + "\n</dict>\n</plist>\n");
}

void DaemonSandbox::installFdesetup() {
    std::filesystem::copy_file(kStandIn, path_ / "usr-bin" / "fdesetup",
                               std::filesystem::copy_options::overwrite_existing);
}

void DaemonSandbox::removeFdesetup() {
    std::error_code ignored;
    std::filesystem::remove(path_ / "usr-bin" / "fdesetup", ignored);
}

std::optional<std::vector<std::string>> DaemonSandbox::fdesetupArguments() const {
    const auto file = path_ / "fdesetup-record.args";
    if (!std::filesystem::exists(file)) {
        return std::nullopt;
    }
    std::vector<std::string> arguments;
    const std::string all = readFile(file);
    std::size_t start = 0;
    while (start < all.size()) {
        const auto end = all.find('\0', start);
        arguments.push_back(all.substr(start, end - start));
        start = end == std::string::npos ? all.size() : end + 1;
    }
    return arguments;
}

std::optional<std::string> DaemonSandbox::fdesetupInput() const {
    const auto file = path_ / "fdesetup-record.stdin";
    if (!std::filesystem::exists(file)) {
        return std::nullopt;
    }
    return readFile(file);
}

std::filesystem::path DaemonSandbox::systemKeychain() const {
    return path_ / "var-lib" / "lockstep" / "System.keychain";
}

std::filesystem::path DaemonSandbox::logFolder() const { return path_ / "tmp" / "lockstep"; }

std::filesystem::path DaemonSandbox::etcFolder() const { return path_ / "etc"; }

DaemonSandbox::Result DaemonSandbox::run(const std::vector<std::string>& arguments,
                                         const std::map<std::string, std::string>& environment) {
    std::vector<std::string> command = {path_.string(), "/usr/bin/env"};
    command.push_back("FAKE_FDESETUP_RECORD=" + (path_ / "fdesetup-record").string());
    for (const auto& [name, value] : environment) {
        command.push_back(name + "=" + value);
    }
    command.push_back(LOCKSTEPD_BINARY);
    command.insert(command.end(), arguments.begin(), arguments.end());

    auto spawned = spawnProcess({.program = kSandboxRun.string(),
                                 .arguments = command,
                                 .input = ChildStream::Null,
                                 .output = ChildStream::Pipe,
                                 .error = ChildStream::Pipe});
    if (!spawned.process) {
        throw std::runtime_error("sandbox-run cannot be started: " + spawned.errorDescription());
    }
    const ProcessOutput output = spawned.process->communicate();
    const auto status = spawned.process->wait();
    Result result;
    result.exitCode = status && status->exited ? status->code : -1;
    result.out = text(output.output);
    result.err = text(output.error);
    return result;
}

}  // namespace lockstep::testing
