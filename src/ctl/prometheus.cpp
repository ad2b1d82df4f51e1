// lockstepctl status --prometheus: the status as node_exporter's textfile
// collector reads it, so that a fleet's monitoring can alert on a machine
// whose next restart would stop at the unlock screen.

#include <array>
#include <charconv>
#include <ostream>
#include <string>

#include "ctl/commands.h"
#include "daemon/run_record.h"

namespace lockstep::ctl {

namespace {

// One gauge family: its HELP and TYPE lines, then its one sample.
void gauge(std::ostream& out, std::string_view name, std::string_view help, double value,
           const std::string& labels = {}) {
    out << "# HELP " << name << ' ' << help << '\n';
    out << "# TYPE " << name << " gauge\n";
    out << name;
    if (!labels.empty()) {
        out << '{' << labels << '}';
    }
    // The shortest text that reads back as the same value: a stream's six
    // significant digits would round a timestamp to minutes.
    std::array<char, 32> text{};
    const auto written = std::to_chars(text.data(), text.data() + text.size(), value);
    out << ' ' << std::string_view(text.data(), written.ptr) << '\n';
}

double truth(bool value) {
    return value ? 1.0 : 0.0;
}

std::string label(std::string_view name, std::string_view value) {
    return std::string(name) + "=\"" + prometheusLabelValue(value) + "\"";
}

}  // namespace

std::string prometheusLabelValue(std::string_view value) {
    std::string escaped;
    for (const char c : value) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '"':
                escaped += "\\\"";
                break;
            case '\n':
                escaped += "\\n";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

void printStatusPrometheus(const StatusReport& report, std::ostream& out) {
    const ExitStatus verdict = report.verdict();
    const bool keychainOk = verdict != ExitStatus::systemKeychainDamaged &&
                            verdict != ExitStatus::keychainUnreadable &&
                            verdict != ExitStatus::keychainFilesUnsafe;
    gauge(out, "lockstep_ready",
          "1 when lockstepctl status finds nothing that would stop the next restart at the "
          "unlock screen",
          truth(verdict == ExitStatus::ok));
    gauge(out, "lockstep_status_exit_code",
          "The exit status of lockstepctl status: 0 ready, otherwise the first problem",
          static_cast<double>(verdict));
    gauge(out, "lockstep_keychain_ok",
          "1 when the keychain that holds the credential can be read and its files are root's "
          "alone",
          truth(keychainOk), label("keychain", report.credentialKeychainPath.string()));
    gauge(out, "lockstep_enrolled", "1 when a credential of the service Lockstep is stored",
          truth(report.credential.has_value()),
          report.credential ? label("account", report.credential->account) : std::string());
    gauge(out, "lockstep_credential_valid",
          "1 when the stored password still verifies against the local account",
          truth(report.passwordCheck &&
                report.passwordCheck->kind() == LocalPasswordResult::Case::success));
    gauge(out, "lockstep_restart_tool_ok",
          "1 when the restart tool is present, executable and root's alone",
          truth(report.toolPresent && !report.toolUnsafe), label("path", report.toolPath.string()));
    const auto& run = report.lastRun.run;
    gauge(out, "lockstep_last_run_recorded", "1 when a record of the last run could be read",
          truth(run.has_value()));
    if (run) {
        const std::string result = label("result", resultName(run->result));
        gauge(out, "lockstep_last_run_timestamp_seconds",
              "When the last run of lockstepd started, in seconds since the epoch",
              static_cast<double>(
                  std::chrono::duration_cast<std::chrono::seconds>(run->time.time_since_epoch())
                      .count()),
              result);
        gauge(out, "lockstep_last_run_success", "1 when the last run armed a restart",
              truth(run->armed), result);
        if (run->tool) {
            gauge(out, "lockstep_last_run_tool_duration_seconds",
                  "How long the restart tool ran in the last run",
                  static_cast<double>(run->tool->duration.count()) / 1000.0);
        }
    }
}

}  // namespace lockstep::ctl
