// lockstepctl enrol: the enrolment of `lockstepd --set-user`, with the
// password read from the terminal or standard input instead of the command
// line, where every local user could read it.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ostream>

#include "ctl/commands.h"
#include "daemon/password_daemon.h"
#include "filevault/fdesetup_helper.h"
#include "platform/bytes.h"
#include "platform/scoped_fd.h"

namespace lockstep::ctl {

namespace {

constexpr std::size_t kMaxPasswordBytes = 4096;

// Reads one line (without its line feed, or carriage return and line feed)
// one byte at a time, so nothing after the line is taken from the input.
// Nothing, with the reason in `why`, when there is no line or it is too long.
std::optional<SecretString> readLine(int fd, std::string* why) {
    std::array<char, kMaxPasswordBytes> buffer{};
    std::size_t length = 0;
    bool sawAnything = false;
    std::optional<SecretString> line;
    for (;;) {
        char c = 0;
        const ssize_t count = ::read(fd, &c, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            *why = std::string("cannot read the password: ") + std::strerror(errno);
            break;
        }
        if (count == 0 && !sawAnything) {
            *why = "no password was given";
            break;
        }
        sawAnything = true;
        if (count == 0 || c == '\n') {
            if (length > 0 && buffer[length - 1] == '\r') {
                --length;
            }
            line.emplace(std::string_view(buffer.data(), length));
            break;
        }
        if (length == buffer.size()) {
            *why = "the password is longer than " + std::to_string(kMaxPasswordBytes) + " bytes";
            break;
        }
        buffer[length++] = c;
    }
    secureWipe(buffer.data(), buffer.size());
    return line;
}

// The terminal's settings while echo is off, for the signal handler that puts
// them back when the user interrupts the prompt.
int echoOffTerminal = -1;
termios echoOnSettings{};

extern "C" void restoreEchoAndResignal(int signal) {
    // Nothing is left to do about a failure inside the handler.
    static_cast<void>(::tcsetattr(echoOffTerminal, TCSAFLUSH, &echoOnSettings));
    static_cast<void>(std::signal(signal, SIG_DFL));
    static_cast<void>(std::raise(signal));
}

// Turns echo off on a terminal for its lifetime; an interrupt, hang-up or
// termination on the way puts it back before the process ends.
class EchoOff {
  public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd, &saved_) != 0) {
            return;
        }
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        echoOffTerminal = fd;
        echoOnSettings = saved_;
        for (const int signal : kSignals) {
            static_cast<void>(std::signal(signal, restoreEchoAndResignal));
        }
        active_ = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) {
            static_cast<void>(::tcsetattr(fd_, TCSAFLUSH, &saved_));
        }
        for (const int signal : kSignals) {
            static_cast<void>(std::signal(signal, SIG_DFL));
        }
        echoOffTerminal = -1;
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    static constexpr std::array<int, 4> kSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    int fd_;
    termios saved_{};
    bool active_ = false;
};

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Asks twice on the controlling terminal, without echo.
std::optional<SecretString> askOnTerminal(const std::filesystem::path& terminal,
                                          std::string_view user, std::string* why) {
    const ScopedFD tty(::open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!tty.valid() || ::isatty(tty.get()) != 1) {
        *why =
            "no terminal to ask for the password on: give it on standard input with "
            "--password-stdin";
        return std::nullopt;
    }
    const EchoOff echoOff(tty.get());
    writeAll(tty.get(), "Password of " + std::string(user) + ": ");
    std::optional<SecretString> first = readLine(tty.get(), why);
    if (!first) {
        return std::nullopt;
    }
    writeAll(tty.get(), "Retype the password: ");
    const std::optional<SecretString> second = readLine(tty.get(), why);
    if (!second) {
        return std::nullopt;
    }
    if (!(*first == *second)) {
        *why = "the passwords do not match";
        return std::nullopt;
    }
    return first;
}

}  // namespace

CommandResult enrol(const Services& services, const std::string& user, bool fromStandardInput,
                    std::ostream& out) {
    if (!FDESetupHelper::requestCanCarry(user)) {
        return {ExitStatus::usage, "the account name is not UTF-8 text the restart tool can take"};
    }
    std::string why;
    std::optional<SecretString> password = fromStandardInput
                                               ? readLine(services.passwordInput, &why)
                                               : askOnTerminal(services.terminal, user, &why);
    if (!password) {
        return {ExitStatus::failure, why};
    }
    if (!FDESetupHelper::requestCanCarry(password->view())) {
        return {ExitStatus::usage, "the password is not UTF-8 text the restart tool can take"};
    }
    const PasswordDaemon command{.setUser = true, .user = user, .password = std::move(password)};
    const RunOutcome outcome = command.perform(services.context, out);
    return {outcome.armed ? ExitStatus::ok : ExitStatus::failure, ""};
}

}  // namespace lockstep::ctl
