#include "account/machine_identity.h"

#include <gtest/gtest.h>
#include <utmpx.h>

#include <cstring>

#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

using namespace std::string_literals;

TEST(MachineIdentityTest, SerialIsTheFirstMeaningfulSource) {
    const char* sources[] = {"sys/class/dmi/id/product_serial", "sys/class/dmi/id/board_serial",
                             "proc/device-tree/serial-number", "etc/machine-id"};
    // The contents of each source in that order, and the serial.
    // Placeholders (in any case), empty text and zeros are skipped.
    const std::vector<std::pair<std::vector<std::string>, std::optional<std::string>>> cases{
        {{"To Be Filled By O.E.M.\n", "  BOARD9 \n", "", "abc\n"}, "BOARD9"},
        {{"NOT SPECIFIED\n", "0\n", "00000000deadbeef\0"s}, "00000000deadbeef"},
        {{"System Serial Number\n", "", "", "4c4c4544004e3010\n"}, "4c4c4544004e3010"},
        {{"Default string\n", "", "", "uninitialized\n"}, std::nullopt}};
    for (const auto& [contents, expected] : cases) {
        TempDir root;
        for (std::size_t i = 0; i < contents.size(); ++i) writeFile(root / sources[i], contents[i]);
        EXPECT_EQ(getSerial(root.path()), expected) << expected.value_or("nothing");
    }
}

// One login record.
std::string login(short type, std::string_view line, std::string_view user, int seconds = 1) {
    utmpx record{};
    record.ut_type = type;
    std::memcpy(record.ut_line, line.data(), std::min(line.size(), sizeof(record.ut_line)));
    std::memcpy(record.ut_user, user.data(), std::min(user.size(), sizeof(record.ut_user)));
    record.ut_tv.tv_sec = seconds;
    return std::string(reinterpret_cast<const char*>(&record), sizeof(record));
}

TEST(MachineIdentityTest, ConsoleUserIsTheLocalSession) {
    const short user = USER_PROCESS;
    const std::vector<std::pair<std::string, std::string>> cases{
        // A display over terminals, a console over a terminal, the latest display.
        {login(BOOT_TIME, "~", "reboot") + login(user, "pts/0", "remote", 5) +
             login(user, "tty1", "alice", 3) + login(user, ":0", "bob", 2),
         "bob"},
        {login(user, "tty2", "alice", 9) + login(user, "console", "carol"), "carol"},
        {login(user, ":1", "late", 20) + login(user, ":0.0", "early", 10), "late"},
        // Remote and ended sessions are ignored.
        {login(user, "host:0", "xremote") + login(DEAD_PROCESS, ":0", "gone"), ""},
        // A partial record at the end (a file caught mid-write) is left out.
        {login(user, "tty1", "alice") + "partial record", "alice"}};
    for (const auto& [records, expected] : cases) {
        TempDir root;
        writeFile(root / "var/run/utmp", records);
        EXPECT_EQ(getConsoleUser(root.path()), expected);
    }
}

}  // namespace
}  // namespace lockstep::testing
