#pragma once

// Reading and rewriting the machine's account files (passwd, shadow, group,
// gshadow) the way the system's own tools do: whole-file reads with a size
// cap, one parsed entry per well-formed line, edits written to a new file
// beside the old one and renamed over it under the account-files lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/directory.h"
#include "platform/scoped_fd.h"

namespace lockstep::account_files {

// Largest account file read; a larger one is refused as damaged.
inline constexpr std::size_t kMaxFileBytes = std::size_t{64} * 1024 * 1024;
// Longest line taken as an entry; longer lines are skipped.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1024} * 1024;

// Permission bits and owner of a file, kept when the file is rewritten.
struct FileAttributes {
    std::uint32_t mode = 0600;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
};

enum class LoadStatus { Loaded, Missing, Failed };

struct LoadResult {
    LoadStatus status = LoadStatus::Failed;
    std::string content;
    FileAttributes attributes;
    // Why the file could not be read (Failed only).
    std::string problem;
};

// Reads a whole regular file of at most `maxBytes`. A missing file (or
// folder) is Missing; anything else that stops the read is Failed. Never
// blocks on a FIFO or device.
[[nodiscard]] LoadResult loadFile(const std::filesystem::path& path,
                                  std::size_t maxBytes = kMaxFileBytes);

// One line of a file, without its line feed, and where it starts.
struct Line {
    std::size_t offset = 0;
    std::string_view text;
};

[[nodiscard]] std::vector<Line> splitLines(std::string_view content);
[[nodiscard]] std::vector<std::string_view> splitFields(std::string_view text, char separator);
[[nodiscard]] std::string joinFields(const std::vector<std::string>& fields, char separator);

// The line with field `index` (colon-separated) replaced by `value`. The line
// must have more than `index` fields.
[[nodiscard]] std::string replaceField(std::string_view line, std::size_t index,
                                       std::string_view value);
// `content` with `line` replaced by `replacement`; every other byte kept.
[[nodiscard]] std::string replaceLine(std::string_view content, const Line& line,
                                      std::string_view replacement);

// Member lists ("a,b,c"); empty items are dropped.
[[nodiscard]] std::vector<std::string> splitMembers(std::string_view field);

// Whether a text can stand in one colon-separated field.
[[nodiscard]] bool isFieldSafe(std::string_view value);
// Whether a name can stand in a comma-separated member list.
[[nodiscard]] bool isMemberNameSafe(std::string_view name);

struct PasswdEntry {
    std::string name;
    std::string password;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::string gecos;
    std::string home;
    std::string shell;
};

// Aging fields are in days since 1970-01-01; empty (or -1) is unset.
struct ShadowEntry {
    std::string name;
    std::string password;
    std::optional<std::int64_t> lastChange;
    std::optional<std::int64_t> minimumAge;
    std::optional<std::int64_t> maximumAge;
    std::optional<std::int64_t> warningPeriod;
    std::optional<std::int64_t> inactivityPeriod;
    std::optional<std::int64_t> expirationDate;
};

struct GroupEntry {
    std::string name;
    std::string password;
    std::uint32_t gid = 0;
    std::vector<std::string> members;
};

struct GShadowEntry {
    std::string name;
    std::string password;
    std::vector<std::string> administrators;
    std::vector<std::string> members;
};

// Each parser gives nothing for a line that is not a well-formed entry:
// empty, a comment or NIS "+"/"-" line, too long, holding a NUL byte, the
// wrong number of fields, an empty name or a non-numeric id.
[[nodiscard]] std::optional<PasswdEntry> parsePasswdLine(std::string_view line);
[[nodiscard]] std::optional<ShadowEntry> parseShadowLine(std::string_view line);
[[nodiscard]] std::optional<GroupEntry> parseGroupLine(std::string_view line);
[[nodiscard]] std::optional<GShadowEntry> parseGShadowLine(std::string_view line);

template <typename Entry>
struct Located {
    Line line;
    Entry entry;
};

// The well-formed entries of a file, in file order; other lines are skipped.
template <typename Entry, typename Parse>
[[nodiscard]] std::vector<Located<Entry>> parseEntries(std::string_view content, Parse parse) {
    std::vector<Located<Entry>> entries;
    for (const Line& line : splitLines(content)) {
        if (auto entry = parse(line.text)) {
            entries.push_back(Located<Entry>{line, std::move(*entry)});
        }
    }
    return entries;
}

// The first entry of the given name, as the C library's lookups take it.
template <typename Entry>
[[nodiscard]] const Located<Entry>* findByName(const std::vector<Located<Entry>>& entries,
                                               std::string_view name) {
    for (const auto& located : entries) {
        if (located.entry.name == name) {
            return &located;
        }
    }
    return nullptr;
}

// The account-files lock ("etc/.pwd.lock"): a POSIX write lock on the whole
// file, as lckpwdf(3) takes it. Released when the object goes away.
class AccountFilesLock {
  public:
    [[nodiscard]] static std::optional<AccountFilesLock> acquire(
        const std::filesystem::path& lockFile, std::chrono::milliseconds timeout,
        std::optional<ODError>* error);

  private:
    explicit AccountFilesLock(ScopedFD fd) : fd_(std::move(fd)) {}
    ScopedFD fd_;
};

// One file to replace: its new content, the mode and owner to give it, and
// its old content (nothing when it did not exist) to put back should a later
// file of the same change fail to go in.
struct Replacement {
    std::filesystem::path target;
    std::string content;
    FileAttributes attributes;
    std::optional<std::string> previous;
};

// Where the new content of `target` is written before it is renamed over it.
[[nodiscard]] std::filesystem::path temporaryPathFor(const std::filesystem::path& target);

// Writes every new file beside its target (O_EXCL, fsync, kept mode and
// owner), then renames them over their targets in order. When a new file
// cannot be made, no target is touched. When a rename fails, the targets
// already replaced get their old content back. Nothing on success.
[[nodiscard]] std::optional<ODError> replaceFiles(const std::vector<Replacement>& replacements);

}  // namespace lockstep::account_files
