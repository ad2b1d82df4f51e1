// A plain run of the real lockstepd as a whole process, beside /bin/true and
// beside a minimal program that does the same work (programs/
// reference_plain_run.cpp), all timed in the same run.
//
// lockstepd always uses /var/lib/lockstep/System.keychain, /usr/bin/fdesetup
// and /tmp/lockstep, so the runs happen in a sandbox (scripts/sandbox-run: a
// private mount namespace with overlays; needs root). Started normally, this
// program makes the sandbox (account files with known password hashes, the
// stand-in tool programs/instant_tool as /usr/bin/fdesetup) and starts itself
// again inside it, once; the namespace is set up before any clock starts.
// Inside, it enrols one account with the real lockstepd so that a credential
// is stored, then:
//
//   BM_WholeProcess   rounds of posix_spawn + wait of /bin/true, the stand-in
//                     tool, the reference program (exiting at once, and doing
//                     its work), `lockstepd --help` and a plain `lockstepd`,
//                     in an order that rotates every round; medians, p10/p90
//                     and ratios are printed after the table.
//   BM_InProcess_*    the plain path's steps called in this process (warm):
//                     keychain open + find + decrypt, the restart request
//                     (spawn of the tool with the request, wait), the whole
//                     run().
//
// and afterwards, for the time split, the same steps timed once each in fresh
// processes (cold, as in a real start), and the peak resident size of a plain
// run and of an enrolment under /usr/bin/time -v.
//
// Options of its own (the rest go to Google Benchmark):
//   --rounds=N   rounds of BM_WholeProcess (default 200)
//   --probes=N   fresh processes for the time split (default 40)

#include <benchmark/benchmark.h>
#include <crypt.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "daemon/command_line.h"
#include "daemon/password_daemon.h"
#include "filevault/fdesetup_helper.h"
#include "keychain/keychain_util.h"
#include "log/log.h"
#include "log/unified_logger.h"
#include "platform/context.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/process.h"
#include "platform/scoped_fd.h"
#include "sandbox_support.h"
#include "secrets/secret_keeper.h"

namespace lockstep {
namespace {

namespace fs = std::filesystem;
using namespace bench;

constexpr const char* kInsideFlag = "--inside-sandbox";
constexpr const char* kProbeFlag = "--probe";
constexpr const char* kTrue = "/bin/true";
constexpr const char* kTool = "/usr/bin/fdesetup";
constexpr const char* kTime = "/usr/bin/time";
// The enrolled accounts: one with a SHA-512 crypt hash (as `openssl passwd
// -6` makes), one with a yescrypt hash at Debian's default cost.
constexpr const char* kUser = "bench";
constexpr const char* kYescryptUser = "benchy";
constexpr const char* kPassword = "bench password 42";
constexpr std::string_view kArmed = "Successfully authenticated with FileVault";

// The environment of every timed program, as a service manager gives it.
char kPathVariable[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
char* kEnvironment[] = {kPathVariable, nullptr};

int gRounds = 200;
int gProbes = 40;

double nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one;
    std::string five;
    std::string fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// ---------------------------------------------------------------------------
// Outside the sandbox: make it and start this program again inside it.

// The sandbox's own files: account files with the two enrolled accounts, and
// the stand-in tool as /usr/bin/fdesetup.
void fillSandbox(const fs::path& sandbox) {
    const std::string sha512 = cryptHash("$6$", kPassword);
    const std::string yescrypt = cryptHash("$y$", kPassword);
    writeText(sandbox / "etc/passwd",
              "root:x:0:0:root:/root:/bin/bash\n"
              "bench:x:1500:1500:Bench:/home/bench:/bin/bash\n"
              "benchy:x:1501:1501:Bench yescrypt:/home/benchy:/bin/bash\n");
    writeText(sandbox / "etc/shadow", "root:*:19000:0:99999:7:::\nbench:" + sha512 +
                                          ":19000:0:99999:7:::\nbenchy:" + yescrypt +
                                          ":19000:0:99999:7:::\n");
    fs::permissions(sandbox / "etc/shadow",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    writeText(sandbox / "etc/group", "root:x:0:\nbench:x:1500:\nbenchy:x:1501:\n");
    writeText(sandbox / "etc/gshadow", "root:*::\nbench:!::\nbenchy:!::\n");
    installTool(sandbox, LOCKSTEP_INSTANT_TOOL);
}

int runOutside(int argc, char** argv) {
    return runInSandbox("whole_process", kInsideFlag, argc, argv, fillSandbox);
}

// ---------------------------------------------------------------------------
// Inside the sandbox.

// One timed start of a program, from posix_spawn to the end of its wait, with
// its standard streams on /dev/null: the wall time, and the CPU time (user
// and system) that the kernel accounts to it and to the children it waited
// for.
struct RunTime {
    double wallNs = 0;
    double cpuNs = 0;
};

RunTime timedRun(const std::vector<std::string>& command, int devNull) {
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const auto& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const int target : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        posix_spawn_file_actions_adddup2(&actions, devNull, target);
    }
    pid_t pid = -1;
    const double start = nowNs();
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), kEnvironment);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + command.front());
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("wait4 failed");
        }
    }
    RunTime result;
    result.wallNs = nowNs() - start;
    const auto ns = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) * 1e9 + static_cast<double>(time.tv_usec) * 1e3;
    };
    result.cpuNs = ns(usage.ru_utime) + ns(usage.ru_stime);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(command.front() + " did not exit with status 0");
    }
    return result;
}

