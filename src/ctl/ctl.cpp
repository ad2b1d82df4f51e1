#include "ctl/ctl.h"

#include <CLI/CLI.hpp>
#include <cstring>
#include <exception>
#include <ostream>

#include "build_config.h"
#include "ctl/commands.h"

namespace lockstep::ctl {

namespace {

constexpr std::string_view kProgram = "lockstepctl";

// One line: line breaks in a message would make several.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

int finish(const CommandResult& result, std::ostream& err) {
    if (!result.error.empty()) {
        err << kProgram << ": " << oneLine(result.error) << '\n';
    }
    return static_cast<int>(result.status);
}

struct Options {
    bool json = false;
    std::optional<std::string> keychain;
    std::string service;
    std::optional<std::string> account;
};

}  // namespace

int run(const std::vector<std::string>& arguments, const Services& services, std::ostream& out,
        std::ostream& err) noexcept {
    try {
        Options options;
        CLI::App app{
            "Looks after the Lockstep credential of this machine: whether a restart can be "
            "armed, the keychain items (never their secrets), and removing the credential.",
            std::string(kProgram)};
        app.require_subcommand(1);
        app.set_version_flag("--version", std::string(kProgram) + " " + build_config::kVersion);

        CLI::App* status =
            app.add_subcommand("status", "tell whether lockstepd can arm a restart now");
        status->add_flag("--json", options.json, "print the status as one JSON object");

        CLI::App* list = app.add_subcommand(
            "list", "list the items of the System keychain, with attributes and ACLs");
        list->add_option("--keychain", options.keychain, "list the items of this keychain file")
            ->type_name("FILE");

        CLI::App* show =
            app.add_subcommand("show", "show the items of one service, with attributes and ACLs");
        show->add_option("SERVICE", options.service, "service name of the items")->required();
        show->add_option("--account", options.account, "only the item of this account")
            ->type_name("NAME");
        show->add_option("--keychain", options.keychain, "show the items of this keychain file")
            ->type_name("FILE");

        CLI::App* disarm = app.add_subcommand(
            "disarm", "remove the stored credential, so no later run can arm a restart");
        disarm->add_option("--account", options.account, "only the credential of this account")
            ->type_name("NAME");

        try {
            std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
            app.parse(reversed);
        } catch (const CLI::CallForHelp&) {
            out << app.help() << std::flush;
            return static_cast<int>(ExitStatus::ok);
        } catch (const CLI::CallForAllHelp&) {
            out << app.help("", CLI::AppFormatMode::All) << std::flush;
            return static_cast<int>(ExitStatus::ok);
        } catch (const CLI::CallForVersion& version) {
            out << version.what() << '\n' << std::flush;
            return static_cast<int>(ExitStatus::ok);
        } catch (const CLI::ParseError& error) {
            std::string message = oneLine(error.what());
            // A mistyped command reads better as such than as a missing one.
            if (!arguments.empty() && !arguments.front().starts_with('-') &&
                app.get_subcommands().empty()) {
                message = "unknown command '" + printable(arguments.front()) + "'";
            }
            err << kProgram << ": " << message << " (see " << kProgram << " --help)\n";
            return static_cast<int>(ExitStatus::usage);
        }

        int exitStatus = static_cast<int>(ExitStatus::ok);
        if (status->parsed()) {
            const StatusReport report = checkStatus(services);
            if (options.json) {
                printStatusJson(report, out);
            } else {
                printStatus(report, out);
            }
            exitStatus = static_cast<int>(report.verdict());
        } else if (list->parsed() || show->parsed()) {
            const bool system = !options.keychain;
            const std::filesystem::path file =
                system ? services.systemKeychainPath : std::filesystem::path(*options.keychain);
            ItemFilter filter;
            if (show->parsed()) {
                filter.service = options.service;
                filter.account = options.account;
            }
            exitStatus = finish(printItems(file, system, filter, out), err);
        } else if (disarm->parsed()) {
            exitStatus = finish(ctl::disarm(services, options.account, out), err);
            // An armed restart would still unlock the disk once: it goes too.
            if (services.restart.armed && services.restart.unload &&
                services.restart.armed().value_or(false)) {
                if (const int error = services.restart.unload(); error != 0) {
                    err << kProgram << ": cannot unload the armed restart: " << std::strerror(error)
                        << '\n';
                    exitStatus = static_cast<int>(ExitStatus::failure);
                } else {
                    out << "unloaded the armed authenticated restart\n";
                }
            }
        }
        out.flush();
        if (!out) {
            err << kProgram << ": cannot write the output\n";
            return static_cast<int>(ExitStatus::failure);
        }
        return exitStatus;
    } catch (const std::exception& error) {
        err << kProgram << ": " << oneLine(error.what()) << '\n';
    } catch (...) {
        err << kProgram << ": unexpected error\n";
    }
    return static_cast<int>(ExitStatus::failure);
}

}  // namespace lockstep::ctl
