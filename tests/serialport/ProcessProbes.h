// What a test can observe of its own process: CPU time, threads and open descriptors.
#pragma once

#include "SerialTestSupport.h"

#include <chrono>
#include <functional>

namespace serialtest {

// CPU time used by every thread of this process so far.
std::chrono::microseconds processCpuTime();
// Threads of this process (entries of /proc/self/task).
int threadCount();
// The calling thread's kernel id, and how often the thread with that id has been switched out
// (woken up and gone to sleep again, or preempted) so far; -1 when it has ended.
int currentThreadId();
long threadContextSwitches(int threadId);
// Open descriptors of this process (entries of /proc/self/fd, less the one used to list them).
int openDescriptorCount();

} // namespace serialtest
