#include "support/temp_dir.h"

#include <stdlib.h>

#include <chrono>
#include <fstream>
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

std::optional<std::string> untrustedTestProgramsReason() {
    const std::filesystem::path tool = LOCKSTEP_TEST_HELPERS_DIR "/fake_fdesetup";
    const ProgramTrust trust = checkRootOwnedProgram(tool);
    if (trust.verdict == ProgramTrust::Verdict::trusted) {
        return std::nullopt;
    }
    return "lockstepd would not start the stand-in tool " + tool.string() + ": " +
           (trust.reason.empty() ? std::string("it is missing") : trust.reason) +
           " (build and run the tests as root, in folders only root can write)";
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

TrustedTempDir::TrustedTempDir()
    : TempDir(std::filesystem::path(LOCKSTEP_TEST_HELPERS_DIR).parent_path()) {}

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
