#include "ProcessProbes.h"

#include <dirent.h>
#include <thread>
#include <time.h>

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
    return countEntries("/proc/self/task");
}

int openDescriptorCount()
{
    return countEntries("/proc/self/fd") - 1;
}

bool becomesTrue(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace serialtest
