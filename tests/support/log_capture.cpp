#include "support/log_capture.h"

#include <unistd.h>

#include <algorithm>
#include <sstream>

namespace lockstep::testing {

std::ostream& operator<<(std::ostream& out, const LoggedLine& line) {
    return out << "[" << line.level << "] " << line.text;
}

LoggerEnvironment testLoggerEnvironment(const std::filesystem::path& root, bool showDebug) {
    LoggerEnvironment environment;
    environment.now = [] { return LoggerEnvironment::Clock::now(); };
    environment.loadUserDefaults = [showDebug] {
        return UserDefaults({{{"showDebug", UserDefaults::Value{showDebug}}}});
    };
    environment.root = root;
    environment.realUserID = [] { return std::uint32_t{0}; };
    environment.homeFolderForUser = [](std::uint32_t) { return std::optional<std::string>(); };
    environment.processName = "lockstep-test";
    environment.processID = ::getpid();
    environment.writeStandardError = [](std::string_view) {};
    environment.writeStandardOutput = [](std::string_view) {};
    return environment;
}

LogCapture::LogCapture(bool showDebug)
    : logger_([this, showDebug] {
          LoggerEnvironment environment = testLoggerEnvironment(folder_.path(), showDebug);
          environment.writeStandardError = [this](std::string_view text) {
              standardError_ += text;
          };
          environment.lineObserver = [this](std::string_view line, std::int64_t level) {
              lines_.push_back({level, std::string(line)});
          };
          return environment;
      }()),
      systemLogScope_(systemLog),
      loggerScope_(logger_) {
    logger_.updateLogPath();
}

std::vector<LoggedLine> LogCapture::lines(std::int64_t level) const {
    std::vector<LoggedLine> result;
    std::ranges::copy_if(lines_, std::back_inserter(result),
                         [level](const LoggedLine& line) { return line.level == level; });
    return result;
}

bool LogCapture::contains(std::int64_t level, std::string_view text) const {
    return std::ranges::any_of(lines(level), [&](const LoggedLine& line) {
        return line.text.find(text) != std::string::npos;
    });
}

std::size_t LogCapture::count(std::string_view text) const {
    return static_cast<std::size_t>(std::ranges::count_if(
        lines_, [&](const LoggedLine& line) { return line.text.find(text) != std::string::npos; }));
}

bool LogCapture::containsInOrder(std::initializer_list<std::string_view> texts) const {
    auto next = lines_.begin();
    for (const auto text : texts) {
        next = std::find_if(next, lines_.end(), [&](const LoggedLine& line) {
            return line.text.find(text) != std::string::npos;
        });
        if (next++ == lines_.end()) return false;
    }
    return true;
}

bool LogCapture::systemContains(std::string_view text) const {
    return std::ranges::any_of(systemLog.entries, [&](const auto& entry) {
        return entry.message.find(text) != std::string::npos;
    });
}

std::string LogCapture::dump() const {
    std::ostringstream out;
    out << lines_.size() << " logged lines:\n";
    for (const auto& line : lines_) out << line << '\n';
    return out.str();
}

void LogCapture::clear() {
    lines_.clear();
    systemLog.entries.clear();
    standardError_.clear();
}

}  // namespace lockstep::testing
