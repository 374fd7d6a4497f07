// Everything the daemon finds at a fixed place: the files and device nodes
// it opens and the command lines of the board's tools. Nothing is read from a
// configuration; the texts are part of the board's interface.
#pragma once

inline constexpr const char kVersionText[] = "v1.4";
inline constexpr const char kBanner[] = "vog Vv1.4";

// Start-up.
inline constexpr const char kCpuInfoPath[] = "/proc/cpuinfo";
inline constexpr const char kSerialNeedle[] = "Serial\t\t: ";
inline constexpr const char kControllerPrimary[] = "/dev/gadget/1000480000.usb";
inline constexpr const char kControllerSecondary[] = "/dev/gadget/fe980000.usb";

// The bulk endpoint files and the firmware image.
inline constexpr const char kEp1InPath[] = "/dev/gadget/ep1in";
inline constexpr const char kEp1OutPath[] = "/dev/gadget/ep1out";
inline constexpr const char kFirmwarePath[] = "/tmp/firmware";

// Board information and the board's tools, run through the shell.
inline constexpr const char kEmmcPath[] = "/dev/mmcblk0";
inline constexpr const char kEmmcCommand[] = "mmc extcsd read /dev/mmcblk0 | grep EXT_CSD";
inline constexpr const char kBridgeTool[] = "/usr/sbin/velko-bridge-cli --baud 115200 --port /dev/ttyAMA1";
inline constexpr const char kSerialCommand[] =
    "/usr/sbin/velko-bridge-cli --baud 115200 --port /dev/ttyAMA1 get_serial";
// The LED command line: the bridge tool, "set_ledring" and the pattern word.
inline constexpr const char kLedCommandFormat[] = "%s set_ledring %s";
inline constexpr const char kRebootCommand[] = "reboot";
inline constexpr const char kShutdownCommand[] = "shutdown";
