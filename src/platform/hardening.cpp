#include "platform/hardening.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <csignal>

namespace lockstep {

void hardenProcess() noexcept {
    static_cast<void>(::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0));
    const rlimit noCore{.rlim_cur = 0, .rlim_max = 0};
    static_cast<void>(::setrlimit(RLIMIT_CORE, &noCore));
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
}

}  // namespace lockstep
