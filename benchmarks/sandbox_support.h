#pragma once

// What the whole-process benchmarks share: running a program to its end with
// its output collected, and starting the benchmark again inside a sandbox
// made by scripts/sandbox-run (a private mount namespace in which the
// sandbox's own files are /etc's account files and /usr/bin/fdesetup).

#include <crypt.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/process.h"

namespace lockstep::bench {

// How a program run by capture() ended, and what it printed.
struct Captured {
    bool exited = false;
    int code = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end with its output and error collected, with this
// program's environment plus `environment` ("NAME=value" entries). Not timed.
inline Captured capture(const std::vector<std::string>& command,
                        const std::vector<std::string>& environment = {}) {
    ProcessOptions options;
    options.program = "/usr/bin/env";
    options.arguments = environment;
    options.arguments.insert(options.arguments.end(), command.begin(), command.end());
    options.input = ChildStream::Null;
    options.output = ChildStream::Pipe;
    options.error = ChildStream::Pipe;
    auto spawned = spawnProcess(options);
    if (!spawned.process) {
        throw std::runtime_error("cannot start " + command.front() + ": " +
                                 spawned.errorDescription());
    }
    const ProcessOutput output = spawned.process->communicate();
    const auto status = spawned.process->wait();
    Captured result;
    result.exited = status && status->exited;
    result.code = status ? status->code : -1;
    result.out = toString(output.output);
    result.err = toString(output.error);
    return result;
}

// A crypt(3) hash of `password` with a fresh salt of the method `prefix`
// ("$6$", "$y$").
inline std::string cryptHash(const char* prefix, const char* password) {
    std::array<char, CRYPT_GENSALT_OUTPUT_SIZE> setting{};
    if (crypt_gensalt_rn(prefix, 0, nullptr, 0, setting.data(), static_cast<int>(setting.size())) ==
        nullptr) {
        throw std::runtime_error(std::string("crypt_gensalt failed for ") + prefix);
    }
    crypt_data data{};
    const char* hash = crypt_r(password, setting.data(), &data);
    if (hash == nullptr || hash[0] == '*') {
        throw std::runtime_error(std::string("crypt failed for ") + prefix);
    }
    return hash;
}

inline void writeText(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

// A fresh folder under /var/tmp, removed with everything in it when this
// object goes away.
class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::string pattern = "/var/tmp/lockstep-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Puts `program` at the sandbox's /usr/bin/fdesetup as lockstepd accepts a
// restart tool: owned by root, mode 0755, in a folder only root can write.
inline void installTool(const std::filesystem::path& sandbox,
                        const std::filesystem::path& program) {
    namespace fs = std::filesystem;
    const fs::path tool = sandbox / "usr-bin/fdesetup";
    fs::create_directories(tool.parent_path());
    fs::copy_file(program, tool, fs::copy_options::overwrite_existing);
    fs::permissions(tool.parent_path(), fs::perms(0755));
    fs::permissions(tool, fs::perms(0755));
    if (::chown(tool.c_str(), 0, 0) != 0) {
        throw std::runtime_error("cannot give " + tool.string() + " to root");
    }
}

// Makes a sandbox, lets `fill` put its files in it, and runs this program
// again inside it with `insideFlag` added to its arguments; gives that run's
// exit status. Prints why and gives 0 where no sandbox can be made (not root,
// or no private mount namespace).
inline int runInSandbox(const char* name, const char* insideFlag, int argc, char** argv,
                        const std::function<void(const std::filesystem::path&)>& fill) {
    if (::geteuid() != 0) {
        std::printf(
            "%s: skipped: it needs root, to run lockstepd in a private mount namespace (try: "
            "sudo make bench)\n",
            name);
        return 0;
    }
    const Captured probe = capture({"unshare", "--mount", "--propagation", "private", "true"});
    if (!probe.exited || probe.code != 0) {
        std::printf("%s: skipped: this machine refuses a private mount namespace\n", name);
        return 0;
    }
    const TemporaryFolder sandbox;
    fill(sandbox.path());
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    std::vector<std::string> arguments = {sandbox.path().string(), self.string(), insideFlag};
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    ProcessOptions options;
    options.program = LOCKSTEP_SANDBOX_RUN;
    options.arguments = arguments;
    auto spawned = spawnProcess(options);
    if (!spawned.process) {
        std::fprintf(stderr, "%s: cannot start %s: %s\n", name, LOCKSTEP_SANDBOX_RUN,
                     spawned.errorDescription().c_str());
        return 1;
    }
    const auto status = spawned.process->wait();
    return status && status->exited ? status->code : 1;
}

}  // namespace lockstep::bench
