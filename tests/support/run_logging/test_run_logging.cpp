// Keeps every test program away from the machine's syslog and log folder:
// from static initialisation to the end of the run, log calls go to a
// discarding system log and to a file logger inside a temporary folder.
// LogCapture takes over from it for the tests that read what was logged.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include "log/log.h"
#include "log/unified_logger.h"
#include "platform/system_log.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

// A system log that takes every message and keeps none.
class DiscardingSystemLog final : public SystemLog {
  public:
    [[nodiscard]] bool isEnabled(LogType /*type*/) const override { return true; }
    void write(LogType /*type*/, std::string_view /*message*/) override {}
};

// The run's temporary folder. gtest never destroys its environments, so the
// folder is removed by an exit handler, and only by the process that made it,
// so that a forked child that exits does not take it from its parent.
struct RunFolderState {
    std::filesystem::path path;
    pid_t owner = 0;
};

RunFolderState& runFolderState() {
    static RunFolderState state;
    return state;
}

void removeRunFolder() {
    const RunFolderState& state = runFolderState();
    if (::getpid() == state.owner) {
        std::error_code ignored;
        std::filesystem::remove_all(state.path, ignored);
    }
}

class RunFolder {
  public:
    RunFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lockstep-test-run-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        RunFolderState& state = runFolderState();
        state.path = pattern;
        state.owner = ::getpid();
        std::atexit(removeRunFolder);
    }
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return runFolderState().path; }
};

UserDefaults showDebugDefaults() {
    return UserDefaults({UserDefaults::Domain{{"showDebug", UserDefaults::Value{true}}}});
}

class TestRunLogging final : public ::testing::Environment {
  public:
    TestRunLogging()
        : logger_(testLoggerEnvironment(folder_.path(), showDebugDefaults())),
          systemLogScope_(systemLog_),
          loggerScope_(logger_) {
        logger_.updateLogPath();
    }

  private:
    RunFolder folder_;
    DiscardingSystemLog systemLog_;
    MDLUnifiedLogger logger_;
    ScopedSystemLog systemLogScope_;
    ScopedSharedLogger loggerScope_;
};

// gtest takes ownership of the environment and deletes it at the end.
[[maybe_unused]] ::testing::Environment* const testRunLogging =
    ::testing::AddGlobalTestEnvironment(std::make_unique<TestRunLogging>().release());

}  // namespace
}  // namespace lockstep::testing
