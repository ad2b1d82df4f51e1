// The stand-in restart tool of the restart_tool_limits benchmark. Like a real
// tool it first reads its whole input; then the variable LOCKSTEP_BENCH_TOOL,
// which lockstepd passes on in the environment, says how it misbehaves:
//   (unset)   exits with status 0
//   flood:N   writes N bytes to its output in 64 KiB writes, then exits 0
//   hang      ignores SIGTERM and never exits by itself
//   linger    exits 0 at once, leaving a child that holds its output open
//             for ten minutes

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main() {
    std::vector<char> buffer(64 * 1024, 'x');
    while (::read(STDIN_FILENO, buffer.data(), buffer.size()) > 0) {
    }
    std::memset(buffer.data(), 'x', buffer.size());
    const char* setting = std::getenv("LOCKSTEP_BENCH_TOOL");
    const std::string mode = setting == nullptr ? "" : setting;
    if (mode.rfind("flood:", 0) == 0) {
        for (long long left = std::atoll(mode.c_str() + 6); left > 0;) {
            const auto piece = static_cast<std::size_t>(
                std::min<long long>(left, static_cast<long long>(buffer.size())));
            const ssize_t written = ::write(STDOUT_FILENO, buffer.data(), piece);
            if (written <= 0) {
                return 1;
            }
            left -= written;
        }
    } else if (mode == "hang") {
        ::signal(SIGTERM, SIG_IGN);
        for (;;) {
            ::pause();
        }
    } else if (mode == "linger") {
        if (::fork() == 0) {
            ::sleep(600);
        }
    }
    return 0;
}
