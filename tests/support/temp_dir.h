#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lockstep::testing {

// A fresh folder under the system temporary folder, removed with everything
// in it when the object goes away.
class TempDir {
  public:
    TempDir();
    // A fresh folder in `parent` instead.
    explicit TempDir(const std::filesystem::path& parent);
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

// The restart tool is started only when root alone could have put it there
// (checkRootOwnedProgram). Tests run as root start copies of the test
// programs from a folder under /run that only root can write; this says why
// those copies do not pass the check (not root), and nothing when they do.
[[nodiscard]] std::optional<std::string> untrustedTestProgramsReason();

// The path of a test program (tests/helpers/NAME) that the check accepts as
// a restart tool.
[[nodiscard]] std::filesystem::path trustedTestProgram(std::string_view name);

// A fresh folder beside those copies, so in folders that only root can
// write: a place for restart tools that lockstepd would start.
class TrustedTempDir : public TempDir {
  public:
    TrustedTempDir();
};

// Whether the process ends (is gone or a zombie) within two seconds.
[[nodiscard]] bool processHasEnded(int pid);

// Writes a whole file (creating parent folders) with the given mode.
void writeFile(const std::filesystem::path& path, std::string_view contents,
               std::filesystem::perms mode = std::filesystem::perms(0644));

// Reads a whole file; empty text when it cannot be read.
[[nodiscard]] std::string readFile(const std::filesystem::path& path);

}  // namespace lockstep::testing
