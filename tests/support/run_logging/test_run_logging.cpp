// Keeps every test program away from the machine's syslog and log folder:
// from static initialisation to the end of the run, log calls go to a
// discarding system log and to a file logger inside a temporary folder.
// LogCapture takes over from it for the tests that read what was logged.

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

class DiscardingSystemLog final : public SystemLog {
  public:
    [[nodiscard]] bool isEnabled(LogType /*type*/) const override { return true; }
    void write(LogType /*type*/, std::string_view /*message*/) override {}
};

// The run's temporary folder, removed at exit.
TempDir& runFolder() {
    static TempDir folder;
    return folder;
}

class TestRunLogging final : public ::testing::Environment {
  public:
    TestRunLogging() { logger_.updateLogPath(); }

  private:
    DiscardingSystemLog systemLog_;
    MDLUnifiedLogger logger_{testLoggerEnvironment(runFolder().path(), true)};
    ScopedSystemLog systemLogScope_{systemLog_};
    ScopedSharedLogger loggerScope_{logger_};
};

// gtest takes ownership of the environment and deletes it at the end.
[[maybe_unused]] ::testing::Environment* const testRunLogging =
    ::testing::AddGlobalTestEnvironment(std::make_unique<TestRunLogging>().release());

}  // namespace
}  // namespace lockstep::testing
