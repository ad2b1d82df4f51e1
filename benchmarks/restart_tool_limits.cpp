// What a misbehaving restart tool costs a plain run of the real lockstepd:
// the peak resident size when the tool writes 1 GiB of output (only the
// first 64 KiB are kept), and the time to the result line when the tool
// never exits (stopped after 120 s, SIGKILL 5 s later) or exits leaving a
// child that holds its output open (read for 2 s more).
//
// Like whole_process, it makes a sandbox (scripts/sandbox-run; needs root)
// with programs/misbehaving_tool as /usr/bin/fdesetup, starts itself again
// inside it, stores a credential with one real enrolment, and then runs plain
// lockstepd processes, the tool steered by LOCKSTEP_BENCH_TOOL.
//
// Each quick case runs three times and its median is printed. Option of its
// own: --skip-hung leaves out the hung tool, which takes over two minutes.

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "filevault/fdesetup_helper.h"
#include "sandbox_support.h"

namespace lockstep {
namespace {

namespace fs = std::filesystem;
using namespace bench;

constexpr const char* kInsideFlag = "--inside-sandbox";
constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench password 42";
constexpr std::string_view kArmed = "Successfully authenticated with FileVault";
constexpr std::string_view kNotArmed = "Failed to authenticate with FileVault";
constexpr long long kFloodBytes = 1LL << 30;
constexpr double kPeakLimitMiB = 16;

void fillSandbox(const fs::path& sandbox) {
    writeText(sandbox / "etc/passwd",
              "root:x:0:0:root:/root:/bin/bash\nbench:x:1500:1500:Bench:/home/bench:/bin/bash\n");
    writeText(sandbox / "etc/shadow", "root:*:19000:0:99999:7:::\nbench:" +
                                          cryptHash("$6$", kPassword) + ":19000:0:99999:7:::\n");
    fs::permissions(sandbox / "etc/shadow", fs::perms(0640));
    writeText(sandbox / "etc/group", "root:x:0:\nbench:x:1500:\n");
    writeText(sandbox / "etc/gshadow", "root:*::\nbench:!::\n");
    installTool(sandbox, LOCKSTEP_MISBEHAVING_TOOL);
}

double nowSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One plain run under /usr/bin/time -v with the tool steered by `mode`.
struct Run {
    double seconds = 0;
    double peakMiB = 0;
    Captured result;
};

Run plainRun(const std::string& mode) {
    std::vector<std::string> environment;
    if (!mode.empty()) {
        environment.push_back("LOCKSTEP_BENCH_TOOL=" + mode);
    }
    const double start = nowSeconds();
    Run run;
    run.result = capture({"/usr/bin/time", "-v", LOCKSTEPD_BINARY}, environment);
    run.seconds = nowSeconds() - start;
    constexpr std::string_view kLabel = "Maximum resident set size (kbytes):";
    const auto at = run.result.err.find(kLabel);
    if (at == std::string::npos) {
        throw std::runtime_error("no peak resident size from /usr/bin/time (apt-get install time)");
    }
    run.peakMiB =
        static_cast<double>(std::strtol(run.result.err.c_str() + at + kLabel.size(), nullptr, 10)) /
        1024.0;
    return run;
}

// The median of `rounds` runs by time and by peak size, each checked for the
// expected result line and log text.
Run medianRun(const std::string& mode, int rounds, std::string_view line, std::string_view logged) {
    std::vector<Run> runs;
    for (int i = 0; i < rounds; ++i) {
        Run run = plainRun(mode);
        if (run.result.out.find(line) == std::string::npos ||
            run.result.err.find(logged) == std::string::npos) {
            throw std::runtime_error("run with tool '" + mode + "' gave:\n" + run.result.out +
                                     run.result.err.substr(0, 2000));
        }
        runs.push_back(std::move(run));
    }
    const auto middle = [&runs](auto member) {
        std::vector<double> values;
        for (const Run& run : runs) {
            values.push_back(run.*member);
        }
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    Run median;
    median.seconds = middle(&Run::seconds);
    median.peakMiB = middle(&Run::peakMiB);
    return median;
}

int runInside(int argc, char** argv) {
    constexpr int rounds = 3;
    bool skipHung = false;
    for (int i = 1; i < argc; ++i) {
        skipHung = skipHung || std::string_view(argv[i]) == "--skip-hung";
    }
    const Captured enrolment =
        capture({LOCKSTEPD_BINARY, "--set-user", "--user", kUser, "--password", kPassword});
    if (enrolment.out.find(kArmed) == std::string::npos) {
        throw std::runtime_error("the enrolment did not arm the restart:\n" + enrolment.out +
                                 enrolment.err);
    }

    std::printf("Plain runs of lockstepd, median of %d (the hung tool: one run)\n", rounds);
    std::printf("  %-52s %10s %12s\n", "restart tool", "to result", "peak size");
    const auto print = [](const char* label, const Run& run) {
        std::printf("  %-52s %8.2f s %8.2f MiB\n", label, run.seconds, run.peakMiB);
    };
    print("exits at once", medianRun("", rounds, kArmed, ""));
    const std::string dropped = "Dropped " + std::to_string(kFloodBytes - kToolOutputKept) +
                                " bytes of output of /usr/bin/fdesetup";
    const Run flood = medianRun("flood:" + std::to_string(kFloodBytes), rounds, kArmed, dropped);
    print("writes 1 GiB of output", flood);
    print("exits, leaving a child holding its output", medianRun("linger", rounds, kArmed, ""));
    if (!skipHung) {
        print("never exits, ignores SIGTERM", medianRun("hang", 1, kNotArmed, "did not finish"));
    }
    std::printf("  => peak size with 1 GiB of tool output: %.2f MiB (limit %.0f MiB): %s\n",
                flood.peakMiB, kPeakLimitMiB, flood.peakMiB < kPeakLimitMiB ? "met" : "NOT MET");
    return 0;
}

}  // namespace
}  // namespace lockstep

int main(int argc, char** argv) {
    try {
        for (int i = 1; i < argc; ++i) {
            if (std::string_view(argv[i]) == lockstep::kInsideFlag) {
                return lockstep::runInside(argc, argv);
            }
        }
        return lockstep::bench::runInSandbox("restart_tool_limits", lockstep::kInsideFlag, argc,
                                             argv, lockstep::fillSandbox);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "restart_tool_limits: %s\n", error.what());
        return 1;
    }
}
