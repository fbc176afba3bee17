#pragma once

// Small helpers shared by the benchmark programs.

#include <sched.h>
#include <sys/resource.h>

namespace oxl_bench {

/// User plus system CPU time of the whole process so far, in seconds.
inline double process_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

/// Restricts the process to the CPU it is running on (threads started later inherit the mask).
/// Returns that CPU, or -1 when it could not be pinned.
inline int pin_to_current_cpu() {
    const int cpu = ::sched_getcpu();
    if (cpu < 0) {
        return -1;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof(set), &set) == 0 ? cpu : -1;
}

}  // namespace oxl_bench
