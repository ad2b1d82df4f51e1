// Enrolments started at once, each for another password of the same account:
// the real lockstepd, several at a time in one sandbox. Each daemon runs in a
// mount namespace of its own inside the sandbox's, in which /etc/shadow is a
// copy that gives the account that daemon's password; everything else,
// the System keychain above all, is shared. They wait at a gate (a lock file)
// and are let go together.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fault_fixtures.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

// Starts COUNT daemons, daemon i enrolling $PASSWORD_i with the shadow file
// $SANDBOX/shadow.i; each one's output, error text and exit status land in
// $SANDBOX/out.i, err.i and status.i.
constexpr char kScript[] = R"script(
    rm -f "$SANDBOX"/ready.*
    exec 9>"$SANDBOX/gate"
    flock -x 9
    for i in $(seq 1 "$COUNT"); do
        password=PASSWORD_$i
        (
            exec 9>&-
            touch "$SANDBOX/ready.$i"
            flock -s "$SANDBOX/gate" true
            status=0
            unshare --mount --propagation private -- /bin/bash -c '
                mount --bind "$1" /etc/shadow
                FAKE_FDESETUP_RECORD=$2 exec "$3" --set-user --user alice --password "$4"' \
                enrol "$SANDBOX/shadow.$i" "$SANDBOX/record.$i" "$LOCKSTEPD" "${!password}" \
                >"$SANDBOX/out.$i" 2>"$SANDBOX/err.$i" || status=$?
            echo "$status" >"$SANDBOX/status.$i"
        ) &
    done
    for _ in $(seq 3000); do
        [ "$(ls "$SANDBOX"/ready.* | wc -l)" -ge "$COUNT" ] && break
        sleep 0.01
    done
    exec 9>&-
    wait)script";

class ConcurrentEnrolments : public SandboxTest, public ::testing::WithParamInterface<int> {};

TEST_P(ConcurrentEnrolments, LeaveOneItemWithOneOfThePasswords) {
    const fs::path folder = sandbox().path();
    // The first round races to make the keychain as well.
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::map<std::string, std::string> environment{{"COUNT", std::to_string(GetParam())}};
        std::vector<std::string> passwords;
        for (int i = 1; i <= GetParam(); ++i) {
            const std::string n = std::to_string(i);
            passwords.push_back("round " + std::to_string(round) + " password " + n);
            environment["PASSWORD_" + n] = passwords.back();
            writeFile(folder / ("shadow." + n),
                      sandbox().shadowWithPassword(kUser, passwords.back()), fs::perms(0640));
        }
        const auto result = sandbox().runScript(kScript, environment);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        for (int i = 1; i <= GetParam(); ++i) {
            const std::string n = std::to_string(i);
            EXPECT_EQ(readFile(folder / ("status." + n)) + readFile(folder / ("out." + n)),
                      "0\n" + kEnrolled)
                << "#" << n << ": " << readFile(folder / ("err." + n));
        }
        const KeychainContents keychain = readKeychain(sandbox().systemKeychain());
        EXPECT_EQ(keychain.integrity, "ok");
        ASSERT_EQ(keychain.items.size(), 1U);
        EXPECT_EQ(keychain.items[0].account, kUser);
        EXPECT_TRUE(std::ranges::count(passwords, keychain.items[0].password) == 1);
    }
}

INSTANTIATE_TEST_SUITE_P(AtOnce, ConcurrentEnrolments, ::testing::Values(2, 8),
                         [](const auto& param) { return std::to_string(param.param) + "Daemons"; });

}  // namespace
}  // namespace lockstep::testing
