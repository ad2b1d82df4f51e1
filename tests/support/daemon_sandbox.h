#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/directory_fixture.h"

namespace lockstep::testing {

// Runs the real lockstepd binary in a private mount namespace (see
// scripts/sandbox-run) whose /etc account files, /usr/bin/fdesetup,
// /var/lib, /root and /tmp are this sandbox's own, under a fresh folder in
// /var/tmp. Needs root; unavailableReason() says why not otherwise.
class DaemonSandbox {
  public:
    DaemonSandbox();
    ~DaemonSandbox();
    DaemonSandbox(const DaemonSandbox&) = delete;
    DaemonSandbox& operator=(const DaemonSandbox&) = delete;

    [[nodiscard]] static std::optional<std::string> unavailableReason();

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    // The account files seen as /etc/passwd, /etc/shadow, ...; holds root
    // already. Call accounts().write() after adding.
    [[nodiscard]] TestDirectory& accounts() { return *accounts_; }
    void setPassword(const std::string& user, const std::string& password);
    // Writes /etc/lockstep/lockstepd.plist with this dictionary body.
    void setPreferences(const std::string& dictionaryBody);

    // Puts the stand-in restart tool at /usr/bin/fdesetup, root's, mode 0755.
    void installFdesetup();
    [[nodiscard]] std::filesystem::path fdesetupFile() const { return path_ / "usr-bin/fdesetup"; }
    // What the stand-in recorded on its last run: "args", "env", "stdin", ...
    [[nodiscard]] std::optional<std::string> fdesetupRecord(const std::string& what) const;

    [[nodiscard]] std::filesystem::path systemKeychain() const {
        return path_ / "var-lib/lockstep/System.keychain";
    }

    struct Result {
        int exitCode = -1;
        std::string out;
        std::string err;
    };
    // Runs lockstepd; `environment` steers the stand-in tool.
    Result run(const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment = {});
    // Runs a bash script (errexit on) in the namespace, which finds $LOCKSTEPD,
    // $LOCKSTEPCTL, this sandbox's folder in $SANDBOX and `environment`.
    Result runScript(const std::string& script,
                     const std::map<std::string, std::string>& environment = {});

    // Later runs see a fresh tmpfs of this size at /var/lib/lockstep.
    void setKeychainTmpfs(std::optional<std::string> size) { keychainTmpfs_ = std::move(size); }
    // Later runs see /root read only, as the service unit leaves it at boot.
    void setReadOnlyHome(bool readOnly) { readOnlyHome_ = readOnly; }

  private:
    Result runInNamespace(std::vector<std::string> command,
                          const std::map<std::string, std::string>& environment);

    std::filesystem::path path_;
    std::optional<TestDirectory> accounts_;
    std::optional<std::string> keychainTmpfs_;
    bool readOnlyHome_ = false;
};

// A keychain file as the daemon finds it: opened through the keychain service,
// which first rolls back what a killed process left half done.
struct KeychainContents {
    struct Item {
        std::string service;
        std::optional<std::string> account;
        std::string password;
        bool operator==(const Item&) const = default;
    };
    int openStatus = 0;
    std::vector<Item> items;  // oldest first
    bool operator==(const KeychainContents&) const = default;
};

// Reads a keychain file, as a lookup of the daemon would: nothing is created.
[[nodiscard]] KeychainContents readKeychain(const std::filesystem::path& file);

}  // namespace lockstep::testing
