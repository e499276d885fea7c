// Reading a sysfs attribute (Linux): what the kernel says of a device, as
// the USB serial scan and the gamepad scan read it.
#pragma once

#include <filesystem>
#include <string>

// The text of a regular file without trailing white space, at most 4 KiB
// (more than any attribute the scans read); "" if it cannot be read. Never
// opens anything but a regular file, so a fake tree cannot make it wait.
std::string readSysfsAttribute(const std::filesystem::path& path);
