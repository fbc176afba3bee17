// ioctl shim: libserialport reads and sets the modem control lines when it opens and configures
// a port; a pseudo-terminal has none and answers ENOTTY, which would make the open fail. That
// ENOTTY becomes success, with no line set. Linked into the programs that open a fake adapter
// (exported from the executable, so the dynamic linker finds it before libc's), and built as a
// library to LD_PRELOAD into other processes that open one (Python consumers of the benchmarks).
// It calls the next definition: libc's, or a sanitizer's interceptor.

#include <dlfcn.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdarg>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    using IoctlFn = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<IoctlFn>(::dlsym(RTLD_NEXT, "ioctl"));
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const int saved_errno = errno;
    const int result = next(fd, request, arg);
    const bool modem_lines =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (result == -1 && errno == ENOTTY && modem_lines) {
        if (request == TIOCMGET && arg != nullptr) {
            *static_cast<int*>(arg) = 0;
        }
        errno = saved_errno;
        return 0;
    }
    return result;
}
