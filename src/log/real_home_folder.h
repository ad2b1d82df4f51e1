#pragma once

#include <optional>
#include <string>

namespace lockstep {

// The file-manager addition that finds the real user's home folder.
class MDLRealHomeFolder {
  public:
    // The home folder of the user with the process's real user ID, from the
    // user database (getpwuid_r of getuid), never from $HOME. Nothing when the
    // database has no entry for the user or records no absolute home folder;
    // callers then place nothing under a home folder.
    [[nodiscard]] static std::optional<std::string> realHomeFolder();
};

}  // namespace lockstep