struct Spread {
    double median = 0;
    double p10 = 0;
    double p90 = 0;
};

double percentile(std::vector<double> values, double q) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const double position = q * static_cast<double>(values.size() - 1);
    const auto low = static_cast<std::size_t>(position);
    const std::size_t high = std::min(low + 1, values.size() - 1);
    const double fraction = position - static_cast<double>(low);
    return values[low] + (values[high] - values[low]) * fraction;
}

Spread spreadOf(const std::vector<double>& values) {
    return {percentile(values, 0.5), percentile(values, 0.1), percentile(values, 0.9)};
}

struct TimedProgram {
    std::string label;
    std::vector<std::string> command;
};

const std::vector<TimedProgram>& timedPrograms() {
    static const std::vector<TimedProgram> programs = {
        {"/bin/true", {kTrue}},
        {"stand-in tool", {kTool}},
        {"reference, start only", {LOCKSTEP_REFERENCE_PLAIN_RUN, "--exit"}},
        {"reference plain run", {LOCKSTEP_REFERENCE_PLAIN_RUN}},
        {"lockstepd --help", {LOCKSTEPD_BINARY, "--help"}},
        {"lockstepd (plain run)", {LOCKSTEPD_BINARY}},
    };
    return programs;
}

// What the benchmarks leave for the summary.
std::map<std::string, std::vector<double>> gWholeProcessNs;
std::map<std::string, std::vector<double>> gWholeProcessCpuNs;
std::string gLoadBefore;
std::string gLoadAfter;
std::map<std::string, double> gInProcessNs;

