// noisy_child ERR_COUNT ERR_TEXT OUT_COUNT OUT_TEXT [END]
//
// Writes ERR_TEXT ERR_COUNT times to standard error, and then OUT_TEXT
// OUT_COUNT times to standard output, in writes of an odd size so that reads
// on the other side split multi-byte characters. Never reads its input. END
// is an exit status (default 0), or "sN" to kill itself with signal N.

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

bool writeAll(int fd, const std::string& data) {
    constexpr std::size_t kPiece = 1001;
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t length = data.size() - done < kPiece ? data.size() - done : kPiece;
        const ssize_t written = ::write(fd, data.data() + done, length);
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

std::string repeated(const std::string& pattern, long count) {
    std::string text;
    for (long i = 0; i < count; ++i) {
        text += pattern;
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        return 2;
    }
    const std::string end = argc > 5 ? argv[5] : "0";
    if (!writeAll(STDERR_FILENO, repeated(argv[2], std::atol(argv[1]))) ||
        !writeAll(STDOUT_FILENO, repeated(argv[4], std::atol(argv[3])))) {
        return 3;
    }
    if (!end.empty() && end[0] == 's') {
        ::kill(::getpid(), std::atoi(end.c_str() + 1));
        ::pause();
    }
    return std::atoi(end.c_str());
}
