// Credential lookup in keychains of 10, 10,000 and 100,000 items, with and
// without an account name. Both lookups go through an index, so the time per
// lookup should stay flat as the keychain grows: the counter "x_10_items" is
// the time per lookup over that of the 10-item keychain, measured earlier in
// the same run (the sizes run in increasing order).

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/keychain/acl_codec.h"
#include "platform/keychain/keychain_store.h"
#include "platform/keychain/sqlite_keychain.h"

namespace lockstep {
namespace {

// Items are spread over services of ten accounts each, so a lookup without
// an account has several candidates and must pick the oldest.
constexpr std::int64_t kAccountsPerService = 10;

std::string serviceName(std::int64_t index) {
    return "service-" + std::to_string(index / kAccountsPerService);
}
std::string accountName(std::int64_t index) {
    return "account-" + std::to_string(index % kAccountsPerService);
}

struct Keychain {
    std::filesystem::path folder;
    std::unique_ptr<SqliteKeychainService> service;
    SecKeychainRef keychain;
};

// The keychains, built once per size in a temporary folder and removed when
// the program ends.
class Keychains {
  public:
    ~Keychains() {
        for (auto& [size, entry] : keychains_) {
            entry.keychain.reset();
            std::error_code ignored;
            std::filesystem::remove_all(entry.folder, ignored);
        }
    }

    Keychain& withItems(std::int64_t count) {
        auto found = keychains_.find(count);
        if (found == keychains_.end()) {
            found = keychains_.emplace(count, build(count)).first;
        }
        return found->second;
    }

  private:
    static Keychain build(std::int64_t count) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lockstep-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        Keychain result;
        result.folder = pattern;
        SqliteKeychainOptions options;
        options.systemKeychainPath = result.folder / "System.keychain";
        options.userKeychainPath = result.folder / "login.keychain";
        options.callingProgramPath = result.folder;
        result.service = std::make_unique<SqliteKeychainService>(options);
        if (result.service->SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem,
                                                         &result.keychain) != errSecSuccess) {
            throw std::runtime_error("cannot create the keychain");
        }

        // All items in one transaction through the store's batch add; each
        // carries the default access, encoded once.
        SecAccessRef access;
        if (result.service->SecAccessCreate("bench", std::nullopt, &access) != errSecSuccess) {
            throw std::runtime_error("cannot create the access");
        }
        const auto acl = keychain_internal::encodeAclList(access->acls);
        if (!acl) {
            throw std::runtime_error("cannot encode the access");
        }
        std::vector<SecretBytes> secrets;
        std::vector<keychain_internal::NewItem> items;
        secrets.reserve(static_cast<std::size_t>(count));
        items.reserve(static_cast<std::size_t>(count));
        for (std::int64_t i = 0; i < count; ++i) {
            secrets.emplace_back(toBytes("secret-" + std::to_string(i)));
            items.push_back(
                {toBytes(serviceName(i)), toBytes(accountName(i)), &secrets.back(), *acl});
        }
        if (result.keychain->add(items, nullptr) != errSecSuccess) {
            throw std::runtime_error("cannot add the items");
        }
        return result;
    }

    std::map<std::int64_t, Keychain> keychains_;
};

Keychains& keychains() {
    static Keychains instance;
    return instance;
}

// CPU time of the calling thread, so that other load on the machine does not
// skew the ratio.
double threadNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Time per lookup in the 10-item keychain, by lookup kind (with account or not).
std::map<bool, double> smallKeychainNs;

void findPassword(benchmark::State& state, bool withAccount) {
    Keychain& entry = keychains().withItems(state.range(0));
    // An item in the middle of the keychain.
    const std::int64_t target = state.range(0) / 2;
    const std::string service = serviceName(target);
    const std::string account = accountName(target);
    const double start = threadNanoseconds();
    for (auto _ : state) {
        std::uint32_t length = 0;
        SecretBytes password;
        SecKeychainItemRef item;
        const OSStatus status = entry.service->SecKeychainFindGenericPassword(
            entry.keychain, static_cast<std::uint32_t>(service.size()), service.data(),
            withAccount ? static_cast<std::uint32_t>(account.size()) : 0U,
            withAccount ? account.data() : nullptr, &length, &password, &item);
        if (status != errSecSuccess) {
            state.SkipWithError("lookup failed");
            break;
        }
        benchmark::DoNotOptimize(password.data());
        benchmark::DoNotOptimize(item.get());
    }
    const double perLookup =
        (threadNanoseconds() - start) / static_cast<double>(state.iterations());
    state.counters["items"] = static_cast<double>(state.range(0));
    if (state.range(0) == 10) {
        smallKeychainNs[withAccount] = perLookup;
    }
    if (const auto small = smallKeychainNs.find(withAccount); small != smallKeychainNs.end()) {
        state.counters["x_10_items"] = perLookup / small->second;
    }
}

void BM_FindGenericPasswordWithAccount(benchmark::State& state) {
    findPassword(state, true);
}
void BM_FindGenericPasswordWithoutAccount(benchmark::State& state) {
    findPassword(state, false);
}

BENCHMARK(BM_FindGenericPasswordWithAccount)
    ->Arg(10)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindGenericPasswordWithoutAccount)
    ->Arg(10)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace lockstep

BENCHMARK_MAIN();