void BM_WholeProcess(benchmark::State& state) {
    const auto& programs = timedPrograms();
    const ScopedFD devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    std::map<std::string, std::vector<double>> samples;
    std::map<std::string, std::vector<double>> cpuSamples;
    gLoadBefore = loadAverage();
    try {
        // Warm the page cache and the namespace's overlay lookups first.
        for (int round = 0; round < 5; ++round) {
            for (const auto& program : programs) {
                static_cast<void>(timedRun(program.command, devNull.get()));
            }
        }
        std::size_t round = 0;
        for (auto _ : state) {
            double total = 0;
            for (std::size_t i = 0; i < programs.size(); ++i) {
                const auto& program = programs[(round + i) % programs.size()];
                const RunTime time = timedRun(program.command, devNull.get());
                samples[program.label].push_back(time.wallNs);
                cpuSamples[program.label].push_back(time.cpuNs);
                total += time.wallNs;
            }
            ++round;
            state.SetIterationTime(total / 1e9);
        }
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    gLoadAfter = loadAverage();
    const double daemon = spreadOf(samples["lockstepd (plain run)"]).median;
    const double bare = spreadOf(samples["/bin/true"]).median;
    const double reference = spreadOf(samples["reference plain run"]).median;
    state.counters["lockstepd_ms"] = daemon / 1e6;
    state.counters["true_ms"] = bare / 1e6;
    state.counters["reference_ms"] = reference / 1e6;
    state.counters["x_true"] = daemon / bare;
    state.counters["x_reference"] = daemon / reference;
    gWholeProcessNs = std::move(samples);
    gWholeProcessCpuNs = std::move(cpuSamples);
}

// The machine services of the real daemon, made once for the in-process
// benchmarks.
struct RealMachine {
    SqliteKeychainService keychain{SqliteKeychainOptions{}};
    LocalDirectoryService directory{"/"};
    Context context{.keychain = keychain,
                    .directory = directory,
                    .fdesetupPath = kTool,
                    .bundlePath = fs::path(LOCKSTEPD_BINARY).parent_path(),
                    .machineRoot = "/"};
};

RealMachine& machine() {
    static RealMachine instance;
    return instance;
}

// The keychain step of run(): the secret store hands out the System keychain
// (opening it), then the lookup without an account name finds and decrypts
// the item.
std::optional<PasswordItem> findCredential(const Context& context) {
    SecKeychainRef keychain;
    try {
        const SecretKeeper keeper(context.keychain, "SecretKeeper", "SecretKeeper",
                                  "/usr/local/var/meridale");
        keychain = keeper.systemKeychain();
    } catch (const SecretKeeperError&) {
        keychain = nullptr;
    }
    return KeychainUtil::findPassword(context, "Lockstep", std::nullopt, keychain);
}

void recordMean(benchmark::State& state, const std::string& name, double start) {
    gInProcessNs[name] = (nowNs() - start) / static_cast<double>(state.iterations());
}

void BM_InProcess_KeychainOpenFindDecrypt(benchmark::State& state) {
    const Context& context = machine().context;
    const double start = nowNs();
    for (auto _ : state) {
        const auto item = findCredential(context);
        if (!item) {
            state.SkipWithError("no stored credential");
            return;
        }
        benchmark::DoNotOptimize(item->password.data());
    }
    recordMean(state, "keychain", start);
}
BENCHMARK(BM_InProcess_KeychainOpenFindDecrypt)->Unit(benchmark::kMicrosecond);

void BM_InProcess_RestartRequest(benchmark::State& state) {
    const double start = nowNs();
    for (auto _ : state) {
        if (!FDESetupHelper::filevaultAuth(kUser, kPassword, kTool)) {
            state.SkipWithError("the stand-in tool did not run");
            return;
        }
    }
    recordMean(state, "child", start);
}
BENCHMARK(BM_InProcess_RestartRequest)->Unit(benchmark::kMicrosecond);

void BM_InProcess_PlainRun(benchmark::State& state) {
    const Context& context = machine().context;
    const double start = nowNs();
    for (auto _ : state) {
        std::ostringstream out;
        PasswordDaemon{}.run(context, out);
        if (out.str().find(kArmed) == std::string::npos) {
            state.SkipWithError("the plain run did not arm the restart");
            return;
        }
    }
    recordMean(state, "run", start);
}
BENCHMARK(BM_InProcess_PlainRun)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Cold steps: the plain path once, in a fresh process, each step timed.

constexpr std::array<const char*, 7> kPhases = {
    "command line, OpenSSL flag, services",
    "logger and its settings",
    "crypto set-up (OpenSSL's first AES-GCM fetch)",
    "keychain open (SQLite, key file, check value)",
    "item find and decrypt",
    "restart request (spawn, tool, wait)",
    "result line",
};

int runProbe() {
    std::array<double, kPhases.size()> phases{};
    double mark = nowNs();
    const auto lap = [&mark, &phases](std::size_t phase) {
        const double now = nowNs();
        phases[phase] = now - mark;
        mark = now;
    };
    const ParseOutcome outcome = parseCommandLine({});
    if (!std::holds_alternative<PasswordDaemon>(outcome)) {
        return 1;
    }
    // As lockstepd's main does before the run.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    RealMachine& real = machine();
    lap(0);
    // The first log call makes the shared logger, which reads the settings.
    static_cast<void>(MDLUnifiedLogger::sharedLogger());
    lap(1);
    // OpenSSL sets up its algorithm tables on the first fetch, which in the
    // daemon happens inside the keychain open; done here first, it is timed
    // apart.
    EVP_CIPHER_free(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
    lap(2);
    SecKeychainRef keychain;
    try {
        const SecretKeeper keeper(real.keychain, "SecretKeeper", "SecretKeeper",
                                  "/usr/local/var/meridale");
        keychain = keeper.systemKeychain();
    } catch (const SecretKeeperError&) {
        return 1;
    }
    lap(3);
    const auto item = KeychainUtil::findPassword(real.context, "Lockstep", std::nullopt, keychain);
    if (!item) {
        return 1;
    }
    lap(4);
    const bool armed = FDESetupHelper::filevaultAuth(item->username, item->passwordText(),
                                                     real.context.fdesetupPath);
    lap(5);
    const std::string_view message = armed ? kArmed : "Failed to authenticate with FileVault";
    LOCKSTEP_LOG_DEBUG(message, "run()");
    std::ostringstream discarded;
    discarded << message << '\n' << std::flush;
    lap(6);
    for (std::size_t i = 0; i < phases.size(); ++i) {
        std::printf("%zu %.0f\n", i, phases[i]);
    }
    return armed ? 0 : 1;
}

std::array<Spread, kPhases.size()> coldPhases(const std::string& self) {
    std::array<std::vector<double>, kPhases.size()> samples;
    for (int run = 0; run < gProbes; ++run) {
        const Captured result = capture({self, kProbeFlag});
        if (!result.exited || result.code != 0) {
            throw std::runtime_error("the probe of the plain path failed: " + result.err);
        }
        std::istringstream lines(result.out);
        std::size_t index = 0;
        double value = 0;
        while (lines >> index >> value) {
            if (index < samples.size()) {
                samples[index].push_back(value);
            }
        }
    }
    std::array<Spread, kPhases.size()> spreads;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        spreads[i] = spreadOf(samples[i]);
    }
    return spreads;
}

// Peak resident size in KiB of one run under /usr/bin/time -v; nothing when
// it cannot be measured.
std::optional<long> peakResidentKiB(const std::vector<std::string>& command) {
    std::vector<std::string> timed = {kTime, "-v"};
    timed.insert(timed.end(), command.begin(), command.end());
    const Captured result = capture(timed);
    constexpr std::string_view kLabel = "Maximum resident set size (kbytes):";
    const auto at = result.err.find(kLabel);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return std::strtol(result.err.c_str() + at + kLabel.size(), nullptr, 10);
}

std::optional<long> medianPeakKiB(const std::vector<std::string>& command) {
    std::vector<double> values;
    for (int run = 0; run < 3; ++run) {
        const auto kib = peakResidentKiB(command);
        if (!kib) {
            return std::nullopt;
        }
        values.push_back(static_cast<double>(*kib));
    }
    return static_cast<long>(percentile(values, 0.5));
}

int countLibraries(const std::string& program) {
    const Captured result = capture({program}, {"LD_TRACE_LOADED_OBJECTS=1"});
    int count = 0;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("=>") != std::string::npos) {
            ++count;
        }
    }
    return count;
}

