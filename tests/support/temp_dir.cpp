#include "support/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "platform/trusted_program.h"

namespace lockstep::testing {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "lockstep-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::TempDir(const std::filesystem::path& parent) {
    std::string pattern = (parent / "lockstep-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed in " + parent.string());
    }
    path_ = pattern;
}

namespace {

// Copies of the test programs in a folder that only root can write (under
// /run, whatever folder the build is in). One folder per build, shared by the
// test processes and the children they start and kill, so nothing is left
// behind per process; /run is emptied at boot. A copy is refreshed when the
// program was rebuilt, by renaming a fresh copy over it (a process running
// the old one keeps it). Not root: the build's own folder, which then fails
// the check with the reason.
class TrustedPrograms {
  public:
    TrustedPrograms() {
        namespace fs = std::filesystem;
        const fs::path helpers = LOCKSTEP_TEST_HELPERS_DIR;
        folder_ = helpers;
        if (::geteuid() != 0) {
            return;
        }
        char name[32];
        std::snprintf(name, sizeof name, "%016zx", std::hash<std::string>{}(helpers.string()));
        const fs::path folder = fs::path("/run/lockstep-tests") / name;
        std::error_code error;
        fs::create_directories(folder, error);
        for (const fs::path& level : {folder.parent_path(), folder}) {
            fs::permissions(level, fs::perms(0755), error);
        }
        for (const auto& entry : fs::directory_iterator(helpers, error)) {
            const fs::path copy = folder / entry.path().filename();
            if (!entry.is_regular_file() ||
                (fs::exists(copy) && fs::file_size(copy) == entry.file_size() &&
                 fs::last_write_time(copy) >= entry.last_write_time())) {
                continue;
            }
            const fs::path fresh = copy.string() + "." + std::to_string(::getpid());
            fs::copy_file(entry.path(), fresh, fs::copy_options::overwrite_existing, error);
            fs::rename(fresh, copy, error);
        }
        folder_ = folder;
    }

    [[nodiscard]] const std::filesystem::path& folder() const { return folder_; }

  private:
    std::filesystem::path folder_;
};

const TrustedPrograms& trustedPrograms() {
    static const TrustedPrograms programs;
    return programs;
}

}  // namespace

std::filesystem::path trustedTestProgram(std::string_view name) {
    return trustedPrograms().folder() / name;
}

std::optional<std::string> untrustedTestProgramsReason() {
    const std::filesystem::path tool = trustedTestProgram("fake_fdesetup");
    const ProgramTrust trust = checkRootOwnedProgram(tool);
    if (trust.verdict == ProgramTrust::Verdict::trusted) {
        return std::nullopt;
    }
    return "lockstepd would not start the stand-in tool " + tool.string() + ": " +
           (trust.reason.empty() ? std::string("it is missing") : trust.reason) +
           " (run the tests as root)";
}

bool processHasEnded(int pid) {
    // A signal is delivered after kill(2) returns: give it time to act.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    do {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const auto end = stat.rfind(") ");
        if (end == std::string::npos || stat.compare(end + 2, 1, "Z") == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

TrustedTempDir::TrustedTempDir() : TempDir(trustedPrograms().folder()) {}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::filesystem::path& path, std::string_view contents,
               std::filesystem::perms mode) {
    std::filesystem::create_directories(path.parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        if (!out) {
            throw std::runtime_error("cannot write " + path.string());
        }
    }
    std::filesystem::permissions(path, mode);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace lockstep::testing
