#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lockstep {

// Message types of the unified system log.
enum class LogType { Debug, Default, Error };

// The machine's unified system log. On Linux it is syslog(3); tests use a
// recording twin to read what was sent.
class SystemLog {
  public:
    virtual ~SystemLog() = default;
    // Whether messages of this type reach the log at all.
    [[nodiscard]] virtual bool isEnabled(LogType type) const = 0;
    // Sends one message, unchanged, at the given type.
    virtual void write(LogType type, std::string_view message) = 0;
};

// syslog(3) under a program's identity ("lockstepd" unless told otherwise),
// facility daemon. The debug type maps to LOG_DEBUG, the default type to
// LOG_NOTICE and the error type to LOG_ERR. The message is always passed as a
// "%s" argument, never as a format. One at a time per process: syslog keeps
// one identity.
class SyslogSystemLog final : public SystemLog {
  public:
    explicit SyslogSystemLog(std::string identity = "lockstepd");
    ~SyslogSystemLog() override;
    SyslogSystemLog(const SyslogSystemLog&) = delete;
    SyslogSystemLog& operator=(const SyslogSystemLog&) = delete;

    [[nodiscard]] bool isEnabled(LogType type) const override;
    void write(LogType type, std::string_view message) override;

  private:
    // openlog(3) keeps a pointer to the identity, so it lives here.
    std::string identity_;
};

// Keeps every message in memory, for tests.
class RecordingSystemLog final : public SystemLog {
  public:
    struct Entry {
        LogType type;
        std::string message;
        bool operator==(const Entry&) const = default;
    };

    [[nodiscard]] bool isEnabled(LogType /*type*/) const override { return enabled; }
    void write(LogType type, std::string_view message) override {
        entries.push_back({type, std::string(message)});
    }

    bool enabled = true;
    std::vector<Entry> entries;
};

}  // namespace lockstep
