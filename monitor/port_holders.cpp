#include "monitor/port_holders.h"

#include <cctype>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The same file: for devices the same device number, whatever node it was
// opened by (/dev/ttyUSB0, /dev/serial/by-id/...); else the same inode.
bool sameFile(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) || S_ISCHR(b.st_mode)) {
        return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool holds(const std::string& processDir, const struct stat& wanted) {
    const std::string fdDir = processDir + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (fds == nullptr) {
        return false;
    }
    bool found = false;
    for (dirent* entry; !found && (entry = readdir(fds)) != nullptr;) {
        struct stat opened {};
        found = entry->d_name[0] != '.' &&
                stat((fdDir + "/" + entry->d_name).c_str(), &opened) == 0 &&
                sameFile(opened, wanted);
    }
    closedir(fds);
    return found;
}

// A process names itself: nothing in the name may reach the terminal as a
// control character.
std::string commandName(const std::string& processDir) {
    std::string name;
    std::getline(std::ifstream(processDir + "/comm"), name);
    for (char& c : name) {
        c = std::iscntrl(static_cast<unsigned char>(c)) ? '?' : c;
    }
    return name.empty() ? "?" : name;
}

} // namespace

std::string portHolders(const std::string& path) {
    struct stat wanted {};
    DIR* proc = opendir("/proc");
    if (proc == nullptr || stat(path.c_str(), &wanted) != 0) {
        if (proc != nullptr) {
            closedir(proc);
        }
        return "";
    }
    const std::string self = std::to_string(getpid());
    std::string holders;
    for (dirent* entry; (entry = readdir(proc)) != nullptr;) {
        const std::string pid = entry->d_name;
        if (!std::isdigit(static_cast<unsigned char>(pid[0])) || pid == self) {
            continue;
        }
        const std::string processDir = "/proc/" + pid;
        if (holds(processDir, wanted)) {
            holders +=
                (holders.empty() ? "" : ", ") + commandName(processDir) + " (pid " + pid + ")";
        }
    }
    closedir(proc);
    return holders;
}
