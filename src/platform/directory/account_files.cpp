#include "platform/directory/account_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <thread>

namespace lockstep::account_files {

namespace {

constexpr auto kLockRetryInterval = std::chrono::milliseconds(10);

std::string describeErrno(int err) {
    return std::strerror(err);
}

ODError fileError(int err, const std::string& what) {
    const bool permission = err == EACCES || err == EPERM || err == EROFS;
    return ODError(permission ? kODErrorRecordPermissionError : kODErrorDaemonError,
                   what + ": " + describeErrno(err));
}

// A line that can hold an entry at all.
bool isUsableLine(std::string_view line) {
    if (line.empty() || line.size() > kMaxLineBytes) {
        return false;
    }
    if (line.front() == '#' || line.front() == '+' || line.front() == '-') {
        return false;
    }
    return line.find('\0') == std::string_view::npos;
}

std::optional<std::uint32_t> parseId(std::string_view text) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

// An aging field: empty or -1 is unset; otherwise a non-negative day count.
// Gives false for anything else.
bool parseDays(std::string_view text, std::optional<std::int64_t>& out) {
    if (text.empty() || text == "-1") {
        out.reset();
        return true;
    }
    if (text.size() > 18) {
        return false;
    }
    std::int64_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < 0) {
        return false;
    }
    out = value;
    return true;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Writes `content` to the temporary file of `target`, with the given mode and
// owner, and flushes it to disk.
std::optional<ODError> writeTemporary(const std::filesystem::path& target,
                                      const std::string& content,
                                      const FileAttributes& attributes) {
    const std::filesystem::path temporary = temporaryPathFor(target);
    // A leftover of an interrupted change; we hold the lock, so it is stale.
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        return fileError(errno, "cannot clear " + temporary.string());
    }
    ScopedFD fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        return fileError(errno, "cannot create " + temporary.string());
    }
    std::optional<ODError> failure;
    if (::fchown(fd.get(), attributes.uid, attributes.gid) != 0) {
        failure = fileError(errno, "cannot set the owner of " + temporary.string());
    } else if (::fchmod(fd.get(), static_cast<mode_t>(attributes.mode & 07777U)) != 0) {
        failure = fileError(errno, "cannot set the mode of " + temporary.string());
    } else if (!writeAll(fd.get(), content)) {
        failure = fileError(errno, "cannot write " + temporary.string());
    } else if (::fsync(fd.get()) != 0) {
        failure = fileError(errno, "cannot flush " + temporary.string());
    } else if (!fd.reset()) {
        failure = fileError(errno, "cannot close " + temporary.string());
    }
    if (failure) {
        fd.reset();
        ::unlink(temporary.c_str());
    }
    return failure;
}

// Makes a rename in `folder` durable. A failure here is not reported: the
// files are already in place.
void syncFolder(const std::filesystem::path& folder) {
    const ScopedFD fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        ::fsync(fd.get());
    }
}

// Puts back the old content of a target that a failed change had replaced.
void restore(const Replacement& replacement) {
    if (!replacement.previous) {
        ::unlink(replacement.target.c_str());
        return;
    }
    if (!writeTemporary(replacement.target, *replacement.previous, replacement.attributes)) {
        const std::filesystem::path temporary = temporaryPathFor(replacement.target);
        if (::rename(temporary.c_str(), replacement.target.c_str()) != 0) {
            ::unlink(temporary.c_str());
        }
    }
}

}  // namespace

LoadResult loadFile(const std::filesystem::path& path, std::size_t maxBytes) {
    LoadResult result;
    // O_NONBLOCK: opening a FIFO put in place of an account file must not hang.
    const ScopedFD fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            result.status = LoadStatus::Missing;
        } else {
            result.problem = "cannot open " + path.string() + ": " + describeErrno(err);
        }
        return result;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        result.problem = "cannot inspect " + path.string() + ": " + describeErrno(errno);
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.problem = path.string() + " is not a regular file";
        return result;
    }
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > maxBytes) {
        result.problem = path.string() + " is too large";
        return result;
    }
    std::string content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            result.problem = "cannot read " + path.string() + ": " + describeErrno(errno);
            return result;
        }
        if (got == 0) {
            break;
        }
        if (content.size() + static_cast<std::size_t>(got) > maxBytes) {
            result.problem = path.string() + " is too large";
            return result;
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
    result.status = LoadStatus::Loaded;
    result.content = std::move(content);
    result.attributes = FileAttributes{static_cast<std::uint32_t>(info.st_mode & 07777),
                                       static_cast<std::uint32_t>(info.st_uid),
                                       static_cast<std::uint32_t>(info.st_gid)};
    return result;
}

std::vector<Line> splitLines(std::string_view content) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find('\n', start);
        const std::size_t stop = end == std::string_view::npos ? content.size() : end;
        lines.push_back(Line{start, content.substr(start, stop - start)});
        start = stop + 1;
    }
    return lines;
}

std::vector<std::string_view> splitFields(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string joinFields(const std::vector<std::string>& fields, char separator) {
    std::string joined;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            joined += separator;
        }
        joined += fields[i];
    }
    return joined;
}

std::string replaceField(std::string_view line, std::size_t index, std::string_view value) {
    std::vector<std::string> fields;
    for (const std::string_view field : splitFields(line, ':')) {
        fields.emplace_back(field);
    }
    if (index < fields.size()) {
        fields[index] = std::string(value);
    }
    return joinFields(fields, ':');
}

std::string replaceLine(std::string_view content, const Line& line, std::string_view replacement) {
    std::string result;
    result.reserve(content.size() + replacement.size());
    result.append(content.substr(0, line.offset));
    result.append(replacement);
    result.append(content.substr(line.offset + line.text.size()));
    return result;
}

