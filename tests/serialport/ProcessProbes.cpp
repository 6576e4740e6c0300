#include "ProcessProbes.h"

#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace serialtest {

namespace {

int countEntries(const char* path)
{
    DIR* dir = opendir(path);
    if (!dir)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count;
}

} // namespace

std::chrono::microseconds processCpuTime()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::microseconds(ts.tv_nsec / 1000);
}

int threadCount()
{
    // ThreadSanitizer starts a thread of its own with the first thread the program creates:
    // make sure it is there before anything is counted.
    static const bool sanitizerThreadsStarted = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)sanitizerThreadsStarted;
    return countEntries("/proc/self/task");
}

int currentThreadId()
{
    return static_cast<int>(::gettid());
}

long threadContextSwitches(int threadId)
{
    const std::string path = "/proc/self/task/" + std::to_string(threadId) + "/status";
    std::ifstream status(path);
    if (!status)
        return -1;
    long switches = 0;
    std::string line;
    while (std::getline(status, line)) {
        for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
            if (line.rfind(key, 0) == 0)
                switches += std::stol(line.substr(std::strlen(key)));
        }
    }
    return switches;
}

int openDescriptorCount()
{
    return countEntries("/proc/self/fd") - 1;
}

} // namespace serialtest
