#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/scoped_fd.h"

namespace lockstep {

// How one standard stream of a child process is connected.
enum class ChildStream {
    Inherit,   // the daemon's own descriptor
    Null,      // /dev/null
    Pipe,      // a new pipe; the Process keeps the daemon's end
    ToOutput,  // standard error only: wherever standard output goes (a shared pipe)
};

struct ProcessOptions {
    // Path of the executable. It is started as given: no search of PATH.
    std::string program;
    // The arguments after the program name; the child's argv[0] is `program`.
    std::vector<std::string> arguments;
    ChildStream input = ChildStream::Inherit;
    ChildStream output = ChildStream::Inherit;
    ChildStream error = ChildStream::Inherit;
    // Starts the child as the leader of a process group of its own, so that
    // it and every descendant it leaves behind can be stopped together.
    bool ownProcessGroup = false;
};

// How a child ended: its exit status, or the signal that terminated it.
struct ExitStatus {
    bool exited = false;  // true: `code` is the exit status; false: `code` is a signal number
    int code = 0;

    [[nodiscard]] bool success() const { return exited && code == 0; }
    bool operator==(const ExitStatus&) const = default;
};

struct SpawnResult;

// What Process::communicate collected.
struct ProcessOutput {
    Bytes output;  // standard output (with standard error when it was sent there)
    Bytes error;   // standard error, when it had a pipe of its own
    // False when the child closed its input (or exited) before it took every
    // byte, or when a pipe failed.
    bool inputDelivered = true;
};

// Bounds on a child that runs unattended (Process::communicateWithin).
struct ChildLimits {
    // From the start until the child must have exited; then its group is
    // sent SIGTERM.
    std::chrono::milliseconds runTime{0};
    // From SIGTERM until SIGKILL, and from SIGKILL until the child is given
    // up (reaped in the background) if even that has not ended it.
    std::chrono::milliseconds stopGrace{0};
    // From the child's exit, how long output that its descendants still hold
    // open is read before the group is killed.
    std::chrono::milliseconds outputGrace{0};
    // Bytes of output kept; the rest is read and dropped.
    std::size_t keptOutput = 0;
};

// What Process::communicateWithin collected and did.
struct BoundedOutput {
    // The first ChildLimits::keptOutput bytes of standard output and error
    // (as they came, both pipes together when both are pipes).
    Bytes output;
    // Bytes read beyond those and dropped.
    std::uint64_t droppedBytes = 0;
    bool inputDelivered = true;
    // Still running at the run limit: its group was sent SIGTERM ...
    bool timedOut = false;
    // ... and SIGKILL, still running after the grace time.
    bool killed = false;
    // Not even SIGKILL ended it in time: it was left to a background reaper
    // and has no exit status.
    bool abandoned = false;
    // It exited, but its descendants held the output open past the output
    // grace time: the group was killed and the rest of the output not read.
    bool outputCut = false;
};

// A started child process and the daemon's ends of its pipes. Move-only: one
// owner waits for the child. A child that nobody waited for is reaped when its
// owner goes away (after the pipes are closed, so a child blocked on one of
// them sees end of input or a broken pipe rather than hanging the wait).
class Process {
  public:
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();

    [[nodiscard]] int pid() const { return pid_; }

    // Writes `input` to the child's standard input pipe and then closes it,
    // while reading its standard output and standard error pipes to their
    // ends, all in one poll(2) loop, so that neither side can block the
    // other. A child that exits without reading its input neither kills the
    // daemon (SIGPIPE is held back for the write) nor stops the reading.
    // Every pipe of the daemon's is closed when this returns.
    [[nodiscard]] ProcessOutput communicate(std::span<const std::uint8_t> input = {});

    // As communicate, for a child that must not hold the daemon up: it gets
    // `limits.runTime` to exit before its process group (the child alone
    // when it was not started with one of its own) is sent SIGTERM, then
    // SIGKILL after `limits.stopGrace`; after it exits, its output is read
    // for at most `limits.outputGrace` more before the group is killed; and
    // only the first `limits.keptOutput` bytes of output are kept, however
    // much it writes. The child has been waited for when this returns
    // (unless `abandoned`): wait() gives how it ended.
    [[nodiscard]] BoundedOutput communicateWithin(std::span<const std::uint8_t> input,
                                                  const ChildLimits& limits);

    // Closes the daemon's end of the input pipe so the child sees end of input.
    void closeInput();

    // Waits for the child to end (retrying EINTR) and reports how it ended.
    // Later calls give the same answer. Nothing when there is no child to wait
    // for (moved from, detached, or already reaped by someone else).
    [[nodiscard]] std::optional<ExitStatus> wait();

    // Gives the child up without waiting for it: the pipes are closed and a
    // background thread, which owns nothing but the process id, reaps it when
    // it ends, so it never stays a zombie.
    void detach();

  private:
    friend SpawnResult spawnProcess(const ProcessOptions& options);
    Process(int pid, ScopedFD input, ScopedFD output, ScopedFD error, bool groupLeader);
    void closePipes() noexcept;
    // Makes the input pipe non-blocking, or closes it when there is nothing
    // to write; false when it could not be prepared.
    [[nodiscard]] bool prepareInput(std::span<const std::uint8_t> input);
    // Sends a signal to the child's process group, or to the child alone.
    void signalChild(int signal) const noexcept;
    void reap() noexcept;

    int pid_ = -1;
    ScopedFD input_;
    ScopedFD output_;
    ScopedFD error_;
    std::optional<ExitStatus> status_;
    bool groupLeader_ = false;
};

struct SpawnResult {
    std::optional<Process> process;
    int error = 0;  // errno value when the child could not be started

    // The system's description of `error`, such as "No such file or directory".
    [[nodiscard]] std::string errorDescription() const;
};

// Starts a child with posix_spawn. Every descriptor the daemon creates is
// close-on-exec; the child's ends are put in place by the spawn's file
// actions. The child starts with an empty signal mask and SIGPIPE at its
// default action, and inherits the environment and working folder. An empty
// program path is refused with ENOENT.
[[nodiscard]] SpawnResult spawnProcess(const ProcessOptions& options);

}  // namespace lockstep
