#include "platform/scoped_fd.h"

#include <unistd.h>

namespace lockstep {

bool ScopedFD::reset(int fd) noexcept {
    bool ok = true;
    if (fd_ >= 0) {
        // close(2) must not be retried on EINTR on Linux: the descriptor is
        // already released, and a retry could close a descriptor that another
        // open has been given in the meantime.
        ok = ::close(fd_) == 0;
    }
    fd_ = fd;
    return ok;
}

}  // namespace lockstep
