#include "monitor/device_list.h"

#include "link/d2xx_linux.h"
#include "link/usb_serial.h"
#include "link/wire_format.h"
#include "monitor/port_holders.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Row {
    const UsbSerialDevice* device;
    bool chosen; // the one rcdrive would open
    std::string access;
    std::string note;      // why it cannot be opened
    std::string joinGroup; // a group the user would have to join to open it
};

bool isTransmitter(const Row& row) {
    return row.device->description == kDeviceDescription;
}

bool inSessionGroups(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    const int got = count > 0 ? getgroups(count, groups.data()) : 0;
    return std::find(groups.begin(), groups.begin() + std::max(got, 0), gid) !=
           groups.begin() + std::max(got, 0);
}

// Whether the user's account lists the group, whatever this session has.
bool accountHasGroup(gid_t gid) {
    const passwd* pw = getpwuid(getuid());
    if (pw == nullptr) {
        return false;
    }
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0) {
            return false;
        }
    }
    groups.resize(static_cast<std::size_t>(count));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// A device that may be opened can still be of no use: another program may
// hold it (the processes /proc shows are named), and a transmitter may
// refuse the line. Only a device with the transmitter's description is
// tried, as rcdrive would try it: opening a serial port raises its modem
// lines, which some other devices take as a reset.
void checkUse(Row& row) {
    const std::string& node = row.device->node;
    const std::string holders = portHolders(node);
    if (!holders.empty()) {
        row.note = portOpenError(node, EBUSY) + ": " + holders;
    } else if (isTransmitter(row)) {
        row.note = portProblem(node);
    }
    row.access = row.note.empty() ? "yes" : "no";
}

void checkAccess(Row& row) {
    const std::string& node = row.device->node;
    struct stat st {};
    if (stat(node.c_str(), &st) != 0) {
        row.access = "no";
        row.note = node + ": no device node: " + std::strerror(errno);
        return;
    }
    if (access(node.c_str(), R_OK | W_OK) == 0) {
        checkUse(row);
        return;
    }
    const int error = errno;
    row.access = "no";
    if (error != EACCES) {
        row.note = node + ": " + std::strerror(error);
        return;
    }
    const std::string group = portGroup(node);
    const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!groupMayUse) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
        row.note =
            node + ": permission denied; not even its group " + group + " may use it (mode " +
            mode +
            "). rcdrive's udev rule, packaging/udev/70-rcdrive.rules, gives the transmitter to "
            "dialout.";
    } else if (!inSessionGroups(st.st_gid) && accountHasGroup(st.st_gid)) {
        row.note = node + ": permission denied; it belongs to group " + group +
                   ", which you joined after this login began. Log out and in again.";
    } else {
        row.note =
            node + ": permission denied; it belongs to group " + group + ", which you are not in.";
        row.joinGroup = group;
    }
}

} // namespace

std::string printable(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        shown += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    }
    return shown;
}

void printDeviceList(std::FILE* out, const std::string& sysfsRoot, const std::string& devRoot) {
    const std::vector<UsbSerialDevice> devices = findUsbSerialDevices(sysfsRoot, devRoot);
    if (devices.empty()) {
        std::fprintf(out, "No USB serial devices found. Is the transmitter plugged in?\n");
        return;
    }
    std::vector<Row> rows;
    bool chosenYet = false;
    bool transmitterSeen = false;
    for (const UsbSerialDevice& device : devices) {
        Row row{&device, false, "", "", ""};
        checkAccess(row);
        // rcdrive takes the first device, in numeric order, with this exact
        // description that it can use.
        transmitterSeen = transmitterSeen || isTransmitter(row);
        if (!chosenYet && isTransmitter(row) && row.note.empty()) {
            row.chosen = chosenYet = true;
        }
        rows.push_back(row);
    }
    std::size_t nodeWidth = std::strlen("DEVICE");
    std::size_t driverWidth = std::strlen("DRIVER");
    for (const Row& row : rows) {
        nodeWidth = std::max(nodeWidth, row.device->node.size());
        driverWidth = std::max(driverWidth, printable(row.device->driver).size());
    }
    const int nw = static_cast<int>(nodeWidth);
    const int dw = static_cast<int>(driverWidth);
    std::fprintf(out, "  %-*s  %-*s  %-6s  %s\n", nw, "DEVICE", dw, "DRIVER", "ACCESS",
                 "USB DESCRIPTION");
    for (const Row& row : rows) {
        const std::string description = row.device->description.empty()
                                            ? std::string("(none)")
                                            : "\"" + printable(row.device->description) + "\"";
        const std::string driver =
            row.device->driver.empty() ? std::string("?") : printable(row.device->driver);
        std::fprintf(out, "%c %-*s  %-*s  %-6s  %s\n", row.chosen ? '*' : ' ', nw,
                     row.device->node.c_str(), dw, driver.c_str(), row.access.c_str(),
                     description.c_str());
    }
    std::fprintf(out, "\n");
    if (chosenYet) {
        std::fprintf(out,
                     "* the transmitter: rcdrive opens this device (USB description \"%s\").\n",
                     kDeviceDescription);
    } else if (transmitterSeen) {
        std::fprintf(out,
                     "None with the USB description \"%s\" can be used now: rcdrive would keep "
                     "waiting for the transmitter. Why:\n",
                     kDeviceDescription);
    } else {
        std::fprintf(out,
                     "None has the USB description \"%s\": rcdrive would keep waiting for "
                     "the transmitter.\n",
                     kDeviceDescription);
    }
    std::vector<std::string> groupsToJoin;
    for (const Row& row : rows) {
        if (!row.note.empty()) {
            std::fprintf(out, "%s\n", row.note.c_str());
        }
        if (!row.joinGroup.empty() && std::find(groupsToJoin.begin(), groupsToJoin.end(),
                                                row.joinGroup) == groupsToJoin.end()) {
            groupsToJoin.push_back(row.joinGroup);
        }
    }
    for (const std::string& group : groupsToJoin) {
        std::fprintf(
            out, "To join group %s: sudo usermod -aG %s \"$USER\", then log out and in again.\n",
            group.c_str(), group.c_str());
    }
}
