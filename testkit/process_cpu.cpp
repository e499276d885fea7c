#include "testkit/process_cpu.h"

#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

CpuSample sampleCpu(pid_t pid) {
    CpuSample sample;
    const std::string dir = "/proc/" + std::to_string(pid) + "/";
    std::ifstream schedstat(dir + "schedstat");
    long long onCpuNs = 0;
    long long waitNs = 0;
    long long runs = 0;
    if (schedstat >> onCpuNs >> waitNs >> runs) {
        sample.schedNs = onCpuNs;
        sample.waitNs = waitNs;
        sample.runs = runs;
    }
    std::ifstream statFile(dir + "stat");
    std::string stat;
    std::getline(statFile, stat);
    // The command name may hold spaces: the fields count from after its ')',
    // the state (field 3) first; utime and stime are fields 14 and 15.
    const std::size_t close = stat.rfind(')');
    std::istringstream fields(close == std::string::npos ? "" : stat.substr(close + 1));
    std::string skipped;
    for (int number = 3; number < 14 && (fields >> skipped); ++number) {
    }
    long long utime = -1;
    long long stime = -1;
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if ((fields >> utime >> stime) && ticksPerSecond > 0) {
        sample.statNs = (utime + stime) * (1000000000LL / ticksPerSecond);
    }
    return sample;
}

std::int64_t cpuBetween(const CpuSample& from, const CpuSample& to) {
    if (from.schedNs >= 0 && to.schedNs > 0) {
        return to.schedNs - from.schedNs;
    }
    if (from.statNs >= 0 && to.statNs >= 0) {
        return to.statNs - from.statNs;
    }
    return -1;
}
