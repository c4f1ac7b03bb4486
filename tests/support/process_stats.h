// What the kernel counts for a running process (/proc/<pid>), for benchmarks and tests that
// weigh the cost of a program they started: its CPU time and its peak resident memory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>

namespace vantrel::test {

// User plus system CPU time that process `pid` has used so far (its threads included); zero
// when there is no such process.
std::chrono::nanoseconds process_cpu_time(pid_t pid);

// The same for this process, to the microsecond rather than the clock tick: fine enough to sum
// the cost of many short stretches of work.
std::chrono::nanoseconds own_cpu_time();

// The most resident memory process `pid` has held so far (VmHWM), in bytes; zero when there is
// no such process or it has already ended (a zombie keeps no memory counts).
std::int64_t process_peak_rss(pid_t pid);

}  // namespace vantrel::test
