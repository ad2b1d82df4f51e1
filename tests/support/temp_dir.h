#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace lockstep::testing {

// A fresh folder under the system temporary folder, removed with everything
// in it when the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(std::string_view name) const {
        return path_ / name;
    }

  private:
    std::filesystem::path path_;
};

// Writes a whole file (creating parent folders) with the given mode.
void writeFile(const std::filesystem::path& path, std::string_view contents,
               std::filesystem::perms mode = std::filesystem::perms(0644));

// Reads a whole file; empty text when it cannot be read.
[[nodiscard]] std::string readFile(const std::filesystem::path& path);

}  // namespace lockstep::testing
