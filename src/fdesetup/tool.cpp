#include "fdesetup/tool.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "account/password_utils.h"
#include "fdesetup/arming.h"
#include "fdesetup/luks.h"
#include "fdesetup/request.h"

namespace lockstep::fde {

namespace {

constexpr std::string_view kUsage =
    "Usage: fdesetup <command> [options]\n"
    "\n"
    "Commands:\n"
    "  authrestart [-delayminutes N] [-inputplist]\n"
    "                        check an account's password against every volume the\n"
    "                        initramfs unlocks and arm the next restart to unlock\n"
    "                        them (N = -1: arm only; 0, the default: restart now;\n"
    "                        N > 0: restart in N minutes)\n"
    "  supportsauthrestart [-verbose]\n"
    "                        \"true\" when an authenticated restart is possible here\n"
    "  status                whether the disk is encrypted, its volumes, and whether\n"
    "                        an authenticated restart is armed\n"
    "  isactive              exit status 0 when the disk is encrypted, 1 when not\n"
    "  list                  the enabled accounts, one \"name,keyslot\" a line\n"
    "  add -usertoadd NAME [-inputplist]\n"
    "                        enable an account: a keyslot for its login password\n"
    "  remove -user NAME     disable an account: remove its keyslot\n"
    "  restartarmed          boot the armed kernel now (systemd-shutdown's hook)\n"
    "\n"
    "Options:\n"
    "  -h, --help            show this help\n"
    "\n"
    "Passwords are read from standard input (-inputplist: a property list with\n"
    "Username and Password) or typed at the terminal, never from arguments.\n";

struct Options {
    std::string command;
    std::optional<int> delayMinutes;
    bool inputPlist = false;
    bool verbose = false;
    std::optional<std::string> userToAdd;
    std::optional<std::string> user;
    bool help = false;
};

struct Usage {
    std::string message;
};

std::optional<Usage> parse(const std::vector<std::string>& arguments, Options& options) {
    static const std::set<std::string, std::less<>> kCommands = {
        "authrestart", "supportsauthrestart", "status", "isactive", "list", "add",
        "remove",      "restartarmed"};
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= arguments.size()) {
                return std::nullopt;
            }
            return arguments[++i];
        };
        if (argument == "-h" || argument == "--help" || argument == "-help" || argument == "help") {
            options.help = true;
        } else if (options.command.empty() && kCommands.contains(argument)) {
            options.command = argument;
        } else if (options.command.empty()) {
            return Usage{argument.starts_with('-') ? "unknown option '" + argument + "'"
                                                   : "unknown command '" + argument + "'"};
        } else if (argument == "-delayminutes" && options.command == "authrestart") {
            const auto text = value();
            int minutes = 0;
            if (!text ||
                std::from_chars(text->data(), text->data() + text->size(), minutes).ec !=
                    std::errc() ||
                std::to_string(minutes) != *text || minutes < -1 || minutes > 24 * 60 * 365) {
                return Usage{"-delayminutes needs a number of minutes, -1 or more"};
            }
            options.delayMinutes = minutes;
        } else if (argument == "-inputplist" &&
                   (options.command == "authrestart" || options.command == "add")) {
            options.inputPlist = true;
        } else if (argument == "-verbose") {
            options.verbose = true;
        } else if (argument == "-usertoadd" && options.command == "add") {
            options.userToAdd = value();
            if (!options.userToAdd || options.userToAdd->empty()) {
                return Usage{"-usertoadd needs an account name"};
            }
        } else if (argument == "-user" && options.command == "remove") {
            options.user = value();
            if (!options.user || options.user->empty()) {
                return Usage{"-user needs an account name"};
            }
        } else {
            return Usage{"'" + argument + "' is not an option of " + options.command};
        }
    }
    if (options.help) {
        return std::nullopt;
    }
    if (options.command.empty()) {
        return Usage{"a command is required"};
    }
    if (options.command == "remove" && !options.user) {
        return Usage{"remove needs -user NAME"};
    }
    if (options.command == "add" && !options.userToAdd && !options.inputPlist) {
        return Usage{"add needs -usertoadd NAME or -inputplist"};
    }
    return std::nullopt;
}

