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

    // Writes /etc/lockstep/lockstepd.plist with the given dictionary body
    // (XML property-list keys and values).
    void setPreferences(const std::string& dictionaryBody);

    // Puts the stand-in restart tool at /usr/bin/fdesetup (or removes it).
    void installFdesetup();
    void removeFdesetup();

    // What the stand-in received on its last run.
    [[nodiscard]] std::optional<std::vector<std::string>> fdesetupArguments() const;
    [[nodiscard]] std::optional<std::string> fdesetupInput() const;

    // Where the daemon's files land, seen from outside the namespace.
    [[nodiscard]] std::filesystem::path systemKeychain() const;
    [[nodiscard]] std::filesystem::path logFolder() const;  // /tmp/lockstep
    [[nodiscard]] std::filesystem::path etcFolder() const;  // upper layer of /etc

    struct Result {
        int exitCode = -1;
        std::string out;
        std::string err;
    };
    // Runs lockstepd with the arguments; `environment` adds variables for the
    // stand-in tool (FAKE_FDESETUP_END and the like).
    Result run(const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment = {});

private:
    std::filesystem::path path_;
    std::optional<TestDirectory> accounts_;
};

}  // namespace lockstep::testing
