#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace lockstep {

namespace {

constexpr std::size_t kReadChunk = std::size_t{64} * 1024;

// How often a bounded wait looks for the child's exit where the kernel offers
// no process descriptor to watch (before Linux 5.3).
constexpr std::chrono::milliseconds kExitPollInterval{10};

// A descriptor that becomes readable when the child ends (close-on-exec, as
// every process descriptor is); -1 where the kernel has none (before 5.3).
// Called through syscall(2): Debian 12's C library declares pidfd_open
// without C linkage for C++.
[[nodiscard]] int openProcessDescriptor(int pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
}

// Lowest descriptor number our pipe ends may take. Keeping them above the
// three standard descriptors means that, even when the daemon was started
// with one of those closed, no pipe end is overwritten by the dup2 that puts
// another one in place in the child.
constexpr int kFirstPrivateFd = 3;

[[nodiscard]] ScopedFD aboveStandardDescriptors(ScopedFD fd) {
    if (!fd.valid() || fd.get() >= kFirstPrivateFd) {
        return fd;
    }
    return ScopedFD(::fcntl(fd.get(), F_DUPFD_CLOEXEC, kFirstPrivateFd));
}

struct PipeEnds {
    ScopedFD read;
    ScopedFD write;
};

// A close-on-exec pipe; errno is set when it could not be made.
[[nodiscard]] std::optional<PipeEnds> makePipe() {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    PipeEnds ends{aboveStandardDescriptors(ScopedFD(fds[0])),
                  aboveStandardDescriptors(ScopedFD(fds[1]))};
    if (!ends.read.valid() || !ends.write.valid()) {
        return std::nullopt;
    }
    return ends;
}

// Owner of one of the spawn attribute objects, so every path destroys it.
template <typename Object, int (*init)(Object*), int (*destroy)(Object*)>
class SpawnObject {
  public:
    SpawnObject() { error_ = init(&object_); }
    ~SpawnObject() {
        if (error_ == 0) {
            destroy(&object_);
        }
    }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;

    [[nodiscard]] int initError() const { return error_; }
    [[nodiscard]] Object* get() { return &object_; }

  private:
    Object object_{};
    int error_ = 0;
};

using FileActions = SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                ::posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// Writes once, with SIGPIPE blocked in the calling thread. A write to a pipe
// whose reader has gone raises SIGPIPE at the writing thread, whose default
// action would end the daemon; blocked, it stays pending and the write fails
// with EPIPE instead. The pending signal is then taken off with a zero-timeout
// sigtimedwait (unless one was already pending before the write, which is not
// ours to consume), and the thread's mask is restored. Unlike ignoring SIGPIPE
// for the whole process, this changes nothing for other threads or for child
// processes, which inherit dispositions.
ssize_t writeWithoutSigpipe(int fd, const std::uint8_t* data, std::size_t length) {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t previousMask;
    const bool masked = ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask) == 0;
    sigset_t pending;
    sigemptyset(&pending);
    const bool alreadyPending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;

    ssize_t written = 0;
    do {
        written = ::write(fd, data, length);
    } while (written < 0 && errno == EINTR);
    const int writeErrno = errno;