// A name from the request as it may go into the log: control characters
// would let it forge lines.
std::string loggable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7F ? '?' : c;
    }
    return out;
}

std::string isoTime(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32] = {};
    static_cast<void>(std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc));
    return text;
}

class Runner {
  public:
    Runner(const Options& options, ToolEnvironment& env) : options_(options), env_(env) {}

    int fail(const std::string& reason) {
        env_.err << "Error: " << reason << "\n" << std::flush;
        return kExitFailure;
    }

    int run() {
        const std::string& command = options_.command;
        if (command == "status") {
            return status();
        }
        if (command == "isactive") {
            return isActive();
        }
        if (command == "supportsauthrestart") {
            return supportsAuthRestart();
        }
        if (!env_.root) {
            return fail("this command must be run as root.");
        }
        if (command == "authrestart") {
            return authRestart();
        }
        if (command == "list") {
            return list();
        }
        if (command == "restartarmed") {
            return restartArmed();
        }
        if (command == "add") {
            return add();
        }
        return remove();
    }

  private:
    std::optional<VolumeModel> model(std::string* problem) const {
        return readVolumeModel(env_.machine, problem);
    }

    int status() {
        std::string problem;
        const auto volumes = model(&problem);
        const bool on = volumes && volumes->rootEncrypted;
        env_.out << (on ? "FileVault is On." : "FileVault is Off.") << "\n";
        if (volumes) {
            for (const CrypttabEntry& entry : volumes->volumes) {
                const bool isRoot =
                    std::find(volumes->rootVolumes.begin(), volumes->rootVolumes.end(),
                              entry.name) != volumes->rootVolumes.end();
                env_.out << "Encrypted volume: " << entry.name << " (" << entry.source
                         << (isRoot ? ", root file system" : "") << ")\n";
            }
        }
        const auto loaded = kexecLoaded(env_.machine);
        if (!loaded) {
            env_.out << "Authenticated restart: not available (no kexec).\n";
        } else {
            env_.out << (*loaded ? "Authenticated restart: armed.\n"
                                 : "Authenticated restart: not armed.\n");
        }
        env_.out << std::flush;
        return kExitSuccess;
    }

    int isActive() {
        std::string problem;
        const auto volumes = model(&problem);
        const bool on = volumes && volumes->rootEncrypted;
        env_.out << (on ? "true" : "false") << "\n" << std::flush;
        return on ? kExitSuccess : kExitFailure;
    }

    int supportsAuthRestart() {
        std::string problem;
        const auto plan = planRestart(env_.machine, env_.release, env_.root, &problem);
        env_.out << (plan ? "true" : "false") << "\n";
        if (options_.verbose && !plan) {
            env_.out << problem << "\n";
        }
        env_.out << std::flush;
        return kExitSuccess;
    }

