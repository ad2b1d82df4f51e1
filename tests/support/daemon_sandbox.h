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

    // Why the sandbox cannot be made on this machine; nothing when it can.
    [[nodiscard]] static std::optional<std::string> unavailableReason();

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    // The account files seen as /etc/passwd, /etc/shadow, /etc/group and
    // /etc/gshadow. Holds root already; call accounts().write() after adding.
    [[nodiscard]] TestDirectory& accounts() { return *accounts_; }

    // The text of /etc/shadow with the user's password changed, to write in
    // its place (setPassword) or to mount over it for one daemon only.
    [[nodiscard]] std::string shadowWithPassword(const std::string& user,
                                                 const std::string& password) const;
    void setPassword(const std::string& user, const std::string& password);

    // Writes /etc/lockstep/lockstepd.plist with the given dictionary body
    // (XML property-list keys and values).
    void setPreferences(const std::string& dictionaryBody);

    // Puts the stand-in restart tool at /usr/bin/fdesetup, owned by root and
    // mode 0755 (or removes it).
    void installFdesetup();
    void removeFdesetup() { std::filesystem::remove(fdesetupFile()); }
    // Where it lies, seen from outside the namespace.
    [[nodiscard]] std::filesystem::path fdesetupFile() const { return path_ / "usr-bin/fdesetup"; }
    // What the stand-in recorded on its last run: "args" and "env" (each
    // entry NUL-terminated), "stdin" (the request), ...; nothing before.
    [[nodiscard]] std::optional<std::string> fdesetupRecord(const std::string& what) const;
    [[nodiscard]] std::optional<std::string> fdesetupInput() const {
        return fdesetupRecord("stdin");
    }

    // Where the daemon's files land, seen from outside the namespace.
    [[nodiscard]] std::filesystem::path systemKeychain() const {
        return path_ / "var-lib/lockstep/System.keychain";
    }
    [[nodiscard]] std::filesystem::path logFolder() const { return path_ / "tmp/lockstep"; }

    struct Result {
        int exitCode = -1;
        std::string out;
        std::string err;
    };
    // Runs lockstepd with the arguments; `environment` adds variables for the
    // stand-in tool (FAKE_FDESETUP_END and the like).
    Result run(const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment = {});

    // Runs a bash script (errexit on) in the namespace instead, for several
    // steps or several daemons in one namespace. It finds the daemon in
    // $LOCKSTEPD (and lockstepctl in $LOCKSTEPCTL), this sandbox's folder in $SANDBOX, the
    // variables given here in its environment, and the stand-in's record prefix already set.
    Result runScript(const std::string& script,
                     const std::map<std::string, std::string>& environment = {});

    // Later runs see a fresh tmpfs of this size (e.g. "256k") at
    // /var/lib/lockstep, in place of SANDBOX/var-lib/lockstep; nothing: the
    // folder itself again.
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

// A keychain file as the daemon finds it: opened through the keychain service
// (which first rolls back what a killed process left half done), then checked
// by SQLite's integrity check.
struct KeychainContents {
    struct Item {
        std::string service;
        std::optional<std::string> account;
        std::string password;
        // The item's access list, each entry written out in full.
        std::string acl;
        bool operator==(const Item&) const = default;
    };
    int openStatus = 0;       // of SecKeychainCopyDomainDefault
    std::string integrity;    // "ok" when intact
    std::vector<Item> items;  // oldest first

    [[nodiscard]] std::vector<Item> itemsOf(std::string_view account) const;
};

// Reads a keychain file, as a lookup of the daemon would: nothing is created.
[[nodiscard]] KeychainContents readKeychain(const std::filesystem::path& file);

}  // namespace lockstep::testing
