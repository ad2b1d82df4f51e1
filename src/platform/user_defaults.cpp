#include "platform/user_defaults.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/bytes.h"
#include "platform/plist.h"
#include "platform/scoped_fd.h"

namespace lockstep {

namespace {

constexpr const char* kUserDefaultsFile = ".config/lockstep/lockstepd.plist";
constexpr const char* kSystemDefaultsFile = "/etc/lockstep/lockstepd.plist";

// Upper bound for the getpwuid_r buffer; entries are tiny.
constexpr std::size_t kMaxPasswdBuffer = 1U << 20U;

// The whole contents of a regular file, or why there are none. Opened
// without blocking, so a FIFO at the path cannot hold up the run.
UserDefaults::Reading readRegularFile(const std::filesystem::path& file, Bytes* data, int* error) {
    using Reading = UserDefaults::Reading;
    int raw = -1;
    do {
        raw = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (raw < 0 && errno == EINTR);
    const ScopedFD fd(raw);
    if (!fd) {
        *error = errno;
        return errno == ENOENT ? Reading::missing : Reading::unreadable;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        *error = errno;
        return Reading::unreadable;
    }
    if (!S_ISREG(info.st_mode) || info.st_size < 0) {
        return Reading::notRegularFile;
    }
    if (static_cast<std::uint64_t>(info.st_size) > kMaxPlistBytes) {
        return Reading::tooLarge;
    }
    std::uint8_t buffer[8192];
    while (true) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = errno;
            return Reading::unreadable;
        }
        if (count == 0) {
            break;
        }
        data->insert(data->end(), buffer, buffer + count);
        if (data->size() > kMaxPlistBytes) {
            return Reading::tooLarge;
        }
    }
    return Reading::read;
}

UserDefaults::Value valueOf(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return value != 0;
        }
        case PLIST_UINT: {
            // libplist keeps negative integers in the same 64 bits.
            std::uint64_t value = 0;
            plist_get_uint_val(node, &value);
            return static_cast<std::int64_t>(value);
        }
        case PLIST_REAL: {
            double value = 0.0;
            plist_get_real_val(node, &value);
            return value;
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            if (text == nullptr) {
                return UserDefaults::Other{};
            }
            return std::string(text, static_cast<std::size_t>(length));
        }
        default:
            return UserDefaults::Other{};
    }
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

namespace {

// The home folder of the user database entry that `lookup` (getpwuid_r or
// getpwnam_r with its key bound) finds, growing the buffer as needed.
template <typename Lookup>
std::optional<std::string> homeFolderOfEntry(const Lookup& lookup) {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = suggested > 0 ? static_cast<std::size_t>(suggested) : 4096U;
    while (size <= kMaxPasswdBuffer) {
        std::vector<char> buffer(size);
        struct passwd entry {};
        struct passwd* found = nullptr;
        const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (error == EINTR) {
            continue;
        }
        if (error == ERANGE) {
            size *= 2;
            continue;
        }
        if (error != 0 || found == nullptr || entry.pw_dir == nullptr || entry.pw_dir[0] != '/') {
            return std::nullopt;
        }
        return std::string(entry.pw_dir);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> homeFolderForUserID(std::uint32_t uid) {
    return homeFolderOfEntry([uid](passwd* entry, char* buffer, std::size_t size, passwd** found) {
        return ::getpwuid_r(static_cast<uid_t>(uid), entry, buffer, size, found);
    });
}

std::optional<std::string> homeFolderForUserName(const std::string& name) {
    if (name.empty() || name.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return homeFolderOfEntry(
        [&name](passwd* entry, char* buffer, std::size_t size, passwd** found) {
            return ::getpwnam_r(name.c_str(), entry, buffer, size, found);
        });
}

std::uint32_t realUserID() {
    return static_cast<std::uint32_t>(::getuid());
}

UserDefaults::Domain UserDefaults::readDomain(const std::filesystem::path& file) {
    return readFile(file).domain;
}

UserDefaults::FileContents UserDefaults::readFile(const std::filesystem::path& file) {
    FileContents contents;
    Bytes data;
    contents.reading = readRegularFile(file, &data, &contents.error);
    if (contents.reading != Reading::read) {
        return contents;
    }
    const auto parsed = parsePlist(data);
    if (!parsed) {
        contents.reading = Reading::notPropertyList;
        return contents;
    }
    const auto root = static_cast<plist_t>(parsed->root.get());
    if (plist_get_node_type(root) != PLIST_DICT) {
        contents.reading = Reading::notDictionary;
        return contents;
    }
    Domain& domain = contents.domain;
    static_cast<void>(
        forEachDictionaryEntry(parsed->root.get(), [&domain](const char* key, PlistNode value) {
            if (key != nullptr) {
                domain.emplace(std::string(key), valueOf(static_cast<plist_t>(value)));
            }
            return true;
        }));
    return contents;
}

UserDefaults UserDefaults::fromFiles(const std::vector<std::filesystem::path>& files) {
    std::vector<Domain> domains;
    domains.reserve(files.size());
    for (const auto& file : files) {
        domains.push_back(readDomain(file));
    }
    return UserDefaults(std::move(domains));
}

std::vector<std::filesystem::path> UserDefaults::standardFiles() {
    std::vector<std::filesystem::path> files;
    if (const auto home = homeFolderForUserID(realUserID())) {
        files.push_back(std::filesystem::path(*home) / kUserDefaultsFile);
    }
    files.emplace_back(kSystemDefaultsFile);
    return files;
}

UserDefaults UserDefaults::standard() {
    return fromFiles(standardFiles());
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    for (const auto& domain : domains_) {
        const auto found = domain.find(key);
        if (found == domain.end()) {
            continue;
        }
        if (const auto* text = std::get_if<std::string>(&found->second)) {
            return *text;
        }
    }
    return std::nullopt;
}

bool UserDefaults::boolForKey(std::string_view key) const {
    for (const auto& domain : domains_) {
        const auto found = domain.find(key);
        if (found == domain.end()) {
            continue;
        }
        const Value& value = found->second;
        if (const auto* flag = std::get_if<bool>(&value)) {
            return *flag;
        }
        if (const auto* number = std::get_if<std::int64_t>(&value)) {
            return *number != 0;
        }
        if (const auto* real = std::get_if<double>(&value)) {
            return *real != 0.0;
        }
        if (const auto* text = std::get_if<std::string>(&value)) {
            return equalsIgnoringCase(*text, "YES") || equalsIgnoringCase(*text, "true") ||
                   *text == "1";
        }
        // Any other kind: as if this file did not hold the key.
    }
    return false;
}

}  // namespace lockstep