    int authRestart() {
        std::string problem;
        const auto plan = planRestart(env_.machine, env_.release, true, &problem);
        if (!plan) {
            return fail(problem + ".");
        }
        Credential credential;
        if (options_.inputPlist) {
            const auto input = readSecretInput(env_.inputFd, kMaxRequestBytes);
            if (!input) {
                return fail("the input property list cannot be read.");
            }
            auto request = parseInputPlist(*input, &problem);
            if (!request) {
                return fail(problem + ".");
            }
            if (!request->user || request->user->empty() || !request->hasPassword) {
                return fail("the input property list needs Username and Password.");
            }
            credential.user = std::move(*request->user);
            credential.password = std::move(request->password);
        } else {
            auto user = env_.askLine("Enter the user name:");
            if (!user || user->empty()) {
                return fail("no user name was given.");
            }
            credential.user = std::move(*user);
            auto password =
                env_.askSecret("Enter the password for user '" + credential.user + "':");
            if (!password) {
                return fail("no password was given.");
            }
            credential.password = std::move(*password);
        }
        const auto unlocked =
            authenticate(env_.machine, *plan, credential.user, credential.password, &problem);
        if (!unlocked) {
            return fail("Failed to authenticate: " + problem + ".");
        }
        LockedBuffer archive(16384 + plan->crypttab.size() * (kMaxPasswordBytes + 512) +
                             plan->info.cryptrootCrypttab->size() * 2);
        if (!archive.valid() || !buildKeyArchive(*plan, *unlocked, credential.password, archive)) {
            return fail("the key archive cannot be built in locked memory.");
        }
        if (auto reason = loadRestart(env_.machine, *plan, archive, env_.kexec)) {
            return fail(*reason + ".");
        }
        std::string names;
        for (const UnlockedVolume& volume : *unlocked) {
            names += (names.empty() ? "" : ", ") + volume.name + " (keyslot " +
                     std::to_string(volume.keyslot) + ")";
        }
        env_.log("authenticated restart armed for " + loggable(credential.user) + " at " +
                 isoTime(env_.now()) + ": volumes " + (names.empty() ? "none" : names) +
                 "; kernel " + plan->kernelPath + "; initramfs " + plan->initrdPath + " (" +
                 std::string(builderName(plan->info.builder)) + ", " +
                 std::string(compressionName(plan->info.compression)) + ")");
        const int delay = options_.delayMinutes.value_or(0);
        if (delay == 0) {
            if (!env_.runCommand({"/usr/bin/systemctl", "kexec"})) {
                return fail("the restart is armed, but `systemctl kexec` failed.");
            }
        } else if (delay > 0) {
            if (!env_.runCommand({"/usr/sbin/shutdown", "-r", "+" + std::to_string(delay)})) {
                return fail("the restart is armed, but it could not be scheduled.");
            }
        }
        return kExitSuccess;
    }

    // Run by systemd-shutdown's hook at the very end of a reboot: the file
    // systems are read-only and the service manager is gone, so the kernel
    // is asked straight away.
    int restartArmed() {
        if (!kexecLoaded(env_.machine).value_or(false)) {
            return fail("no authenticated restart is armed.");
        }
        env_.log("restarting into the armed kernel");
        const int error = env_.kexec.execute();
        return fail(std::string("the kernel refused to boot the armed kernel: ") +
                    std::strerror(error) + ".");
    }

    // The LUKS volumes of the model, opened; nothing (after the error line)
    // when one cannot be.
    std::optional<std::vector<std::pair<CrypttabEntry, LuksVolume>>> openVolumes(int* exit) {
        std::string problem;
        const auto volumes = model(&problem);
        if (!volumes) {
            *exit = fail(problem + ".");
            return std::nullopt;
        }
        if (!volumes->rootEncrypted) {
            *exit = fail("FileVault is Off.");
            return std::nullopt;
        }
        std::vector<std::pair<CrypttabEntry, LuksVolume>> opened;
        for (const CrypttabEntry& entry : volumes->volumes) {
            const auto device = sourceDevice(env_.machine, entry.source);
            auto volume = device ? LuksVolume::open(*device, &problem) : std::nullopt;
            if (!volume) {
                *exit = fail(entry.name + ": " + (device ? problem : "no device") + ".");
                return std::nullopt;
            }
            opened.emplace_back(entry, std::move(*volume));
        }
        return opened;
    }

    int list() {
        int exit = kExitFailure;
        const auto volumes = openVolumes(&exit);
        if (!volumes) {
            return exit;
        }
        std::set<std::string> printed;
        for (const auto& [entry, volume] : *volumes) {
            for (const EnabledUser& user : volume.enabledUsers()) {
                const std::string line = user.name + "," + std::to_string(user.keyslot);
                if (printed.insert(line).second) {
                    env_.out << line << "\n";
                }
            }
        }
        env_.out << std::flush;
        return kExitSuccess;
    }

    static std::string_view verdictText(const LocalPasswordResult& result) {
        switch (result.kind()) {
            case LocalPasswordResult::Case::success:
                return "";
            case LocalPasswordResult::Case::incorrectPassword:
                return "the password is not correct";
            case LocalPasswordResult::Case::accountDoesNotExist:
                return "there is no such local account";
            case LocalPasswordResult::Case::accountLocked:
                return "the account is locked";
            case LocalPasswordResult::Case::otherError:
                break;
        }
        return "the password cannot be checked";
    }

