#include "account/machine_identity.h"

#include <gtest/gtest.h>
#include <utmpx.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

using namespace std::string_literals;

// ---- getSerial ----

struct SerialCase {
    const char* name;
    std::map<std::string, std::string> files;  // relative path -> contents
    std::optional<std::string> expected;
};

const std::string kProduct = "sys/class/dmi/id/product_serial";
const std::string kBoard = "sys/class/dmi/id/board_serial";
const std::string kProcTree = "proc/device-tree/serial-number";
const std::string kFirmwareTree = "sys/firmware/devicetree/base/serial-number";
const std::string kMachineId = "etc/machine-id";

class GetSerialTest : public ::testing::TestWithParam<SerialCase> {};

TEST_P(GetSerialTest, TakesTheFirstMeaningfulSource) {
    TempDir root;
    for (const auto& [path, contents] : GetParam().files) {
        writeFile(root / path, contents);
    }
    EXPECT_EQ(getSerial(root.path()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, GetSerialTest,
    ::testing::Values(
        SerialCase{"ProductFirst",
                   {{kProduct, "PF2ABC12\n"}, {kBoard, "BOARD9\n"}, {kMachineId, "abc\n"}},
                   "PF2ABC12"},
        SerialCase{"BoardWhenProductIsPlaceholder",
                   {{kProduct, "To Be Filled By O.E.M.\n"}, {kBoard, "  BOARD9 \n"}},
                   "BOARD9"},
        SerialCase{"PlaceholdersIgnoreCase",
                   {{kProduct, "NOT SPECIFIED\n"},
                    {kBoard, "default string\n"},
                    {kProcTree, "00000000deadbeef\0"s}},
                   "00000000deadbeef"},
        SerialCase{"EmptyAndZeroSkipped",
                   {{kProduct, "\n"}, {kBoard, "0\n"}, {kFirmwareTree, "RPI-42\0\0"s}},
                   "RPI-42"},
        SerialCase{"AllZeroTreeSkipped",
                   {{kProduct, "System Serial Number\n"},
                    {kProcTree, "0000000000000000\0"s},
                    {kMachineId, "4c4c4544004e3010804bb4c04f4e4d32\n"}},
                   "4c4c4544004e3010804bb4c04f4e4d32"},
        SerialCase{"ProcTreeBeforeFirmwareTree",
                   {{kProcTree, "FIRST\0"s}, {kFirmwareTree, "SECOND\0"s}},
                   "FIRST"},
        SerialCase{"NoSource", {}, std::nullopt},
        SerialCase{"OnlyPlaceholders",
                   {{kProduct, "Default string\n"}, {kMachineId, "uninitialized\n"}},
                   std::nullopt}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// ---- getConsoleUser ----

struct Login {
    short type;
    std::string line;
    std::string user;
    std::int32_t seconds;
};

void writeLogins(const std::filesystem::path& root, const std::vector<Login>& logins,
                 std::string_view trailing = {}) {
    std::string records;
    for (const auto& login : logins) {
        utmpx record{};
        record.ut_type = login.type;
        record.ut_pid = 1000;
        std::memcpy(record.ut_line, login.line.data(),
                    std::min(login.line.size(), sizeof(record.ut_line)));
        std::memcpy(record.ut_user, login.user.data(),
                    std::min(login.user.size(), sizeof(record.ut_user)));
        record.ut_tv.tv_sec = login.seconds;
        records.append(reinterpret_cast<const char*>(&record), sizeof(record));
    }
    records += trailing;
    writeFile(root / "var/run/utmp", records);
}

struct ConsoleCase {
    const char* name;
    std::vector<Login> logins;
    std::string expected;
};

class GetConsoleUserTest : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(GetConsoleUserTest, PicksTheLocalSession) {
    TempDir root;
    writeLogins(root.path(), GetParam().logins);
    EXPECT_EQ(getConsoleUser(root.path()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Logins, GetConsoleUserTest,
    ::testing::Values(
        ConsoleCase{"DisplayOverTerminals",
                    {{BOOT_TIME, "~", "reboot", 1},
                     {USER_PROCESS, "pts/0", "remote", 5},
                     {USER_PROCESS, "tty1", "alice", 3},
                     {USER_PROCESS, ":0", "bob", 2}},
                    "bob"},
        ConsoleCase{"ConsoleOverTerminal",
                    {{USER_PROCESS, "tty2", "alice", 9}, {USER_PROCESS, "console", "carol", 1}},
                    "carol"},
        ConsoleCase{"LatestOfTwoDisplays",
                    {{USER_PROCESS, ":1", "late", 20}, {USER_PROCESS, ":0.0", "early", 10}},
                    "late"},
        ConsoleCase{"RemoteAndEndedSessionsIgnored",
                    {{USER_PROCESS, "pts/3", "remote", 1},
                     {USER_PROCESS, "host:0", "xremote", 1},
                     {USER_PROCESS, "ttyS0", "serial", 1},
                     {DEAD_PROCESS, ":0", "gone", 1},
                     {LOGIN_PROCESS, "tty1", "LOGIN", 1}},
                    ""},
        ConsoleCase{"FullWidthName",
                    {{USER_PROCESS, "tty1", std::string(sizeof(utmpx{}.ut_user), 'n'), 1}},
                    std::string(sizeof(utmpx{}.ut_user), 'n')}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(GetConsoleUserTest, MissingOrTruncatedRecords) {
    TempDir root;
    EXPECT_EQ(getConsoleUser(root.path()), "");
    // A partial record at the end (a file caught mid-write) is left out.
    writeLogins(root.path(), {{USER_PROCESS, "tty1", "alice", 1}}, "partial record");
    EXPECT_EQ(getConsoleUser(root.path()), "alice");
}

// ---- getMAC ----

struct MacCase {
    const char* name;
    std::string listing;
    std::string expected;
};

class GetMacTest : public ::testing::TestWithParam<MacCase> {};

TEST_P(GetMacTest, TakesTheAddressAfterTheFirstEther) {
    TempDir dir;
    writeFile(dir / "listing", GetParam().listing);
    writeFile(dir / "ifconfig",
              "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > '" + (dir / "args").string() + "'\ncat '" +
                  (dir / "listing").string() + "'\n",
              std::filesystem::perms(0755));
    EXPECT_EQ(getMAC(dir / "ifconfig"), GetParam().expected);
    EXPECT_EQ(readFile(dir / "args"), "1\n-a\n");  // exactly one argument, "-a"
}

INSTANTIATE_TEST_SUITE_P(
    Listings, GetMacTest,
    ::testing::Values(
        MacCase{"MacStyle",
                "lo0: flags=8049<UP,LOOPBACK,RUNNING,MULTICAST> mtu 16384\n"
                "\tinet 127.0.0.1 netmask 0xff000000\n"
                "en0: flags=8863<UP,BROADCAST,SMART,RUNNING,SIMPLEX,MULTICAST> mtu 1500\n"
                "\tether 3c:22:fb:01:02:03 \n"
                "\tinet 192.168.1.2 netmask 0xffffff00 broadcast 192.168.1.255\n",
                "3c:22:fb:01:02:03"},
        MacCase{"LinuxStyle",
                "lo: flags=73<UP,LOOPBACK,RUNNING>  mtu 65536\n"
                "        loop  txqueuelen 1000  (Local Loopback)\n"
                "eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
                "        inet 10.0.2.15  netmask 255.255.255.0  broadcast 10.0.2.255\n"
                "        ether 52:54:00:12:34:56  txqueuelen 1000  (Ethernet)\n"
                "eth1: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
                "        ether 52:54:00:ab:cd:ef  txqueuelen 1000  (Ethernet)\n",
                "52:54:00:12:34:56"},
        MacCase{"WordContainingEtherIsNotTheMarker",
                "ether0: flags=4163<UP>  mtu 1500\n"
                "        ether aa:bb:cc:dd:ee:ff  txqueuelen 1000  (Ethernet)\n",
                "aa:bb:cc:dd:ee:ff"},
        MacCase{"NoAddress", "lo: flags=73<UP,LOOPBACK,RUNNING>  mtu 65536\n", ""},
        MacCase{"NoOutput", "", ""}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(GetMacTest, MissingToolGivesEmptyText) {
    TempDir dir;
    EXPECT_EQ(getMAC(dir / "no-ifconfig"), "");
}

}  // namespace
}  // namespace lockstep::testing
