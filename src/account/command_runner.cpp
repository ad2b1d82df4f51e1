#include "account/command_runner.h"

#include <algorithm>
#include <exception>

#include "log/log.h"
#include "platform/process.h"
#include "platform/text.h"

namespace lockstep {

namespace {

// The program and its arguments, ready to launch.
struct Invocation {
    std::string program;
    std::vector<std::string> arguments;
};

// Splits (when there is no argument list) and resolves a program given by
// name through which(). Runs on the caller's thread, so its one log message
// never comes from a worker.
Invocation prepare(std::string_view command,
                   const std::optional<std::vector<std::string>>& arguments) {
    Invocation invocation;
    if (arguments) {
        invocation.program = std::string(command);
        invocation.arguments = *arguments;
    } else {
        auto words = splitCommandLine(command);
        invocation.program = std::move(words.front());
        invocation.arguments.assign(std::make_move_iterator(words.begin() + 1),
                                    std::make_move_iterator(words.end()));
    }
    if (invocation.program.find('/') == std::string::npos) {
        invocation.program = which(invocation.program);
    }
    return invocation;
}

// Starts the program with a standard input that is already at its end and
// its own pipes for standard output and standard error. Nothing when it
// cannot be started; an empty program path (a name which() did not find) is
// not launched at all.
std::optional<Process> launch(Invocation invocation) {
    if (invocation.program.empty()) {
        return std::nullopt;
    }
    ProcessOptions options;
    options.program = std::move(invocation.program);
    options.arguments = std::move(invocation.arguments);
    options.input = ChildStream::Pipe;
    options.output = ChildStream::Pipe;
    options.error = ChildStream::Pipe;
    auto spawned = spawnProcess(options);
    if (!spawned.process) {
        return std::nullopt;
    }
    spawned.process->closeInput();
    return std::move(spawned.process);
}

// Both streams, collected whole and decoded once each, so a character that
// straddles two reads is kept.
std::string outputThenError(const ProcessOutput& collected) {
    return decodeUtf8Lossy(collected.output) + decodeUtf8Lossy(collected.error);
}

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view command) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (true) {
        const std::size_t space = command.find(' ', start);
        if (space == std::string_view::npos) {
            words.emplace_back(command.substr(start));
            break;
        }
        words.emplace_back(command.substr(start, space - start));
        start = space + 1;
    }
    if (command.find('\\') == std::string_view::npos) {
        return words;
    }

    const std::vector<std::string> initial = words;
    std::size_t position = 0;
    for (const auto& word : initial) {
        if (word.empty() || word.back() != '\\' || position >= words.size()) {
            ++position;
            continue;
        }
        std::string& joined = words[position];
        std::replace(joined.begin(), joined.end(), '\\', ' ');
        if (position + 1 < words.size()) {
            joined += words[position + 1];
            words.erase(words.begin() + static_cast<std::ptrdiff_t>(position) + 1);
        }
    }
    return words;
}

std::string which(std::string_view name, const std::filesystem::path& whichPath) {
    ProcessOptions options;
    options.program = whichPath.string();
    options.arguments = {std::string(name)};
    options.input = ChildStream::Null;
    options.output = ChildStream::Pipe;
    std::string output;
    auto spawned = spawnProcess(options);
    if (spawned.process) {
        output = decodeUtf8Lossy(spawned.process->communicate().output);
        static_cast<void>(spawned.process->wait());
    }
    if (output.empty()) {
        // A message for whoever reads the system log, not a line of the run's
        // own log: it goes straight to the system log, as NSLog would.
        osLog(LogType::Default, "Binary doesn't exist");
    }
    return output.substr(0, output.find('\n'));
}

std::string cliTask(std::string_view command,
                    const std::optional<std::vector<std::string>>& arguments,
                    bool waitForTermination) {
    auto process = launch(prepare(command, arguments));
    if (!process) {
        return {};
    }
    const ProcessOutput collected = process->communicate();
    if (waitForTermination) {
        static_cast<void>(process->wait());
    } else {
        process->detach();
    }
    return outputThenError(collected);
}

CliTaskHandle cliTaskWithCompletion(std::string_view command,
                                    const std::optional<std::vector<std::string>>& arguments,
                                    CliTaskCompletion completion) {
    auto process = launch(prepare(command, arguments));
    // The worker owns everything it touches: the child, and the completion.
    return CliTaskHandle(
        std::thread([child = std::move(process), done = std::move(completion)]() mutable {
            std::string text;
            if (child) {
                const ProcessOutput collected = child->communicate();
                static_cast<void>(child->wait());
                text = outputThenError(collected);
            }
            try {
                if (done) {
                    done(std::move(text));
                }
            } catch (...) {
                // Nobody on this thread could handle it; letting it escape
                // would end the process.
            }
        }));
}

std::string cliTaskNoTerm(std::string_view command) {
    auto process = launch(prepare(command, std::nullopt));
    if (!process) {
        return {};
    }
    const ProcessOutput collected = process->communicate();
    process->detach();
    return decodeUtf8Lossy(collected.output);
}

}  // namespace lockstep
