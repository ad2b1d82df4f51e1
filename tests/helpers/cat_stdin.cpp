// Copies standard input to standard output as it arrives, until end of input.

#include <unistd.h>

#include <array>

int main() {
    std::array<char, 4096> buffer{};
    while (true) {
        const ssize_t count = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (count == 0) {
            return 0;
        }
        if (count < 0) {
            return 1;
        }
        ssize_t done = 0;
        while (done < count) {
            const ssize_t written = ::write(STDOUT_FILENO, buffer.data() + done,
                                            static_cast<std::size_t>(count - done));
            if (written <= 0) {
                return 1;
            }
            done += written;
        }
    }
}
