#include "platform/hardening.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <csignal>

namespace lockstep {

bool protectMemory() noexcept {
    const bool undumpable = ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
    const rlimit noCore{.rlim_cur = 0, .rlim_max = 0};
    const bool limited = ::setrlimit(RLIMIT_CORE, &noCore) == 0;
    return undumpable && limited;
}

void hardenProcess() noexcept {
    static_cast<void>(protectMemory());
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
}

}  // namespace lockstep
