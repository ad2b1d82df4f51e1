#include "support/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/trusted_program.h"

namespace lockstep::testing {

namespace fs = std::filesystem;

TempDir::TempDir() : TempDir(fs::temp_directory_path()) {}

TempDir::TempDir(const fs::path& parent) {
    std::string pattern = (parent / "lockstep-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed in " + parent.string());
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

namespace {

// Copies of the test programs in a folder under /run that only root can
// write, one per build, shared by every test process (a copy is replaced by
// renaming a fresh one over it when the program was rebuilt). Not root: the
// build's own folder, which then fails the check with its reason.
fs::path trustedProgramsFolder() {
    static const fs::path folder = [] {
        const fs::path helpers = LOCKSTEP_TEST_HELPERS_DIR;
        if (::geteuid() != 0) return helpers;
        const fs::path copies = fs::path("/run/lockstep-tests") /
                                std::to_string(std::hash<std::string>{}(helpers.string()));
        std::error_code error;
        fs::create_directories(copies, error);
        fs::permissions(copies.parent_path(), fs::perms(0755), error);
        fs::permissions(copies, fs::perms(0755), error);
        for (const auto& entry : fs::directory_iterator(helpers, error)) {
            const fs::path copy = copies / entry.path().filename();
            if (entry.is_regular_file() &&
                (!fs::exists(copy) || fs::file_size(copy) != entry.file_size() ||
                 fs::last_write_time(copy) < entry.last_write_time())) {
                const fs::path fresh = copy.string() + "." + std::to_string(::getpid());
                fs::copy_file(entry.path(), fresh, fs::copy_options::overwrite_existing, error);
                fs::rename(fresh, copy, error);
            }
        }
        return copies;
    }();
    return folder;
}

}  // namespace

fs::path trustedTestProgram(std::string_view name) {
    return trustedProgramsFolder() / name;
}

std::optional<std::string> untrustedTestProgramsReason() {
    const fs::path tool = trustedTestProgram("fake_fdesetup");
    const ProgramTrust trust = checkRootOwnedProgram(tool);
    if (trust.verdict == ProgramTrust::Verdict::trusted) return std::nullopt;
    return "lockstepd would not start the stand-in tool " + tool.string() + ": " +
           (trust.reason.empty() ? std::string("it is missing") : trust.reason) +
           " (run the tests as root)";
}

TrustedTempDir::TrustedTempDir() : TempDir(trustedProgramsFolder()) {}

bool processHasEnded(int pid) {
    // A signal is delivered after kill(2) returns: give it time to act.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    do {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const auto end = stat.rfind(") ");
        if (end == std::string::npos || stat.compare(end + 2, 1, "Z") == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

void writeFile(const fs::path& path, std::string_view contents, fs::perms mode) {
    fs::create_directories(path.parent_path());
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << contents))
        throw std::runtime_error("cannot write " + path.string());
    fs::permissions(path, mode);
}

std::string readFile(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

}  // namespace lockstep::testing