    if (masked) {
        if (written < 0 && writeErrno == EPIPE && !alreadyPending) {
            const timespec noWait{0, 0};
            while (::sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    }
    errno = writeErrno;
    return written;
}

[[nodiscard]] ExitStatus decodeWaitStatus(int status) {
    if (WIFSIGNALED(status)) {
        return ExitStatus{false, WTERMSIG(status)};
    }
    return ExitStatus{true, WEXITSTATUS(status)};
}

// Blocks until `pid` has ended; nothing when it cannot be waited for.
[[nodiscard]] std::optional<ExitStatus> waitForPid(int pid) {
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    if (result != pid) {
        return std::nullopt;
    }
    return decodeWaitStatus(status);
}

// Reads what one readable pipe offers, keeping what fits below `limit` bytes
// in `into` and counting the rest in `dropped`. False once the stream has
// ended or failed, when the pipe should be closed.
bool readAvailable(int fd, Bytes& into, std::vector<std::uint8_t>& buffer,
                   std::size_t limit = SIZE_MAX, std::uint64_t* dropped = nullptr) {
    ssize_t count = 0;
    do {
        count = ::read(fd, buffer.data(), buffer.size());
    } while (count < 0 && errno == EINTR);
    if (count > 0) {
        const auto got = static_cast<std::size_t>(count);
        const std::size_t room = limit > into.size() ? limit - into.size() : 0;
        const std::size_t kept = std::min(got, room);
        into.insert(into.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(kept));
        if (dropped != nullptr) {
            *dropped += got - kept;
        }
        return true;
    }
    return count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// Writes what the non-blocking pipe takes of the rest of `input`. The pipe
// is closed once everything is written, or when the reader has gone (then
// `delivered` turns false).
void writeAvailable(ScopedFD& pipe, std::span<const std::uint8_t> input, std::size_t& written,
                    bool& delivered) {
    const ssize_t sent =
        writeWithoutSigpipe(pipe.get(), input.data() + written, input.size() - written);
    if (sent > 0) {
        written += static_cast<std::size_t>(sent);
        if (written == input.size()) {
            pipe.reset();
        }
    } else if (!(sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
        // EPIPE: the child closed its input or ended without reading it.
        delivered = false;
        pipe.reset();
    }
}

// Milliseconds from now until `deadline` for poll(2), rounded up.
int pollTimeout(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

}  // namespace

Process::Process(int pid, ScopedFD input, ScopedFD output, ScopedFD error, bool groupLeader)
    : pid_(pid),
      input_(std::move(input)),
      output_(std::move(output)),
      error_(std::move(error)),
      groupLeader_(groupLeader) {}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      error_(std::move(other.error_)),
      status_(std::exchange(other.status_, std::nullopt)),
      groupLeader_(other.groupLeader_) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        closePipes();
        reap();
        pid_ = std::exchange(other.pid_, -1);
        input_ = std::move(other.input_);
        output_ = std::move(other.output_);
        error_ = std::move(other.error_);
        status_ = std::exchange(other.status_, std::nullopt);
        groupLeader_ = other.groupLeader_;
    }
    return *this;
}

Process::~Process() {
    closePipes();
    reap();
}

void Process::closePipes() noexcept {
    input_.reset();
    output_.reset();
    error_.reset();
}

void Process::reap() noexcept {
    if (pid_ > 0 && !status_) {
        status_ = waitForPid(pid_);
    }
}

void Process::closeInput() {
    input_.reset();
}

std::optional<ExitStatus> Process::wait() {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    reap();
    return status_;
}

void Process::detach() {
    closePipes();
    if (pid_ <= 0 || status_) {
        pid_ = -1;
        return;
    }
    const int pid = std::exchange(pid_, -1);
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(pid, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result != 0) {
        return;  // already ended (and now reaped), or not ours to wait for
    }
    try {
        std::thread([pid] { static_cast<void>(waitForPid(pid)); }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: reap it here rather than leave a zombie.
        static_cast<void>(waitForPid(pid));
    }
}

bool Process::prepareInput(std::span<const std::uint8_t> input) {
    if (!input_.valid()) {
        return input.empty();
    }
    if (input.empty()) {
        input_.reset();
        return true;
    }
    // Non-blocking, so a write never waits for the child while its output
    // pipes fill up; poll says when there is room again.
    const int flags = ::fcntl(input_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(input_.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        input_.reset();
        return false;
    }
    return true;
}

void Process::signalChild(int signal) const noexcept {
    // The child is not reaped before its owner says so, so its process id
    // (and the group named after it) cannot have gone to another process.
    if (pid_ > 0 && !status_) {
        static_cast<void>(::kill(groupLeader_ ? -pid_ : pid_, signal));
    }
}

ProcessOutput Process::communicate(std::span<const std::uint8_t> input) {
    ProcessOutput result;
    result.inputDelivered = prepareInput(input);
    std::size_t written = 0;
    std::vector<std::uint8_t> buffer(kReadChunk);
    while (input_.valid() || output_.valid() || error_.valid()) {
        std::array<pollfd, 3> fds{};
        nfds_t count = 0;
        const auto add = [&](const ScopedFD& fd, short events) -> pollfd* {
            if (!fd.valid()) {
                return nullptr;
            }
            pollfd& entry = fds[count++];
            entry.fd = fd.get();
            entry.events = events;
            return &entry;
        };
        const pollfd* inputEntry = add(input_, POLLOUT);
        const pollfd* outputEntry = add(output_, POLLIN);
        const pollfd* errorEntry = add(error_, POLLIN);

        if (::poll(fds.data(), count, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Cannot watch the pipes any more: give up on all of them.
            result.inputDelivered = result.inputDelivered && !input_.valid();
            break;
        }

        if (inputEntry != nullptr && inputEntry->revents != 0) {
            writeAvailable(input_, input, written, result.inputDelivered);
        }
        if (outputEntry != nullptr && outputEntry->revents != 0 &&
            !readAvailable(output_.get(), result.output, buffer)) {
            output_.reset();
        }
        if (errorEntry != nullptr && errorEntry->revents != 0 &&
            !readAvailable(error_.get(), result.error, buffer)) {
            error_.reset();
        }
    }
    closePipes();
    return result;
}

BoundedOutput Process::communicateWithin(std::span<const std::uint8_t> input,
                                         const ChildLimits& limits) {
    using Clock = std::chrono::steady_clock;
    BoundedOutput result;
    result.inputDelivered = prepareInput(input);
    std::size_t written = 0;
    std::vector<std::uint8_t> buffer(kReadChunk);

    // Readable once the child has ended. Without one, the exit is looked for
    // every kExitPollInterval.
    const ScopedFD exitWatch(pid_ > 0 && !status_ ? openProcessDescriptor(pid_) : -1);
    bool exited = pid_ <= 0 || status_.has_value();
    // Whether the child has ended, looked at without reaping it: while it is
    // a zombie its process id and group cannot be reused.
    const auto hasEnded = [this] {
        siginfo_t info{};
        int waited = 0;
        do {
            waited = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
        } while (waited < 0 && errno == EINTR);
        return waited != 0 || info.si_pid != 0;
    };

    enum class Stage { running, terminating, killing, draining };
    Stage stage = exited ? Stage::draining : Stage::running;
    Clock::time_point deadline = Clock::now() + (exited ? limits.outputGrace : limits.runTime);
    while (!exited || output_.valid() || error_.valid()) {
        if (Clock::now() >= deadline) {
            if (stage == Stage::running) {
                signalChild(SIGTERM);
                result.timedOut = true;
                stage = Stage::terminating;
                deadline = Clock::now() + limits.stopGrace;
            } else if (stage == Stage::terminating) {
                signalChild(SIGKILL);
                result.killed = true;
                stage = Stage::killing;
                deadline = Clock::now() + limits.stopGrace;
            } else if (stage == Stage::killing) {
                result.abandoned = true;
                break;
            } else {
                signalChild(SIGKILL);
                result.outputCut = true;
                break;
            }
            continue;
        }

        std::array<pollfd, 4> fds{};
        nfds_t count = 0;
        const auto add = [&](int fd, short events) -> pollfd* {
            if (fd < 0) {
                return nullptr;
            }
            pollfd& entry = fds[count++];
            entry.fd = fd;
            entry.events = events;
            return &entry;
        };
        const pollfd* inputEntry = add(input_.get(), POLLOUT);
        const pollfd* outputEntry = add(output_.get(), POLLIN);
        const pollfd* errorEntry = add(error_.get(), POLLIN);
        const pollfd* exitEntry = add(exited ? -1 : exitWatch.get(), POLLIN);
        int timeout = pollTimeout(deadline);
        if (!exited && !exitWatch.valid()) {
            timeout = std::min(timeout, static_cast<int>(kExitPollInterval.count()));
        }
        if (::poll(fds.data(), count, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Cannot watch the pipes any more: stop the child as if its time
            // were up, and read nothing more.
            result.inputDelivered = result.inputDelivered && !input_.valid();
            closePipes();
            stage = exited ? Stage::draining : stage;
            deadline = Clock::now();
            continue;
        }

        if (inputEntry != nullptr && inputEntry->revents != 0) {
            writeAvailable(input_, input, written, result.inputDelivered);
        }
        const std::array<std::pair<const pollfd*, ScopedFD*>, 2> reads = {
            {{outputEntry, &output_}, {errorEntry, &error_}}};
        for (const auto& [entry, pipe] : reads) {
            if (entry != nullptr && entry->revents != 0 &&
                !readAvailable(pipe->get(), result.output, buffer, limits.keptOutput,
                               &result.droppedBytes)) {
                pipe->reset();
            }
        }
        if (!exited && (exitWatch.valid() ? exitEntry->revents != 0 : true) && hasEnded()) {
            exited = true;
            // Whatever is left of the request has nobody to read it.
            if (input_.valid()) {
                result.inputDelivered = false;
                input_.reset();
            }
            stage = Stage::draining;
            deadline = Clock::now() + limits.outputGrace;
        }
    }
    if (result.abandoned) {
        detach();
    } else {
        closePipes();
        reap();
    }
    return result;
}

std::string SpawnResult::errorDescription() const {
    return std::generic_category().message(error);
}

SpawnResult spawnProcess(const ProcessOptions& options) {
    SpawnResult result;
    const auto fail = [&result](int error) -> SpawnResult {
        result.error = error;
        return std::move(result);
    };
    if (options.program.empty()) {
        return fail(ENOENT);
    }
    if (options.input == ChildStream::ToOutput || options.output == ChildStream::ToOutput) {
        return fail(EINVAL);
    }

    FileActions actions;
    if (actions.initError() != 0) {
        return fail(actions.initError());
    }
    SpawnAttributes attributes;
    if (attributes.initError() != 0) {
        return fail(attributes.initError());
    }

    // The daemon's ends, kept by the Process, and the child's ends, which
    // close here once the child has its copies.
    ScopedFD parentInput;
    ScopedFD parentOutput;
    ScopedFD parentError;
    std::vector<ScopedFD> childEnds;

    int actionError = 0;
    const auto connect = [&](ChildStream mode, int target, bool childReads,
                             ScopedFD& parentEnd) -> bool {
        switch (mode) {
            case ChildStream::Inherit:
                return true;
            case ChildStream::Null:
                actionError = ::posix_spawn_file_actions_addopen(
                    actions.get(), target, "/dev/null", childReads ? O_RDONLY : O_WRONLY, 0);
                return actionError == 0;
            case ChildStream::ToOutput:
                actionError =
                    ::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
                return actionError == 0;
            case ChildStream::Pipe: {
                auto pipe = makePipe();
                if (!pipe) {
                    actionError = errno != 0 ? errno : EMFILE;
                    return false;
                }
                ScopedFD& childEnd = childReads ? pipe->read : pipe->write;
                actionError =
                    ::posix_spawn_file_actions_adddup2(actions.get(), childEnd.get(), target);
                parentEnd = std::move(childReads ? pipe->write : pipe->read);
                childEnds.push_back(std::move(childEnd));
                return actionError == 0;
            }
        }
        actionError = EINVAL;
        return false;
    };
    // Standard output is set up before standard error, so that an error
    // stream sent to ToOutput duplicates the child's final standard output.
    if (!connect(options.input, STDIN_FILENO, true, parentInput) ||
        !connect(options.output, STDOUT_FILENO, false, parentOutput) ||
        !connect(options.error, STDERR_FILENO, false, parentError)) {
        return fail(actionError);
    }

    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    int flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    int attributeError = ::posix_spawnattr_setsigmask(attributes.get(), &emptyMask);
    if (attributeError == 0) {
        attributeError = ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    }
    if (attributeError == 0 && options.ownProcessGroup) {
        // Group 0: a new group named after the child's own process id.
        attributeError = ::posix_spawnattr_setpgroup(attributes.get(), 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    if (attributeError == 0) {
        attributeError = ::posix_spawnattr_setflags(attributes.get(), static_cast<short>(flags));
    }
    if (attributeError != 0) {
        return fail(attributeError);
    }

    // posix_spawn wants writable argument strings; hand it copies.
    std::vector<std::string> argumentCopies;
    argumentCopies.reserve(options.arguments.size() + 1);
    argumentCopies.push_back(options.program);
    argumentCopies.insert(argumentCopies.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    argv.reserve(argumentCopies.size() + 1);
    for (auto& argument : argumentCopies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawnError = ::posix_spawn(&pid, options.program.c_str(), actions.get(),
                                         attributes.get(), argv.data(), environ);
    if (spawnError != 0) {
        return fail(spawnError);
    }
    result.process.emplace(Process(pid, std::move(parentInput), std::move(parentOutput),
                                   std::move(parentError), options.ownProcessGroup));
    return result;
}

}  // namespace lockstep
