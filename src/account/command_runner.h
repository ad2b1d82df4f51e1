#pragma once

#include <concepts>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace lockstep {

// The program that finds other programs by name.
inline constexpr std::string_view kWhichPath = "/usr/bin/which";

// Splits a command line into program and arguments: at every single space
// (so a doubled space gives an empty argument), then joining a word that ends
// in a backslash with the word after it, the backslash becoming a space
// ("a\ b" is the one word "a b"). A last word that ends in a backslash has
// nothing to join: its backslash just becomes a space. Always at least one word.
[[nodiscard]] std::vector<std::string> splitCommandLine(std::string_view command);

// Runs `whichPath` with `name` as its one argument and gives the first line
// of what it prints: the program's path, or empty text when it is not found
// (then "Binary doesn't exist" goes to the system log, at the default type).
[[nodiscard]] std::string which(std::string_view name,
                                const std::filesystem::path& whichPath = kWhichPath);

// Runs a program and gives its standard output followed by its standard
// error, each decoded as UTF-8 (ill-formed bytes become U+FFFD). Without an
// argument list the command line is split as above; with one, `command` is
// the program and the list is used unchanged. A program without a "/" is
// looked up with which(). The child's standard input is a pipe closed at
// once, so it sees end of input. Both output pipes are read together while
// the child runs. With `waitForTermination` the child is reaped before the
// call returns; without it, it is reaped in the background. A program that
// cannot be found or started gives empty text.
[[nodiscard]] std::string cliTask(std::string_view command,
                                  const std::optional<std::vector<std::string>>& arguments,
                                  bool waitForTermination);

// A command started by the completion form of cliTask. Its worker thread
// owns the child and the completion; destroying the handle (or wait()) joins
// the thread, so no thread outlives the handle and the completion never runs
// after its owner has gone. Move-only.
class CliTaskHandle {
  public:
    CliTaskHandle() = default;
    explicit CliTaskHandle(std::thread worker) : worker_(std::move(worker)) {}
    CliTaskHandle(CliTaskHandle&&) noexcept = default;
    CliTaskHandle& operator=(CliTaskHandle&& other) noexcept {
        if (this != &other) {
            wait();
            worker_ = std::move(other.worker_);
        }
        return *this;
    }
    CliTaskHandle(const CliTaskHandle&) = delete;
    CliTaskHandle& operator=(const CliTaskHandle&) = delete;
    ~CliTaskHandle() { wait(); }

    // Blocks until the completion has run.
    void wait() {
        if (worker_.joinable()) {
            worker_.join();
        }
    }

  private:
    std::thread worker_;
};

using CliTaskCompletion = std::function<void(std::string)>;

// Starts the command (split, looked up and launched on the caller's thread,
// as cliTask above) and returns at once. A worker thread reads both output
// pipes to their ends, reaps the child and calls `completion` once with
// standard output followed by standard error; empty text when the program
// could not be started. An exception thrown by the completion is dropped.
[[nodiscard]] CliTaskHandle cliTaskWithCompletion(
    std::string_view command, const std::optional<std::vector<std::string>>& arguments,
    CliTaskCompletion completion);

// The completion form under its usual name. A template, so that a lambda
// picks it rather than converting to the `bool` of the waiting form.
template <typename Completion>
requires(!std::same_as<std::remove_cvref_t<Completion>, bool> &&
         std::invocable<Completion&, std::string>) [[nodiscard]] CliTaskHandle
    cliTask(std::string_view command, const std::optional<std::vector<std::string>>& arguments,
            Completion&& completion) {
    return cliTaskWithCompletion(command, arguments,
                                 CliTaskCompletion(std::forward<Completion>(completion)));
}

// Runs a command line (always split) and gives its standard output only.
// Standard error has its own pipe, drained and discarded so that a child
// writing much there cannot stall. The call does not wait for the child to
// end once its output is closed; it is reaped in the background.
[[nodiscard]] std::string cliTaskNoTerm(std::string_view command);

}  // namespace lockstep