    int add() {
        std::vector<Credential> toAdd;
        LockedBuffer existing;
        if (options_.inputPlist) {
            std::string problem;
            const auto input = readSecretInput(env_.inputFd, kMaxRequestBytes);
            auto request = input ? parseInputPlist(*input, &problem) : std::nullopt;
            if (!request) {
                return fail(input ? problem + "." : "the input property list cannot be read.");
            }
            if (!request->hasPassword) {
                return fail(
                    "the input property list needs the Password of an existing "
                    "passphrase.");
            }
            existing = std::move(request->password);
            for (Credential& user : request->additionalUsers) {
                if (!options_.userToAdd || user.user == *options_.userToAdd) {
                    toAdd.push_back(std::move(user));
                }
            }
        } else {
            auto passphrase = env_.askSecret("Enter a passphrase that unlocks the disk:");
            if (!passphrase) {
                return fail("no passphrase was given.");
            }
            existing = std::move(*passphrase);
        }
        if (toAdd.empty() && options_.userToAdd) {
            auto password =
                env_.askSecret("Enter the password for user '" + *options_.userToAdd + "':");
            if (!password) {
                return fail("no password was given for " + *options_.userToAdd + ".");
            }
            toAdd.push_back({*options_.userToAdd, std::move(*password)});
        }
        if (toAdd.empty()) {
            return fail("no account to add.");
        }
        for (const Credential& user : toAdd) {
            const LocalPasswordResult verdict =
                PasswordUtils::isLocalPasswordValid(env_.accounts, user.user, user.password.view());
            if (verdict.kind() != LocalPasswordResult::Case::success) {
                return fail(user.user + ": " + std::string(verdictText(verdict)) + ".");
            }
        }
        int exit = kExitFailure;
        auto volumes = openVolumes(&exit);
        if (!volumes) {
            return exit;
        }
        // Every volume must open with the passphrase before any is changed.
        for (const auto& [entry, volume] : *volumes) {
            if (!volume.openingKeyslot(existing)) {
                return fail("the passphrase does not open " + entry.name + ".");
            }
        }
        for (auto& [entry, volume] : *volumes) {
            for (const Credential& user : toAdd) {
                std::string problem;
                const auto slot = volume.addUser(user.user, existing, user.password, &problem);
                if (!slot) {
                    return fail(entry.name + ": " + problem + ".");
                }
                env_.log("enabled " + user.user + " on " + entry.name + " (keyslot " +
                         std::to_string(*slot) + ")");
            }
        }
        return kExitSuccess;
    }

    int remove() {
        int exit = kExitFailure;
        auto volumes = openVolumes(&exit);
        if (!volumes) {
            return exit;
        }
        const std::string& name = *options_.user;
        bool found = false;
        // Refused everywhere before anything is removed anywhere.
        for (const auto& [entry, volume] : *volumes) {
            if (volume.enabledUser(name)) {
                found = true;
                if (volume.activeKeyslots().size() <= 1) {
                    return fail("cannot remove " + name + " from " + entry.name +
                                ": it is the last keyslot that opens the volume.");
                }
            }
        }
        if (!found) {
            return fail(name + " is not enabled.");
        }
        for (auto& [entry, volume] : *volumes) {
            if (!volume.enabledUser(name)) {
                continue;
            }
            std::string problem;
            if (!volume.removeUser(name, &problem)) {
                std::string message = "cannot remove " + name;
                message.append(" from ")
                    .append(entry.name)
                    .append(": ")
                    .append(problem)
                    .append(".");
                return fail(message);
            }
            env_.log("disabled " + name + " on " + entry.name);
        }
        return kExitSuccess;
    }

    const Options& options_;
    ToolEnvironment& env_;
};

}  // namespace

int runTool(const std::vector<std::string>& arguments, ToolEnvironment& env) {
    Options options;
    if (const auto usage = parse(arguments, options)) {
        env.err << "Error: " << usage->message << "\n\n" << kUsage << std::flush;
        return kExitUsage;
    }
    if (options.help) {
        env.out << kUsage << std::flush;
        return kExitSuccess;
    }
    quietCryptsetup();
    if (options.command != "add" && options.command != "remove") {
        readOnlyCryptsetup();
    }
    return Runner(options, env).run();
}

}  // namespace lockstep::fde
