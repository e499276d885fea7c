#include "monitor/gamepad_list.h"

#include "console/gamepad_scan.h"
#include "link/d2xx_linux.h"
#include "monitor/device_list.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// Why the pad cannot be opened, as the group to be in for a permission; ""
// when it can.
std::string openProblem(const std::string& node) {
    const int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return portOpenError(node, errno);
    }
    close(fd);
    return "";
}

} // namespace

void printGamepadList(std::FILE* out, const std::string& sysfsRoot, const std::string& devRoot) {
    const std::vector<GamepadDevice> pads = findGamepads(sysfsRoot, devRoot);
    if (pads.empty()) {
        std::fprintf(out, "\nNo gamepad found: the keyboard alone drives.\n");
        return;
    }
    std::vector<std::string> problems;
    std::size_t width = std::strlen("GAMEPAD");
    for (const GamepadDevice& pad : pads) {
        problems.push_back(openProblem(pad.node));
        width = std::max(width, pad.node.size());
    }
    const auto chosen = std::find(problems.begin(), problems.end(), "") - problems.begin();
    std::fprintf(out, "\n  %-*s  %-6s  %s\n", static_cast<int>(width), "GAMEPAD", "ACCESS", "NAME");
    for (std::size_t i = 0; i < pads.size(); ++i) {
        std::fprintf(out, "%c %-*s  %-6s  \"%s\"\n", static_cast<long>(i) == chosen ? '*' : ' ',
                     static_cast<int>(width), pads[i].node.c_str(),
                     problems[i].empty() ? "yes" : "no", printable(pads[i].label).c_str());
    }
    std::fprintf(out, "\n");
    if (chosen < static_cast<long>(pads.size())) {
        std::fprintf(out, "* the gamepad: rcdrive drives with it while a shoulder button is "
                          "held.\n");
    } else {
        std::fprintf(out, "None can be opened: the keyboard alone drives. Why:\n");
    }
    for (const std::string& problem : problems) {
        if (!problem.empty()) {
            std::fprintf(out, "%s\n", printable(problem).c_str());
        }
    }
}
