// What a test can observe of its own process: CPU time, threads and open descriptors.
#pragma once

#include <chrono>
#include <functional>

namespace serialtest {

// CPU time used by every thread of this process so far.
std::chrono::microseconds processCpuTime();
// Threads of this process (entries of /proc/self/task).
int threadCount();
// Open descriptors of this process (entries of /proc/self/fd, less the one used to list them).
int openDescriptorCount();

// For states that announce themselves with no event a test could wait on (the kernel reaping an
// exited thread): checks `condition` again every millisecond until it holds or `timeout` passes.
bool becomesTrue(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

} // namespace serialtest
