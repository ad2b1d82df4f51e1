// The file logger's cost per line, on a temporary folder through the logger's
// injectable environment (real clock, no settings, echo to /dev/null):
//
//   BM_FileLogger_WrittenLine     a line that reaches the file: open, append,
//                                 close, with timestamp and process tag.
//   BM_FileLogger_ThousandIdenticalLines
//                                 1,000 identical lines in a row, then the
//                                 logger goes away; they must end up as one
//                                 file line and one repeat report ("Last
//                                 message repeated 999 times"), which the
//                                 benchmark checks in the file every time,
//                                 and they must all fall within the two-second
//                                 folding window.
//   BM_FileLogger_DroppedDebugLine a debug line without "showDebug": dropped.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "log/log.h"
#include "log/unified_logger.h"
#include "platform/scoped_fd.h"

namespace lockstep {
namespace {

namespace fs = std::filesystem;

constexpr int kIdenticalLines = 1000;
constexpr const char* kLine =
    "      keychain_util.cpp:208 findPassword(serviceName:accountName:keychain:) Lockstep "
    "not found in keychain";

double nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// A temporary folder that stands for the logger's "/", and /dev/null for its
// echo, for the whole program.
class Scratch {
  public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "lockstep-bench-log-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root_ = pattern;
        devNull_.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // The environment of a root process: the log file is
    // <root>/tmp/lockstep/generic.log.
    [[nodiscard]] LoggerEnvironment environment() const {
        LoggerEnvironment environment;
        environment.now = [] { return LoggerEnvironment::Clock::now(); };
        environment.loadUserDefaults = [] { return UserDefaults(); };
        environment.root = root_;
        environment.realUserID = [] { return std::uint32_t{0}; };
        environment.homeFolderForUser = [](std::uint32_t) {
            return std::optional<std::string>("/root");
        };
        environment.processName = "lockstepd";
        environment.processID = ::getpid();
        const int fd = devNull_.get();
        environment.writeStandardError = [fd](std::string_view text) {
            static_cast<void>(::write(fd, text.data(), text.size()));
        };
        environment.writeStandardOutput = environment.writeStandardError;
        return environment;
    }

    [[nodiscard]] fs::path logFile() const { return root_ / "tmp/lockstep/generic.log"; }

  private:
    fs::path root_;
    ScopedFD devNull_;
};

Scratch& scratch() {
    static Scratch instance;
    return instance;
}

std::vector<std::string> fileLines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

void BM_FileLogger_WrittenLine(benchmark::State& state) {
    std::error_code ignored;
    fs::remove(scratch().logFile(), ignored);
    MDLUnifiedLogger logger(scratch().environment());
    logger.updateLogPath();
    std::int64_t index = 0;
    const std::string base = kLine;
    for (auto _ : state) {
        // A different line each time, so that none is folded.
        logger.logString(base + " " + std::to_string(index++), kLogLevelInfo);
    }
    state.SetItemsProcessed(state.iterations());
    if (fileLines(scratch().logFile()).size() != static_cast<std::size_t>(state.iterations())) {
        state.SkipWithError("not every line reached the file");
    }
}
BENCHMARK(BM_FileLogger_WrittenLine);

void BM_FileLogger_ThousandIdenticalLines(benchmark::State& state) {
    const fs::path file = scratch().logFile();
    double slowestNs = 0;
    double totalNs = 0;
    for (auto _ : state) {
        std::error_code ignored;
        fs::remove(file, ignored);
        auto logger = std::make_unique<MDLUnifiedLogger>(scratch().environment());
        logger->updateLogPath();
        const double start = nowNs();
        for (int i = 0; i < kIdenticalLines; ++i) {
            logger->logString(kLine, kLogLevelInfo);
        }
        // The pending count is written when the logger goes away.
        logger.reset();
        const double elapsed = nowNs() - start;
        state.SetIterationTime(elapsed / 1e9);
        slowestNs = std::max(slowestNs, elapsed);
        totalNs += elapsed;

        const auto lines = fileLines(file);
        const std::string report =
            ":Last message repeated " + std::to_string(kIdenticalLines - 1) + " times";
        if (lines.size() != 2 || !lines[0].ends_with(std::string(": ") + kLine) ||
            !lines[1].ends_with(report)) {
            state.SkipWithError("1,000 identical lines did not fold into one line and one report");
            return;
        }
    }
    if (slowestNs >= 2e9) {
        state.SkipWithError("1,000 identical lines took longer than the two-second window");
        return;
    }
    state.SetItemsProcessed(state.iterations() * kIdenticalLines);
    state.counters["ns_per_line"] =
        totalNs / static_cast<double>(state.iterations() * kIdenticalLines);
    state.counters["file_lines"] = 1;
    state.counters["repeat_reports"] = 1;
    state.counters["slowest_ms"] = slowestNs / 1e6;
}
BENCHMARK(BM_FileLogger_ThousandIdenticalLines)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_FileLogger_DroppedDebugLine(benchmark::State& state) {
    MDLUnifiedLogger logger(scratch().environment());
    logger.updateLogPath();
    for (auto _ : state) {
        logger.logString(kLine, kLogLevelDebug);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FileLogger_DroppedDebugLine);

}  // namespace
}  // namespace lockstep

BENCHMARK_MAIN();