double ms(double ns) {
    return ns / 1e6;
}

// One table of whole-process times: medians, spread and ratios.
void printTable(const char* title, std::map<std::string, std::vector<double>>& samples) {
    const Spread bare = spreadOf(samples["/bin/true"]);
    const Spread reference = spreadOf(samples["reference plain run"]);
    const Spread daemon = spreadOf(samples["lockstepd (plain run)"]);
    std::printf("  %s\n", title);
    std::printf("  %-24s %9s %9s %9s %9s %9s\n", "program", "median", "p10", "p90", "x true",
                "x ref.");
    for (const auto& program : timedPrograms()) {
        const Spread s = spreadOf(samples[program.label]);
        std::printf("  %-24s %6.3f ms %6.3f ms %6.3f ms %8.2fx %8.2fx\n", program.label.c_str(),
                    ms(s.median), ms(s.p10), ms(s.p90), s.median / bare.median,
                    s.median / reference.median);
    }
    std::printf(
        "  => lockstepd plain run: %.2fx /bin/true (limit 6x), %.2fx the reference "
        "(limit 1.5x)\n\n",
        daemon.median / bare.median, daemon.median / reference.median);
}

void printSummary(const std::string& self) {
    std::printf("\nWhole process: %d rounds, the programs alternating in a rotating order\n",
                gRounds);
    std::printf("(load average %s before, %s after; %ld cores)\n", gLoadBefore.c_str(),
                gLoadAfter.c_str(), ::sysconf(_SC_NPROCESSORS_ONLN));
    printTable("wall time, posix_spawn to the end of wait:", gWholeProcessNs);
    printTable("CPU time (user + system, from wait4; less sensitive to other load):",
               gWholeProcessCpuNs);
    const Spread bare = spreadOf(gWholeProcessNs["/bin/true"]);
    const Spread daemon = spreadOf(gWholeProcessNs["lockstepd (plain run)"]);
    const Spread help = spreadOf(gWholeProcessNs["lockstepd --help"]);
    std::printf("  shared libraries loaded: lockstepd %d, reference %d, /bin/true %d\n",
                countLibraries(LOCKSTEPD_BINARY), countLibraries(LOCKSTEP_REFERENCE_PLAIN_RUN),
                countLibraries(kTrue));

    const auto cold = coldPhases(self);
    double work = 0;
    for (const Spread& s : cold) {
        work += s.median;
    }
    const Spread helpCpu = spreadOf(gWholeProcessCpuNs["lockstepd --help"]);
    const Spread bareCpu = spreadOf(gWholeProcessCpuNs["/bin/true"]);
    std::printf("\nWhere a plain run's time goes (medians; wall time, CPU time in brackets):\n");
    std::printf("  %-48s %6.3f ms  [%.3f]  whole-process lockstepd --help\n",
                "process start, linking, static init, exit", ms(help.median), ms(helpCpu.median));
    std::printf("  %-48s %6.3f ms  [%.3f]  /bin/true: the floor of any process\n",
                "  of which any process", ms(bare.median), ms(bareCpu.median));
    const Spread referenceStart = spreadOf(gWholeProcessNs["reference, start only"]);
    const Spread referenceStartCpu = spreadOf(gWholeProcessCpuNs["reference, start only"]);
    std::printf("  %-48s %6.3f ms  [%.3f]  the reference program, exiting at once\n",
                "  the same for the libraries of the reference", ms(referenceStart.median),
                ms(referenceStartCpu.median));
    std::printf("  then the steps of the run, timed once each in %d fresh processes:\n", gProbes);
    for (std::size_t i = 0; i < kPhases.size(); ++i) {
        std::printf("  %-48s %6.3f ms  (p10 %.3f, p90 %.3f)\n", kPhases[i], ms(cold[i].median),
                    ms(cold[i].p10), ms(cold[i].p90));
    }
    std::printf("  %-48s %6.3f ms\n", "sum", ms(help.median + work));
    std::printf("  %-48s %6.3f ms\n", "measured whole plain run", ms(daemon.median));
    std::printf(
        "  warm, in this process: keychain open+find+decrypt %.3f ms, restart request "
        "%.3f ms, whole run() %.3f ms\n",
        ms(gInProcessNs["keychain"]), ms(gInProcessNs["child"]), ms(gInProcessNs["run"]));

    std::printf("\nPeak resident size (/usr/bin/time -v, median of 3 runs; limit 12 MiB):\n");
    const std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
        {"plain run", {LOCKSTEPD_BINARY}},
        {"enrolment (SHA-512 crypt hash)",
         {LOCKSTEPD_BINARY, "--set-user", "--user", kUser, "--password", kPassword}},
        {"enrolment (yescrypt hash, Debian's default)",
         {LOCKSTEPD_BINARY, "--set-user", "--user", kYescryptUser, "--password", kPassword}},
        {"reference, start only", {LOCKSTEP_REFERENCE_PLAIN_RUN, "--exit"}},
        {"reference plain run", {LOCKSTEP_REFERENCE_PLAIN_RUN}},
        {"/bin/true", {kTrue}},
    };
    for (const auto& [label, command] : runs) {
        const auto kib = medianPeakKiB(command);
        if (!kib) {
            std::printf("  %-48s not measured (/usr/bin/time is missing: apt-get install time)\n",
                        label.c_str());
            continue;
        }
        std::printf("  %-48s %6.2f MiB\n", label.c_str(), static_cast<double>(*kib) / 1024.0);
    }
}

