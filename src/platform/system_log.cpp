#include "platform/system_log.h"

#include <syslog.h>

#include <string>
#include <utility>

namespace lockstep {

namespace {
int priorityFor(LogType type) {
    switch (type) {
        case LogType::Debug:
            return LOG_DEBUG;
        case LogType::Error:
            return LOG_ERR;
        case LogType::Default:
            break;
    }
    return LOG_NOTICE;
}
}  // namespace

SyslogSystemLog::SyslogSystemLog(std::string identity) : identity_(std::move(identity)) {
    ::openlog(identity_.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

SyslogSystemLog::~SyslogSystemLog() {
    ::closelog();
}

bool SyslogSystemLog::isEnabled(LogType type) const {
    const int mask = ::setlogmask(0);
    return (mask & LOG_MASK(priorityFor(type))) != 0;
}

void SyslogSystemLog::write(LogType type, std::string_view message) {
    const std::string text(message);
    ::syslog(priorityFor(type), "%s", text.c_str());
}

}  // namespace lockstep
