#include "log/unified_logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "build_config.h"
#include "log/log.h"
#include "platform/scoped_fd.h"

namespace lockstep {

namespace {

constexpr const char* kRootLogFolder = "/tmp/lockstep";
constexpr const char* kHomeLogFolder = "Library/Logs";
constexpr const char* kTemporaryFolderTemplate = "/tmp/tessel-XXXXXX";
constexpr const char* kDefaultLogFileName = "generic.log";
constexpr const char* kLogFolderPathKey = "LogFolderPath";
constexpr const char* kLogFileNameKey = "LogFileName";
constexpr const char* kShowDebugKey = "showDebug";
constexpr std::uint32_t kRootUserID = 0;
constexpr std::uint32_t kLogOwnerUserID = 92;
constexpr mode_t kLogFolderMode = 0770;
constexpr mode_t kLogFileMode = 0660;

// Writes all of `text`, retrying interrupted and partial writes.
bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

int openRetrying(const char* path, int flags, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Gives a created log folder or file its mode (exactly, whatever the umask)
// and owner. Failures are ignored: only root may give files away.
void setModeAndOwner(int fd, mode_t mode) {
    if (::fchmod(fd, mode) != 0) {
        // Ignored; the folder or file is used as it is.
    }
    if (::fchown(fd, static_cast<uid_t>(kLogOwnerUserID), static_cast<gid_t>(-1)) != 0) {
        // Ignored; not root.
    }
}

bool pathExists(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

// Holds an object in static storage and never destroys it, so it stays usable
// until the process is gone, whatever the order of static destruction.
template <typename T>
class NeverDestroyed {
  public:
    template <typename... Args>
    explicit NeverDestroyed(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

MDLUnifiedLogger* installedLogger = nullptr;
MDLUnifiedLogger* productionLogger = nullptr;

void flushProductionLogger() {
    if (productionLogger != nullptr) {
        productionLogger->flushPendingRepeats();
    }
}

MDLUnifiedLogger& createProductionLogger() {
    static NeverDestroyed<MDLUnifiedLogger> logger(LoggerEnvironment::system());
    MDLUnifiedLogger& shared = logger.get();
    shared.updateLogPath();
    shared.setLastLoggedDate(MDLUnifiedLogger::kDistantPast);
    productionLogger = &shared;
    // A repeat count still pending at exit goes to the file then. The handler
    // touches only the log file, not the system log, so it does not depend on
    // the order in which other static objects are destroyed.
    if (std::atexit(flushProductionLogger) != 0) {
        // Without the handler a pending count is lost at exit, as before.
    }
    return shared;
}

// Clears a flag when the scope ends, however it ends.
class FlagScope {
  public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

  private:
    bool& flag_;
};

}  // namespace

LoggerEnvironment LoggerEnvironment::system() {
    LoggerEnvironment environment;
    environment.now = [] { return Clock::now(); };
    environment.loadUserDefaults = [] { return UserDefaults::standard(); };
    environment.bundleLogFileName = build_config::kBundleLogFileName;
    environment.realUserID = [] { return lockstep::realUserID(); };
    environment.homeFolderForUser = [](std::uint32_t uid) { return homeFolderForUserID(uid); };
    environment.homeFolderForUserName = [](const std::string& name) {
        return lockstep::homeFolderForUserName(name);
    };
    environment.processName = program_invocation_short_name;
    environment.processID = ::getpid();
    environment.writeStandardError = [](std::string_view text) { writeAll(STDERR_FILENO, text); };
    environment.writeStandardOutput = [](std::string_view text) { writeAll(STDOUT_FILENO, text); };
    return environment;
}

MDLUnifiedLogger::MDLUnifiedLogger(LoggerEnvironment environment)
    : environment_(std::move(environment)) {}

MDLUnifiedLogger::~MDLUnifiedLogger() {
    flushPendingRepeats();
}

MDLUnifiedLogger& MDLUnifiedLogger::sharedLogger() {
    if (installedLogger != nullptr) {
        return *installedLogger;
    }
    static MDLUnifiedLogger& shared = createProductionLogger();
    return shared;
}

std::filesystem::path MDLUnifiedLogger::hostPath(const std::filesystem::path& path) const {
    const auto& root = environment_.root;
    if (path.empty() || root.empty() || root == "/") {
        return path;
    }
    return root / path.relative_path();
}

const UserDefaults& MDLUnifiedLogger::userDefaults() {
    if (!userDefaults_) {
        userDefaults_ =
            environment_.loadUserDefaults ? environment_.loadUserDefaults() : UserDefaults();
    }
    return *userDefaults_;
}

std::optional<std::string> MDLUnifiedLogger::realHomeFolder() const {
    if (!environment_.realUserID || !environment_.homeFolderForUser) {
        return std::nullopt;
    }
    return environment_.homeFolderForUser(environment_.realUserID());
}

bool isPlainLogFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::optional<std::filesystem::path> expandLogFolderPath(
    std::string_view setting, const std::function<std::optional<std::string>()>& realHome,
    const std::function<std::optional<std::string>(const std::string&)>& homeForName) {
    std::string expanded(setting);
    if (expanded.starts_with('~')) {
        const std::size_t slash = expanded.find('/');
        const std::string user = expanded.substr(1, slash == std::string::npos ? slash : slash - 1);
        std::optional<std::string> home;
        if (user.empty()) {
            home = realHome ? realHome() : std::nullopt;
        } else if (homeForName) {
            home = homeForName(user);
        }
        if (!home) {
            return std::nullopt;
        }
        expanded = *home + (slash == std::string::npos ? std::string() : expanded.substr(slash));
    }
    std::filesystem::path folder(expanded);
    if (!folder.is_absolute()) {
        return std::nullopt;
    }
    return folder;
}

std::optional<std::string> logFolderProblem(const std::filesystem::path& folder, std::uint32_t user,
                                            ScopedFD* opened) {
    ScopedFD fd(openRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        switch (error) {
            case ENOENT:
                return "does not exist";
            case ELOOP:
                return "is a symbolic link";
            case ENOTDIR: {
                // With O_DIRECTORY a link gives ENOTDIR rather than ELOOP.
                struct stat link {};
                return ::lstat(folder.c_str(), &link) == 0 && S_ISLNK(link.st_mode)
                           ? "is a symbolic link"
                           : "is not a folder";
            }
            default:
                return "cannot be opened: " + std::generic_category().message(error);
        }
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return "cannot be examined: " + std::generic_category().message(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return "is not a folder";
    }
    if (info.st_uid != kRootUserID && info.st_uid != kLogOwnerUserID && info.st_uid != user) {
        return "is owned by user " + std::to_string(info.st_uid) + ", not root, 92 or " +
               (user == kRootUserID ? std::string("the user") : "user " + std::to_string(user));
    }
    if ((info.st_mode & S_IWOTH) != 0) {
        return "is writable by others";
    }
    if (opened != nullptr) {
        *opened = std::move(fd);
    }
    return std::nullopt;
}

// "LogFolderPath" with a leading "~" or "~name" expanded through the user
// database; nothing unless it is then an absolute path.
std::optional<std::filesystem::path> MDLUnifiedLogger::folderSetting() {
    const auto setting = userDefaults().stringForKey(kLogFolderPathKey);
    if (!setting || setting->empty()) {
        return std::nullopt;
    }
    return expandLogFolderPath(
        *setting, [this] { return realHomeFolder(); }, environment_.homeFolderForUserName);
}

// "LogFileName" of the settings, else of the program, else the default; a
// value that is not one plain name counts as not set.
std::string MDLUnifiedLogger::fileNameSetting() {
    if (auto setting = userDefaults().stringForKey(kLogFileNameKey);
        setting && isPlainLogFileName(*setting)) {
        return std::move(*setting);
    }
    if (isPlainLogFileName(environment_.bundleLogFileName)) {
        return environment_.bundleLogFileName;
    }
    return kDefaultLogFileName;
}

bool MDLUnifiedLogger::adoptFolder(const std::filesystem::path& folder) {
    folder_.reset();
    return !logFolderProblem(hostPath(folder), static_cast<std::uint32_t>(::geteuid()), &folder_)
                .has_value();
}

bool MDLUnifiedLogger::adoptFreshFolder() {
    std::string pattern = hostPath(kTemporaryFolderTemplate).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        folder_.reset();
        return false;
    }
    const std::filesystem::path folder =
        std::filesystem::path(kTemporaryFolderTemplate).parent_path() /
        std::filesystem::path(pattern).filename();
    logFileURL_ = folder / fileName_;
    return adoptFolder(folder);
}

void MDLUnifiedLogger::updateLogPath() {
    namespace fs = std::filesystem;
    fs::path folder;
    folder_.reset();

    // 1. The folder: an existing "LogFolderPath", else by real user ID.
    if (const auto setting = folderSetting(); setting && pathExists(hostPath(*setting))) {
        folder = *setting;
    }
    bool fresh = false;
    if (folder.empty()) {
        const std::uint32_t uid = environment_.realUserID ? environment_.realUserID() : 0;
        if (uid == kRootUserID || uid == kLogOwnerUserID) {
            folder = kRootLogFolder;
        } else {
            // Without a home folder there is no Library/Logs to keep; only a
            // fresh temporary folder will do, and without one no file is
            // written at all.
            std::optional<fs::path> homeLogs;
            if (const auto home = realHomeFolder()) {
                homeLogs = fs::path(*home) / kHomeLogFolder;
            }
            if (homeLogs && pathExists(hostPath(*homeLogs))) {
                folder = *homeLogs;
            } else {
                fresh = true;
                if (homeLogs) {
                    folder = *homeLogs;
                }
            }
        }
    }

    // 2. The file name.
    fileName_ = fileNameSetting();

    // 3. The file.
    if (fresh) {
        if (adoptFreshFolder()) {
            return;
        }
        // No temporary folder can be made: Library/Logs is kept.
    }
    if (folder.empty()) {
        logFileURL_.clear();
        return;
    }
    logFileURL_ = folder / fileName_;

    // 4. Create the folder and any missing folders above it, each 0770 and
    // owned by 92. Failures are ignored.
    std::vector<fs::path> missing;
    for (fs::path p = folder; !p.empty() && !pathExists(hostPath(p)); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) {
            break;
        }
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const fs::path host = hostPath(*it);
        if (::mkdir(host.c_str(), kLogFolderMode) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            break;
        }
        const ScopedFD fd(
            openRetrying(host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd) {
            setModeAndOwner(fd.get(), kLogFolderMode);
        }
    }

    // 5. The folder is opened once; a folder that is not safe to write in is
    // not written in at all.
    if (!adoptFolder(folder)) {
        adoptFreshFolder();
    }
}

// Opens the log file in the log folder for appending; creates it (0660,
// owner 92) when nothing is there. Refuses, without blocking, a symbolic
// link, anything that is not a regular file, a file with more than one hard
// link and a file of another owner, so the logger never writes through to a
// file that someone else controls.
ScopedFD MDLUnifiedLogger::openLogFile() const {
    if (!folder_ || fileName_.empty()) {
        return {};
    }
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    const auto openAt = [this](int flags) {
        int fd = -1;
        do {
            fd = ::openat(folder_.get(), fileName_.c_str(), flags, kLogFileMode);
        } while (fd < 0 && errno == EINTR);
        return ScopedFD(fd);
    };
    ScopedFD created = openAt(kFlags | O_CREAT | O_EXCL);
    if (created) {
        setModeAndOwner(created.get(), kLogFileMode);
        return created;
    }
    if (errno != EEXIST) {
        return {};
    }
    ScopedFD fd = openAt(kFlags);
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
        (info.st_uid != ::geteuid() && info.st_uid != kLogOwnerUserID)) {
        return {};
    }
    return fd;
}

namespace {

bool withinWindow(MDLUnifiedLogger::Clock::time_point now,
                  MDLUnifiedLogger::Clock::time_point last) {
    if (last == MDLUnifiedLogger::kDistantPast) {
        return false;
    }
    return now - last <= MDLUnifiedLogger::kRepeatWindow;
}

std::string repeatReport(const std::string& timestamp, std::int64_t count) {
    return timestamp + ":Last message repeated " + std::to_string(count) + " times\n";
}

}  // namespace

void MDLUnifiedLogger::logString(std::string_view line, std::int64_t level) {
    try {
        if (environment_.lineObserver) {
            environment_.lineObserver(line, level);
        }

        // 1. Level gate.
        if (level == kLogLevelDebug &&
            (suppressDebug_ || !userDefaults().boolForKey(kShowDebugKey))) {
            return;
        }

        // 2. Process tag.
        const std::string tag =
            environment_.processName + "(" + std::to_string(environment_.processID) + ")";

        // 3. Echo.
        std::string echoed(line);
        echoed += '\n';
        if (environment_.writeStandardError) {
            environment_.writeStandardError(echoed);
        }

        // 4. Repeat folding.
        if (withinWindow(environment_.now(), lastLoggedDate_) && lastLine_ == line) {
            if (repeated_ > kStandardOutputRepeatThreshold && environment_.writeStandardOutput) {
                environment_.writeStandardOutput(echoed);
            }
            ++repeated_;
            lastLine_ = std::string(line);
            return;
        }

        // 5.-7. Create or open the file. When it is not writable, choose the
        // path again; when that gives no writable file either, a fresh
        // temporary folder. The report of the new path may come back here;
        // that nested call does not choose again, so the retry ends.
        ScopedFD fd = openLogFile();
        if (!fd && !choosingNewPath_) {
            const FlagScope choosing(choosingNewPath_);
            updateLogPath();
            fd = openLogFile();
            if (!fd && adoptFreshFolder()) {
                fd = openLogFile();
            }
            logDebugLine("Updated log file path");
        }

        // 8.-11. Timestamp, pending repeat report, the line.
        const std::string timestamp = iso8601Timestamp(environment_.now());
        std::string text;
        if (repeated_ > 0) {
            text = repeatReport(timestamp, repeated_);
            repeated_ = 0;
            lastLine_ = std::string();
        }
        text += timestamp + " " + tag + ": ";
        text += echoed;
        if (fd) {
            writeAll(fd.get(), text);
        }

        // 12.
        lastLoggedDate_ = environment_.now();
        lastLine_ = std::string(line);
    } catch (...) {
        // Logging never fails its caller.
    }
}

void MDLUnifiedLogger::flushPendingRepeats() {
    try {
        if (repeated_ <= 0) {
            return;
        }
        const ScopedFD fd = openLogFile();
        const std::string report = repeatReport(
            iso8601Timestamp(environment_.now ? environment_.now() : Clock::now()), repeated_);
        repeated_ = 0;
        lastLine_ = std::string();
        if (fd) {
            writeAll(fd.get(), report);
        }
    } catch (...) {
        // As logString: nothing reaches the caller.
    }
}

ScopedSharedLogger::ScopedSharedLogger(MDLUnifiedLogger& logger) : previous_(installedLogger) {
    installedLogger = &logger;
}

ScopedSharedLogger::~ScopedSharedLogger() {
    installedLogger = previous_;
}

std::string iso8601Timestamp(LoggerEnvironment::Clock::time_point time) {
    const std::time_t seconds = LoggerEnvironment::Clock::to_time_t(time);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) {
        return {};
    }
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &local);
    std::string result(buffer, length);
    long offset = local.tm_gmtoff;
    if (offset == 0) {
        result += 'Z';
        return result;
    }
    result += offset < 0 ? '-' : '+';
    if (offset < 0) {
        offset = -offset;
    }
    const long hours = offset / 3600;
    const long minutes = (offset % 3600) / 60;
    char zone[16];
    const int zoneLength = std::snprintf(zone, sizeof zone, "%02ld:%02ld", hours, minutes);
    if (zoneLength > 0) {
        result.append(zone, static_cast<std::size_t>(zoneLength));
    }
    return result;
}

}  // namespace lockstep
