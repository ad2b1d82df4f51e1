#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lockstep {

// The program that lists network interfaces with their hardware addresses.
inline constexpr std::string_view kIfconfigPath = "/sbin/ifconfig";

// The machine's hardware serial number, read from files under `machineRoot`
// ("/" on a real machine), first that gives a meaningful value:
//   1. the firmware tables: sys/class/dmi/id/product_serial, then
//      sys/class/dmi/id/board_serial;
//   2. the device tree: proc/device-tree/serial-number, then
//      sys/firmware/devicetree/base/serial-number;
//   3. the machine ID: etc/machine-id.
// A value is trimmed of white space (and the device tree's trailing NULs) and
// rejected when empty, all zeros, or a vendor placeholder such as
// "Not Specified" or "To Be Filled By O.E.M." (compared without case).
// Nothing when no source gives one.
[[nodiscard]] std::optional<std::string> getSerial(const std::filesystem::path& machineRoot = "/");

// The short name of the user logged in at a local console or display, from
// the login records in var/run/utmp under `machineRoot`: a live user process
// on a graphical display (":0"), else on "console", else on a virtual
// terminal ("tty1"); among several, the latest login. Remote and
// pseudo-terminal sessions ("pts/0") do not count. Empty text when there is
// none or the records cannot be read.
[[nodiscard]] std::string getConsoleUser(const std::filesystem::path& machineRoot = "/");

// The first Ethernet hardware address that `ifconfig -a` lists: the word
// after the first word "ether" on a line, so whatever follows the address on
// that line (Linux prints "txqueuelen 1000  (Ethernet)") is left out. Empty
// text when no line has one.
[[nodiscard]] std::string getMAC(const std::filesystem::path& ifconfigPath = kIfconfigPath);

}  // namespace lockstep
