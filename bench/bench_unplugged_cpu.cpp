// CPU used by a connected OXL_over_USB whose adapter has been unplugged, measured through the
// real serial stack (libserialport on a pseudo-terminal published as a fake USB adapter). A
// vanished device makes every read fail at once; without a pause between passes the polling
// thread would spin a core until the application disconnects.
//
// Phases, each measured over the same wall-clock span:
//   idle      - adapter plugged in, no traffic (reads time out after 800 ms)
//   unplugged - adapter gone, automatic reconnection off (the default)
//   reconnect - adapter gone, automatic reconnection on (reopen attempts every 0.5 s)
// The two unplugged phases report their first second apart ("/1st"), then the steady state.
//
// Usage: bench_unplugged_cpu [seconds_per_phase=3]
// Needs root (private mount namespace).

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "bench_util.hpp"
#include "fake_adapter.hpp"
#include "oxl_api/oxl_over_usb.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// utime + stime of every thread of this process, in clock ticks, by thread id.
std::map<long, long long> thread_ticks() {
    std::map<long, long long> ticks;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) {
        return ticks;
    }
    while (dirent* entry = ::readdir(dir)) {
        const long tid = std::strtol(entry->d_name, nullptr, 10);
        if (tid <= 0) {
            continue;
        }
        std::ifstream stat_file("/proc/self/task/" + std::string(entry->d_name) + "/stat");
        std::string line;
        std::getline(stat_file, line);
        // Fields after the parenthesised command name; utime and stime are fields 14 and 15.
        const std::size_t close_paren = line.rfind(')');
        if (close_paren == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close_paren + 2));
        std::string field;
        long long utime = 0;
        long long stime = 0;
        for (int index = 3; rest >> field; ++index) {
            if (index == 14) {
                utime = std::atoll(field.c_str());
            } else if (index == 15) {
                stime = std::atoll(field.c_str());
                break;
            }
        }
        ticks[tid] = utime + stime;
    }
    ::closedir(dir);
    return ticks;
}

struct Figures {
    double process_percent = 0;  // process CPU time / wall time, in % of one core
    double busiest_thread_percent = 0;
};

Figures measure(double seconds) {
    const double ticks_per_s = static_cast<double>(::sysconf(_SC_CLK_TCK));
    const auto before_threads = thread_ticks();
    const double before_cpu = oxl_bench::process_cpu_seconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = oxl_bench::process_cpu_seconds() - before_cpu;
    Figures figures;
    figures.process_percent = 100.0 * cpu / wall;
    for (const auto& [tid, ticks] : thread_ticks()) {
        const auto old = before_threads.find(tid);
        const long long used = ticks - (old == before_threads.end() ? 0 : old->second);
        const double percent = 100.0 * static_cast<double>(used) / ticks_per_s / wall;
        if (percent > figures.busiest_thread_percent) {
            figures.busiest_thread_percent = percent;
        }
    }
    return figures;
}

void print(const char* phase, double seconds, const Figures& figures) {
    std::printf("%-14s %5.1f s   process CPU %6.2f %% of one core   busiest thread %6.2f %%\n",
                phase, seconds, figures.process_percent, figures.busiest_thread_percent);
}

// Runs one phase; returns false when the transport could not be set up. After an unplug, the
// first second is reported on its own: the read in flight when the line is hung up is the
// serial library's, which waits out its 800 ms time-out.
bool run_phase(const char* phase, double seconds, bool unplug, bool auto_reconnect) {
    oxl_test::FakeAdapter adapter;
    oxl_api::OXL_over_USB usb(adapter.port_name(), false);
    usb.set_auto_reconnect(auto_reconnect);
    if (!usb.connect("")) {
        std::fprintf(stderr, "%s: could not connect to %s\n", phase, adapter.port_name().c_str());
        return false;
    }
    // Traffic first, so that the unplug cuts a stream rather than an idle line.
    for (int i = 0; i < 100; ++i) {
        adapter.write_frame(5, {0x45, 0, 0, 0, 0});
    }
    if (unplug) {
        adapter.unplug();
        print((std::string(phase) + "/1st").c_str(), 1.0, measure(1.0));
    }
    print(phase, seconds, measure(seconds));
    const auto stop_start = Clock::now();
    usb.disconnect();
    std::printf("%-14s disconnect took %.1f ms\n", phase,
                std::chrono::duration<double, std::milli>(Clock::now() - stop_start).count());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string why;
    if (!oxl_test::enter_private_namespace(&why)) {
        std::fprintf(stderr, "bench_unplugged_cpu needs fake adapters: %s\n", why.c_str());
        return 1;
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: bench_unplugged_cpu [seconds_per_phase>0]\n");
        return 2;
    }
    const bool ok = run_phase("idle", seconds, false, false) &&
                    run_phase("unplugged", seconds, true, false) &&
                    run_phase("reconnect", seconds, true, true);
    return ok ? 0 : 1;
}
