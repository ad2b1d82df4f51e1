// Copies standard input to standard output as it arrives, until end of input.

#include <unistd.h>

#include <cstddef>

int main() {
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0) {
        for (ssize_t done = 0, written = 0; done < count; done += written) {
            written = ::write(STDOUT_FILENO, buffer + done, static_cast<std::size_t>(count - done));
            if (written <= 0) return 1;
        }
    }
    return count < 0 ? 1 : 0;
}
