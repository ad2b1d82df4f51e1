// A stand-in for the restart tool, steered by environment variables that the
// test sets for its own children:
//   FAKE_FDESETUP_RECORD  path prefix: writes its arguments (NUL-terminated,
//                         argv[0] left out) to PREFIX.args, its environment
//                         (NUL-terminated) to PREFIX.env and everything it
//                         read on standard input to PREFIX.stdin
//   FAKE_FDESETUP_READ    "0": exit without reading standard input
//   FAKE_FDESETUP_OUTPUT  writes to make, separated by "|": "1:text" goes to
//                         standard output, "2:text" to standard error
//   FAKE_FDESETUP_FLOOD   a byte count: then writes that many bytes (rounded
//                         up to whole 64-byte lines) to standard output
//   FAKE_FDESETUP_PARENT  with RECORD set: copies its parent's (the daemon's)
//                         /proc/PID/limits to PREFIX.parent-limits
//   FAKE_FDESETUP_LINGER  seconds: then leaves a grandchild that holds standard
//                         output and error open that long (its process id
//                         goes to PREFIX.grandchild)
//   FAKE_FDESETUP_HANG    then never exits by itself: "1" until a signal
//                         ends it, "ignore-term" the same with SIGTERM ignored
//   FAKE_FDESETUP_END     exit status (default 0), or "sN" to die by signal N

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

extern char** environ;

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv((std::string("FAKE_FDESETUP_") + name).c_str());
    return value == nullptr ? std::string() : std::string(value);
}

void writeText(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written <= 0) return;
        done += static_cast<std::size_t>(written);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string input;
    char buffer[4096];
    for (ssize_t count = 0;
         variable("READ") != "0" && (count = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0;) {
        input.append(buffer, static_cast<std::size_t>(count));
    }
    if (const std::string record = variable("RECORD"); !record.empty()) {
        std::ofstream args(record + ".args", std::ios::binary),
            env(record + ".env", std::ios::binary);
        for (int i = 1; i < argc; ++i) args << argv[i] << '\0';
        for (char** entry = environ; *entry != nullptr; ++entry) env << *entry << '\0';
        std::ofstream(record + ".stdin", std::ios::binary) << input;
        if (!variable("PARENT").empty()) {
            std::ofstream(record + ".parent-limits")
                << std::ifstream("/proc/" + std::to_string(::getppid()) + "/limits").rdbuf();
        }
    }
    std::istringstream output(variable("OUTPUT"));
    for (std::string step; std::getline(output, step, '|');) {
        if (step.size() >= 2 && step[1] == ':')
            writeText(step[0] == '2' ? STDERR_FILENO : STDOUT_FILENO, step.substr(2));
    }
    for (long left = std::atol(variable("FLOOD").c_str()); left > 0; left -= 64)
        writeText(STDOUT_FILENO, std::string(63, 'x') + "\n");
    if (const std::string linger = variable("LINGER"); !linger.empty()) {
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::sleep(static_cast<unsigned>(std::atoi(linger.c_str())));
            ::_exit(0);
        }
        if (!variable("RECORD").empty())
            std::ofstream(variable("RECORD") + ".grandchild") << grandchild;
    }
    if (const std::string hang = variable("HANG"); !hang.empty()) {
        ::signal(SIGTERM, hang == "ignore-term" ? SIG_IGN : SIG_DFL);
        for (;;) ::pause();
    }
    const std::string end = variable("END");
    if (end.starts_with('s')) {
        ::kill(::getpid(), std::atoi(end.c_str() + 1));
        ::pause();
    }
    return std::atoi(end.c_str());
}
