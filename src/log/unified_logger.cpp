#include "log/unified_logger.h"

#include <iostream>

namespace lockstep {

// Placeholder until the file logger lands: echoes to standard error.
MDLUnifiedLogger& MDLUnifiedLogger::sharedLogger() {
    static MDLUnifiedLogger logger;
    return logger;
}

void MDLUnifiedLogger::logString(std::string_view line, std::int64_t level) {
    if (level == 2) {
        return;
    }
    std::cerr << line << '\n';
}

}  // namespace lockstep
