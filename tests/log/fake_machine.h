#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "log/unified_logger.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

// A machine for the file logger: a root folder, a hand-moved clock, settings,
// user IDs and home folders, and recorded standard error and output.
struct FakeMachine {
    using Clock = LoggerEnvironment::Clock;

    TempDir root;
    // 2023-11-14T22:13:20Z
    Clock::time_point now = Clock::from_time_t(1'700'000'000);
    UserDefaults::Domain settings;
    std::string bundleLogFileName;
    std::uint32_t uid = 0;
    std::map<std::uint32_t, std::string> homes;
    std::string standardError;
    std::string standardOutput;
    int defaultsLoads = 0;

    [[nodiscard]] LoggerEnvironment environment() {
        LoggerEnvironment environment;
        environment.now = [this] { return now; };
        environment.loadUserDefaults = [this] {
            ++defaultsLoads;
            return UserDefaults({settings});
        };
        environment.bundleLogFileName = bundleLogFileName;
        environment.root = root.path();
        environment.realUserID = [this] { return uid; };
        environment.homeFolderForUser = [this](std::uint32_t user) -> std::optional<std::string> {
            const auto found = homes.find(user);
            if (found == homes.end()) {
                return std::nullopt;
            }
            return found->second;
        };
        environment.processName = "lockstepd";
        environment.processID = 4242;
        environment.writeStandardError = [this](std::string_view text) { standardError += text; };
        environment.writeStandardOutput = [this](std::string_view text) { standardOutput += text; };
        return environment;
    }

    // The real path of a path as the logger sees it.
    [[nodiscard]] std::filesystem::path host(const std::filesystem::path& path) const {
        return root.path() / path.relative_path();
    }

    void advance(std::chrono::milliseconds step) { now += step; }

    void showDebug(bool on) { settings["showDebug"] = on; }
};

// Timestamps in these tests are in UTC.
class UtcEnvironment {
  public:
    UtcEnvironment() {
        if (const char* tz = ::getenv("TZ")) {
            saved_ = tz;
        }
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    ~UtcEnvironment() {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    UtcEnvironment(const UtcEnvironment&) = delete;
    UtcEnvironment& operator=(const UtcEnvironment&) = delete;

  private:
    std::optional<std::string> saved_;
};

}  // namespace lockstep::testing
