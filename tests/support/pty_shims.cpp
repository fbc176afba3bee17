// System-call shims that let libserialport drive a pseudo-terminal like a serial port, exported
// from the test or bench executable so that the dynamic linker finds them before libc's. Each
// calls the next definition (libc's, or a sanitizer's interceptor in front of it).
//
// ioctl: libserialport reads and sets the modem control lines (TIOCMGET, TIOCMSET, TIOCMBIS,
// TIOCMBIC) when it opens and configures a port; a pseudo-terminal has no modem lines and answers
// ENOTTY, which would make the open fail. That one ENOTTY becomes success, with no line set.
//
// write: normally a pass-through. A test can make writes on one device partial (see
// set_device_write_limit), as on a slow link, to expose writers that interleave.

#include "pty_shims.hpp"

#include <dlfcn.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <utility>
#include <vector>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);
using WriteFn = ssize_t (*)(int, const void*, size_t);

IoctlFn next_ioctl() {
    static const IoctlFn fn = reinterpret_cast<IoctlFn>(::dlsym(RTLD_NEXT, "ioctl"));
    return fn;
}

WriteFn next_write() {
    static const WriteFn fn = reinterpret_cast<WriteFn>(::dlsym(RTLD_NEXT, "write"));
    return fn;
}

bool is_modem_line_request(unsigned long request) {
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

std::atomic<int> g_limited_devices{0};  // atomic hand-over flag: any limit set at all
std::mutex g_limits_mutex;              // guards g_limits
std::vector<std::pair<dev_t, std::size_t>> g_limits;

std::size_t write_limit_for(int fd) {
    if (g_limited_devices.load() == 0) {
        return 0;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_limits_mutex);
    for (const auto& limit : g_limits) {
        if (limit.first == st.st_rdev) {
            return limit.second;
        }
    }
    return 0;
}

}  // namespace

namespace oxl_test {

void set_device_write_limit(dev_t device, std::size_t max_bytes) {
    std::lock_guard<std::mutex> lock(g_limits_mutex);
    g_limits.erase(std::remove_if(g_limits.begin(), g_limits.end(),
                                  [&](const auto& limit) { return limit.first == device; }),
                   g_limits.end());
    if (max_bytes > 0) {
        g_limits.emplace_back(device, max_bytes);
    }
    g_limited_devices = static_cast<int>(g_limits.size());
}

}  // namespace oxl_test

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);

    const IoctlFn next = next_ioctl();
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const int saved_errno = errno;
    const int result = next(fd, request, arg);
    if (result == -1 && errno == ENOTTY && is_modem_line_request(request)) {
        if (request == TIOCMGET && arg != nullptr) {
            *static_cast<int*>(arg) = 0;
        }
        errno = saved_errno;
        return 0;
    }
    return result;
}

extern "C" ssize_t write(int fd, const void* buf, size_t count) {
    const WriteFn next = next_write();
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const std::size_t limit = write_limit_for(fd);
    if (limit == 0) {
        return next(fd, buf, count);
    }
    const ssize_t written = next(fd, buf, std::min(count, limit));
    ::sched_yield();
    return written;
}
