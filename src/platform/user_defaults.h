#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace lockstep {

// The home folder of a user as the user database records it (getpwuid_r),
// never from the environment. Nothing when the database has no entry for the
// user or the entry's home folder is not an absolute path.
[[nodiscard]] std::optional<std::string> homeFolderForUserID(std::uint32_t uid);

// The same for a user name (getpwnam_r), as the shell's "~name" expands.
[[nodiscard]] std::optional<std::string> homeFolderForUserName(const std::string& name);

// The real user ID of the process (getuid).
[[nodiscard]] std::uint32_t realUserID();

// Settings of the process, read from property-list files.
//
// The files are searched in order and the first one that holds a key with a
// value of a usable kind wins. A file that is missing, unreadable or not a
// property list holds no keys; a value of the wrong kind counts as absent, so
// the search goes on to the next file. Nothing here ever fails a run.
class UserDefaults {
  public:
    // One value as a file stores it. Kinds that no lookup uses (arrays,
    // dictionaries, data, dates) are kept as `Other`.
    struct Other {
        bool operator==(const Other&) const = default;
    };
    using Value = std::variant<bool, std::int64_t, double, std::string, Other>;
    using Domain = std::map<std::string, Value, std::less<>>;

    // Holds no keys.
    UserDefaults() = default;

    // Domains given directly, searched in order.
    explicit UserDefaults(std::vector<Domain> domains) : domains_(std::move(domains)) {}

    // Reads each file once, now, in the order given.
    [[nodiscard]] static UserDefaults fromFiles(const std::vector<std::filesystem::path>& files);

    // The files of the process: "~/.config/lockstep/lockstepd.plist" of the
    // real user (home folder from the user database), then
    // "/etc/lockstep/lockstepd.plist".
    [[nodiscard]] static std::vector<std::filesystem::path> standardFiles();

    // fromFiles(standardFiles()).
    [[nodiscard]] static UserDefaults standard();

    // Reads one file into a domain; an empty domain when the file is missing,
    // unreadable, not a property list, or its root is not a dictionary.
    [[nodiscard]] static Domain readDomain(const std::filesystem::path& file);

    // How reading one file went, for reporting: the domain is read only when
    // the file is a property list with a dictionary at its root.
    enum class Reading {
        read,
        missing,
        // Cannot be opened or read; `error` holds the errno.
        unreadable,
        notRegularFile,
        tooLarge,
        notPropertyList,
        notDictionary,
    };
    struct FileContents {
        Reading reading = Reading::missing;
        int error = 0;
        Domain domain;
    };
    [[nodiscard]] static FileContents readFile(const std::filesystem::path& file);

    // A text value.
    [[nodiscard]] std::optional<std::string> stringForKey(std::string_view key) const;

    // A truth value: true for a true Boolean, a non-zero number, or the texts
    // "YES", "true" or "1" in any case; false for any other text, a false
    // Boolean, zero, or when no file holds the key.
    [[nodiscard]] bool boolForKey(std::string_view key) const;

    [[nodiscard]] const std::vector<Domain>& domains() const { return domains_; }

  private:
    std::vector<Domain> domains_;
};

}  // namespace lockstep
