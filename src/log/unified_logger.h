#pragma once

#include <cstdint>
#include <string_view>

namespace lockstep {

// The file side of the log calls: echoes lines to standard error, folds
// repeats and appends to the log file. Used through one shared instance.
class MDLUnifiedLogger {
public:
    static MDLUnifiedLogger& sharedLogger();

    // Takes one finished line at a level (0 error, 1 information, 2 debug).
    void logString(std::string_view line, std::int64_t level);
};

}  // namespace lockstep
