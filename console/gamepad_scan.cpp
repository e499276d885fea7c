// sysfs has, for each evdev node, class/input/eventN with a `device` link to
// the input device, whose `name` file holds its name and whose
// capabilities/key and capabilities/abs hold the key and axis bitmaps.
#include "console/gamepad_scan.h"

#include "process/sysfs_attribute.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <sys/utsname.h>

#include <linux/input-event-codes.h>

namespace fs = std::filesystem;

namespace {

// Whether bit is set in a bitmap written as hex words, the most significant
// word first (the kernel leaves out leading zero words).
bool hasBit(const std::string& words, int bit, int longBits) {
    std::istringstream in(words);
    std::vector<std::string> list;
    for (std::string word; in >> word;) {
        list.push_back(word);
    }
    const std::size_t index = static_cast<std::size_t>(bit / longBits);
    if (index >= list.size()) {
        return false;
    }
    const std::string& word = list[list.size() - 1 - index];
    if (word.size() > 16 || word.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    const unsigned long long value = std::strtoull(word.c_str(), nullptr, 16);
    return (value >> (bit % longBits)) & 1;
}

// The width of the kernel's unsigned long, in which it writes the bitmaps:
// a 32-bit program may run on a 64-bit kernel.
int kernelLongBits() {
    if (sizeof(long) == 8) {
        return 64;
    }
    utsname system{};
    const std::string machine = uname(&system) == 0 ? system.machine : "";
    return machine.find("64") != std::string::npos || machine == "s390x" ? 64 : 32;
}

// The number after "event", or -1 if the name is not event<number>.
long eventNumber(const std::string& name) {
    const std::string prefix = "event";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 9 ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) {
        return -1;
    }
    return std::strtol(name.c_str() + prefix.size(), nullptr, 10);
}

} // namespace

bool reportsGamepad(const std::string& keyBits, const std::string& absBits, int longBits) {
    const bool stick = hasBit(absBits, ABS_X, longBits) && hasBit(absBits, ABS_Y, longBits);
    const bool buttons = hasBit(keyBits, BTN_TL, longBits) || hasBit(keyBits, BTN_TR, longBits) ||
                         hasBit(keyBits, BTN_GAMEPAD, longBits);
    return stick && buttons;
}

std::vector<GamepadDevice> findGamepads(const std::string& sysfsRoot, const std::string& devRoot) {
    std::vector<std::pair<long, GamepadDevice>> found;
    const int longBits = kernelLongBits();
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(sysfsRoot) / "class" / "input", ec), end;
         !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const long number = eventNumber(name);
        const fs::path device = it->path() / "device";
        if (number < 0 ||
            !reportsGamepad(readSysfsAttribute(device / "capabilities" / "key"),
                            readSysfsAttribute(device / "capabilities" / "abs"), longBits)) {
            continue;
        }
        found.push_back(
            {number, {name, devRoot + "/input/" + name, readSysfsAttribute(device / "name")}});
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<GamepadDevice> pads;
    for (auto& entry : found) {
        pads.push_back(std::move(entry.second));
    }
    return pads;
}