std::vector<std::string> splitMembers(std::string_view field) {
    std::vector<std::string> members;
    if (field.empty()) {
        return members;
    }
    for (const std::string_view member : splitFields(field, ',')) {
        if (!member.empty()) {
            members.emplace_back(member);
        }
    }
    return members;
}

bool isFieldSafe(std::string_view value) {
    return value.find_first_of(std::string_view(":\n\r\0", 4)) == std::string_view::npos;
}

bool isMemberNameSafe(std::string_view name) {
    return !name.empty() && isFieldSafe(name) &&
           name.find_first_of(", \t") == std::string_view::npos;
}

std::optional<PasswdEntry> parsePasswdLine(std::string_view line) {
    if (!isUsableLine(line)) {
        return std::nullopt;
    }
    const auto fields = splitFields(line, ':');
    if (fields.size() != 7 || fields[0].empty()) {
        return std::nullopt;
    }
    const auto uid = parseId(fields[2]);
    const auto gid = parseId(fields[3]);
    if (!uid || !gid) {
        return std::nullopt;
    }
    return PasswdEntry{
        std::string(fields[0]), std::string(fields[1]), *uid, *gid, std::string(fields[4]),
        std::string(fields[5]), std::string(fields[6])};
}

std::optional<ShadowEntry> parseShadowLine(std::string_view line) {
    if (!isUsableLine(line)) {
        return std::nullopt;
    }
    const auto fields = splitFields(line, ':');
    if (fields.size() != 9 || fields[0].empty()) {
        return std::nullopt;
    }
    ShadowEntry entry;
    entry.name = std::string(fields[0]);
    entry.password = std::string(fields[1]);
    if (!parseDays(fields[2], entry.lastChange) || !parseDays(fields[3], entry.minimumAge) ||
        !parseDays(fields[4], entry.maximumAge) || !parseDays(fields[5], entry.warningPeriod) ||
        !parseDays(fields[6], entry.inactivityPeriod) ||
        !parseDays(fields[7], entry.expirationDate)) {
        return std::nullopt;
    }
    return entry;
}

std::optional<GroupEntry> parseGroupLine(std::string_view line) {
    if (!isUsableLine(line)) {
        return std::nullopt;
    }
    const auto fields = splitFields(line, ':');
    if (fields.size() != 4 || fields[0].empty()) {
        return std::nullopt;
    }
    const auto gid = parseId(fields[2]);
    if (!gid) {
        return std::nullopt;
    }
    return GroupEntry{std::string(fields[0]), std::string(fields[1]), *gid,
                      splitMembers(fields[3])};
}

std::optional<GShadowEntry> parseGShadowLine(std::string_view line) {
    if (!isUsableLine(line)) {
        return std::nullopt;
    }
    const auto fields = splitFields(line, ':');
    if (fields.size() != 4 || fields[0].empty()) {
        return std::nullopt;
    }
    return GShadowEntry{std::string(fields[0]), std::string(fields[1]), splitMembers(fields[2]),
                        splitMembers(fields[3])};
}

std::optional<AccountFilesLock> AccountFilesLock::acquire(const std::filesystem::path& lockFile,
                                                          std::chrono::milliseconds timeout,
                                                          std::optional<ODError>* error) {
    ScopedFD fd(::open(lockFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        if (error != nullptr) {
            *error = fileError(errno, "cannot open the account-files lock " + lockFile.string());
        }
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        struct flock request {};
        request.l_type = F_WRLCK;
        request.l_whence = SEEK_SET;
        request.l_start = 0;
        request.l_len = 0;
        if (::fcntl(fd.get(), F_SETLK, &request) == 0) {
            return AccountFilesLock(std::move(fd));
        }
        const int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err != EAGAIN && err != EACCES) {
            if (error != nullptr) {
                *error = fileError(err, "cannot lock " + lockFile.string());
            }
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            if (error != nullptr) {
                *error = ODError(
                    kODErrorDaemonError,
                    "the account files are locked by another program (" + lockFile.string() + ")");
            }
            return std::nullopt;
        }
        std::this_thread::sleep_for(kLockRetryInterval);
    }
}

std::filesystem::path temporaryPathFor(const std::filesystem::path& target) {
    std::string name = ".";
    name += target.filename().string();
    name += ".lockstep-new";
    return target.parent_path() / name;
}

std::optional<ODError> replaceFiles(const std::vector<Replacement>& replacements) {
    for (std::size_t i = 0; i < replacements.size(); ++i) {
        const Replacement& replacement = replacements[i];
        if (auto failure =
                writeTemporary(replacement.target, replacement.content, replacement.attributes)) {
            for (std::size_t j = 0; j < i; ++j) {
                ::unlink(temporaryPathFor(replacements[j].target).c_str());
            }
            return failure;
        }
    }
    for (std::size_t i = 0; i < replacements.size(); ++i) {
        const Replacement& replacement = replacements[i];
        const std::filesystem::path temporary = temporaryPathFor(replacement.target);
        if (::rename(temporary.c_str(), replacement.target.c_str()) != 0) {
            const ODError failure =
                fileError(errno, "cannot replace " + replacement.target.string());
            for (std::size_t j = i; j < replacements.size(); ++j) {
                ::unlink(temporaryPathFor(replacements[j].target).c_str());
            }
            for (std::size_t j = 0; j < i; ++j) {
                restore(replacements[j]);
            }
            return failure;
        }
    }
    for (const Replacement& replacement : replacements) {
        syncFolder(replacement.target.parent_path());
    }
    return std::nullopt;
}

}  // namespace lockstep::account_files