// Stores the credential that the plain runs read, with one real enrolment.
void enrol() {
    const Captured result =
        capture({LOCKSTEPD_BINARY, "--set-user", "--user", kUser, "--password", kPassword});
    if (result.out.find(kArmed) == std::string::npos) {
        throw std::runtime_error("the enrolment did not arm the restart:\n" + result.out +
                                 result.err);
    }
    const Captured plain = capture({LOCKSTEPD_BINARY});
    if (plain.out.find(kArmed) == std::string::npos) {
        throw std::runtime_error("the plain run did not arm the restart:\n" + plain.out +
                                 plain.err);
    }
}

int runInside(int argc, char** argv) {
    std::vector<char*> arguments;
    for (int i = 0; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == kInsideFlag) {
            continue;
        }
        if (argument.starts_with("--rounds=")) {
            gRounds = std::max(1, std::atoi(argv[i] + std::strlen("--rounds=")));
            continue;
        }
        if (argument.starts_with("--probes=")) {
            gProbes = std::max(1, std::atoi(argv[i] + std::strlen("--probes=")));
            continue;
        }
        arguments.push_back(argv[i]);
    }
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    try {
        enrol();
        benchmark::RegisterBenchmark("BM_WholeProcess", BM_WholeProcess)
            ->Iterations(gRounds)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::Initialize(&count, arguments.data());
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        if (!gWholeProcessNs.empty()) {
            std::error_code error;
            printSummary(fs::read_symlink("/proc/self/exe", error).string());
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "whole_process: %s\n", error.what());
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace lockstep

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == lockstep::kProbeFlag) {
        return lockstep::runProbe();
    }
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == lockstep::kInsideFlag) {
            return lockstep::runInside(argc, argv);
        }
    }
    try {
        return lockstep::runOutside(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "whole_process: %s\n", error.what());
        return 1;
    }
}
