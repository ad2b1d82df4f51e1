// noisy_child ERR_COUNT ERR_TEXT OUT_COUNT OUT_TEXT [END]
//
// Writes ERR_TEXT ERR_COUNT times to standard error, and then OUT_TEXT
// OUT_COUNT times to standard output, in writes of an odd size so that reads
// on the other side split multi-byte characters. Never reads its input. END
// is an exit status (default 0), or "sN" to kill itself with signal N.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

bool writeRepeated(int fd, const std::string& pattern, long count) {
    std::string data;
    for (long i = 0; i < count; ++i) data += pattern;
    for (std::size_t done = 0, size = data.size(); done < size;) {
        const ssize_t written =
            ::write(fd, data.data() + done, std::min<std::size_t>(size - done, 1001));
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || !writeRepeated(STDERR_FILENO, argv[2], std::atol(argv[1])) ||
        !writeRepeated(STDOUT_FILENO, argv[4], std::atol(argv[3]))) {
        return argc < 5 ? 2 : 3;
    }
    const std::string end = argc > 5 ? argv[5] : "0";
    if (end.starts_with('s')) {
        ::kill(::getpid(), std::atoi(end.c_str() + 1));
        ::pause();
    }
    return std::atoi(end.c_str());
}
