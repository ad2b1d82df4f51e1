#pragma once

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
    Process(int pid, ScopedFD input, ScopedFD output, ScopedFD error);
    void closePipes() noexcept;
    void reap() noexcept;

    int pid_ = -1;
    ScopedFD input_;
    ScopedFD output_;
    ScopedFD error_;
    std::optional<ExitStatus> status_;
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

// Text of a child's output.
//
// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// values past U+10FFFF).
[[nodiscard]] bool isValidUtf8(std::string_view text);

// Decodes bytes as UTF-8, replacing each ill-formed sequence (its maximal
// subpart, as Unicode recommends) with U+FFFD. Valid input comes back unchanged.
[[nodiscard]] std::string decodeUtf8Lossy(std::span<const std::uint8_t> bytes);

}  // namespace lockstep
