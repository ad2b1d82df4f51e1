#include "support/log_capture.h"

#include <unistd.h>

#include <sstream>

namespace lockstep::testing {

namespace {

bool holds(const LoggedLine& line, std::string_view text) {
    return line.text.find(text) != std::string::npos;
}

UserDefaults debugDefaults(bool showDebug) {
    return UserDefaults({UserDefaults::Domain{{"showDebug", UserDefaults::Value{showDebug}}}});
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const LoggedLine& line) {
    return out << "[" << line.level << "] " << line.text;
}

LoggerEnvironment testLoggerEnvironment(const std::filesystem::path& root, UserDefaults defaults) {
    LoggerEnvironment environment;
    environment.now = [] { return LoggerEnvironment::Clock::now(); };
    environment.loadUserDefaults = [defaults = std::move(defaults)] { return defaults; };
    environment.root = root;
    environment.realUserID = [] { return std::uint32_t{0}; };
    environment.homeFolderForUser = [](std::uint32_t) -> std::optional<std::string> {
        return "/home/tester";
    };
    environment.processName = "lockstep-test";
    environment.processID = ::getpid();
    environment.writeStandardError = [](std::string_view) {};
    environment.writeStandardOutput = [](std::string_view) {};
    return environment;
}

LogCapture::LogCapture() : LogCapture(Options{}) {}

LogCapture::LogCapture(Options options)
    : logger_([this, options] {
          LoggerEnvironment environment =
              testLoggerEnvironment(folder_.path(), debugDefaults(options.showDebug));
          environment.writeStandardError = [this](std::string_view text) {
              standardError_ += text;
          };
          environment.writeStandardOutput = [this](std::string_view text) {
              standardOutput_ += text;
          };
          environment.lineObserver = [this](std::string_view line, std::int64_t level) {
              lines_.push_back({level, std::string(line)});
          };
          return environment;
      }()),
      systemLogScope_(systemLog_),
      loggerScope_(logger_) {
    logger_.updateLogPath();
}

LogCapture::~LogCapture() = default;

std::vector<LoggedLine> LogCapture::lines(std::int64_t level) const {
    std::vector<LoggedLine> result;
    for (const auto& line : lines_) {
        if (line.level == level) {
            result.push_back(line);
        }
    }
    return result;
}

bool LogCapture::contains(std::string_view text) const {
    return indexOf(text).has_value();
}

bool LogCapture::contains(std::int64_t level, std::string_view text) const {
    for (const auto& line : lines_) {
        if (line.level == level && holds(line, text)) {
            return true;
        }
    }
    return false;
}

std::optional<std::size_t> LogCapture::indexOf(std::string_view text) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (holds(lines_[i], text)) {
            return i;
        }
    }
    return std::nullopt;
}

std::size_t LogCapture::count(std::string_view text) const {
    std::size_t result = 0;
    for (const auto& line : lines_) {
        if (holds(line, text)) {
            ++result;
        }
    }
    return result;
}

bool LogCapture::containsInOrder(std::initializer_list<std::string_view> texts) const {
    std::size_t next = 0;
    for (const auto text : texts) {
        bool found = false;
        for (; next < lines_.size(); ++next) {
            if (holds(lines_[next], text)) {
                found = true;
                ++next;
                break;
            }
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

bool LogCapture::systemContains(std::string_view text) const {
    for (const auto& entry : systemLog_.entries) {
        if (entry.message.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string LogCapture::dump() const {
    std::ostringstream out;
    out << lines_.size() << " logged lines:\n";
    for (const auto& line : lines_) {
        out << line << '\n';
    }
    return out.str();
}

std::string LogCapture::logFileContents() const {
    return readFile(logger_.hostPath(logger_.logFileURL()));
}

void LogCapture::clear() {
    lines_.clear();
    systemLog_.entries.clear();
    standardError_.clear();
    standardOutput_.clear();
}

}  // namespace lockstep::testing
