#pragma once

// The record of the last run: what each run of the daemon leaves behind for
// `lockstepctl status`, one small JSON file that replaces the one before.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "daemon/password_daemon.h"

namespace lockstep {

// The record file beside the System keychain.
inline constexpr std::string_view kRunRecordName = "last-run";

// The largest record that is read back; a real one is far smaller.
inline constexpr std::size_t kRunRecordMaxBytes = std::size_t{64} * 1024;

// The name of a result in the record ("armed", "notArmed", "noCredential",
// "incorrectPassword", ...).
[[nodiscard]] std::string_view resultName(RunOutcome::Result result);

// The record of an outcome as JSON text (never the password: the outcome
// holds none).
[[nodiscard]] std::string runRecordJson(const RunOutcome& outcome);

// Reads a record back; nothing, with the reason in `why`, when the text is
// not one.
[[nodiscard]] std::optional<RunOutcome> parseRunRecord(std::string_view text, std::string* why);

// Replaces the record at `file`: a new file (mode 0600) in the same folder,
// synced, renamed over the old one, and the folder synced. The folder is
// made (mode 0700) when it is missing. False, with the reason in `why`, when
// it could not be written; the old record is then left as it was.
[[nodiscard]] bool writeRunRecord(const std::filesystem::path& file, const RunOutcome& outcome,
                                  std::string* why);

// Reads the record at `file` without following a link or blocking on a
// FIFO. Nothing, with the reason in `why` ("no run recorded yet" when there
// is no file), when there is none to read.
[[nodiscard]] std::optional<RunOutcome> readRunRecord(const std::filesystem::path& file,
                                                      std::string* why);

}  // namespace lockstep
