#include "fake_adapter.hpp"

#include "oxl_api/details/frame_receiver.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace {

constexpr const char* kSysTty = "/sys/class/tty";
constexpr const char* kFakeRoot = "/sys/class/tty/.oxl-fake";
constexpr auto kWriteDeadline = std::chrono::seconds(2);

std::mutex g_state_mutex;  // guards g_ready and g_why
bool g_ready = false;
std::string g_why = "enter_private_namespace() was not called in main()";
std::atomic<unsigned> g_next_port{0};

// The one device whose writes are limited, and the limit (0: none).
std::atomic<dev_t> g_limited_device{0};
std::atomic<std::size_t> g_write_limit{0};

std::string errno_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool write_text_file(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

// Rebuilds /dev as a tmpfs holding bind mounts of the real nodes, so that fake ports can add
// nodes of their own without creating anything in the host's devtmpfs.
bool replace_dev(std::string* why) {
    const int old_dev = ::open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (old_dev < 0) {
        *why = errno_text("open /dev");
        return false;
    }
    const std::string old_root = "/proc/self/fd/" + std::to_string(old_dev);
    DIR* dir = nullptr;
    if (::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755") != 0 ||
        (dir = ::opendir(old_root.c_str())) == nullptr) {
        *why = errno_text("mount tmpfs on /dev");
        ::close(old_dev);
        return false;
    }
    bool ok = true;
    std::string leaf;
    while (const dirent* entry = ok ? ::readdir(dir) : nullptr) {
        leaf = entry->d_name;
        const std::string from = old_root + "/" + leaf;
        const std::string to = "/dev/" + leaf;
        struct stat st {};
        if (leaf == "." || leaf == ".." || ::lstat(from.c_str(), &st) != 0) {
            continue;
        }
        if (leaf == "ptmx") {
            // A bound copy of the ptmx node would not find the devpts instance next to it (the
            // kernel looks for "pts" beside the node's own mount); the instance's own ptmx does.
            ok = ::symlink("pts/ptmx", to.c_str()) == 0;
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(from.c_str(), target, sizeof(target) - 1);
            ok = n <= 0 || ::symlink(std::string(target, static_cast<std::size_t>(n)).c_str(),
                                     to.c_str()) == 0;
        } else if (S_ISDIR(st.st_mode)) {
            ok = ::mkdir(to.c_str(), 0755) == 0 &&
                 ::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
        } else {
            const int fd = ::open(to.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
            ok = fd >= 0 && ::close(fd) == 0 &&
                 ::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0;
        }
    }
    if (!ok) {
        *why = errno_text("re-expose /dev/" + leaf);
    }
    ::closedir(dir);
    ::close(old_dev);
    return ok;
}

// Makes every write() on the character device `device` write at most `max_bytes` (0: no limit).
// One device at a time: a new limit replaces the one on another device.
void set_device_write_limit(dev_t device, std::size_t max_bytes) {
    if (max_bytes > 0) {
        g_write_limit = 0;
        g_limited_device = device;
        g_write_limit = max_bytes;
    } else if (g_limited_device == device) {
        g_write_limit = 0;
    }
}

std::size_t write_limit_for(int fd) {
    const std::size_t limit = g_write_limit;
    struct stat st {};
    if (limit == 0 || ::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) ||
        st.st_rdev != g_limited_device) {
        return 0;
    }
    return limit;
}

}  // namespace

// System-call shim, exported from the executable so that the dynamic linker finds it before
// libc's; it calls the next definition (libc's, or a sanitizer's interceptor). The ioctl shim for
// the modem lines is in modem_lines.cpp.
//
// write: a pass-through, except on a device with a write limit, where each call writes at most
// the limit and then yields the processor so that other writers get a chance in between.
extern "C" ssize_t write(int fd, const void* buf, size_t count) {
    using WriteFn = ssize_t (*)(int, const void*, size_t);
    static const auto next = reinterpret_cast<WriteFn>(::dlsym(RTLD_NEXT, "write"));
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

namespace oxl_test {

bool enter_private_namespace(std::string* why) {
    if (fake_adapters_available(why)) {
        return true;
    }
    std::string reason;
    if (::geteuid() != 0) {
        reason = "fake adapters need root (to enter a private mount namespace)";
    } else if (::unshare(CLONE_NEWNS) != 0) {
        reason = errno_text("unshare(CLONE_NEWNS)");
    } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        reason = errno_text("make / private");
    } else if (!replace_dev(&reason)) {
        // reason set
    } else if (::mount("tmpfs", kSysTty, "tmpfs", MS_NOSUID, "mode=755") != 0) {
        reason = errno_text("mount tmpfs on /sys/class/tty");
    } else if (::mkdir(kFakeRoot, 0755) != 0) {
        reason = errno_text("mkdir /sys/class/tty/.oxl-fake");
    }
    std::lock_guard<std::mutex> lock(g_state_mutex);
    g_ready = reason.empty();
    g_why = reason;
    if (why != nullptr) {
        *why = g_why;
    }
    return g_ready;
}

bool fake_adapters_available(std::string* why) {
    std::lock_guard<std::mutex> lock(g_state_mutex);
    if (why != nullptr) {
        *why = g_why;
    }
    return g_ready;
}

bool skipping_is_failure() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

std::vector<uint8_t> encode_adapter_frame(uint16_t id_field, const std::vector<uint8_t>& payload,
                                          uint8_t end) {
    // The library's encoder (whose bytes the transport tests pin literally), with our end byte.
    std::vector<uint8_t> frame = oxl_api::details::encode_frame(id_field, payload);
    frame.back() = end;
    return frame;
}

uint16_t adapter_id_field(int id, int reply_flag) {
    return static_cast<uint16_t>((id & 0x3FFF) | (reply_flag != 0 ? 0x8000 : 0));
}

FakeAdapter::FakeAdapter(const AdapterOptions& options) {
    std::string why;
    if (!fake_adapters_available(&why)) {
        throw std::runtime_error("FakeAdapter unavailable: " + why);
    }
    const unsigned index = g_next_port++;
    name = "/dev/ttyOXL" + std::to_string(index);
    const std::string leaf = name.substr(5);
    try {
        const std::string slave_path = open_line();

        // /sys/class/tty/<leaf> -> <dir>/<iface>/<leaf>, whose "device" link points at <iface>;
        // libserialport finds busnum, devnum, idVendor and idProduct in <iface>/..
        sys_dir =
            std::string(kFakeRoot) + (options.usb ? "/usb" : "/serial") + std::to_string(index);
        const std::string iface = sys_dir + "/1.0";
        const std::string class_dir = iface + "/" + leaf;
        std::error_code ec;
        std::filesystem::create_directories(class_dir, ec);
        bool ok = !ec && ::symlink(iface.c_str(), (class_dir + "/device").c_str()) == 0;
        if (ok && options.usb) {
            char ids[16];
            std::snprintf(ids, sizeof(ids), "%04x\n%04x\n", options.vid, options.pid);
            ok = write_text_file(sys_dir + "/busnum", "1\n") &&
                 write_text_file(sys_dir + "/devnum", std::to_string(index + 2) + "\n") &&
                 write_text_file(sys_dir + "/idVendor", std::string(ids, 5)) &&
                 write_text_file(sys_dir + "/idProduct", std::string(ids + 5, 5));
        }
        if (!ok || ::symlink(class_dir.c_str(), (std::string(kSysTty) + "/" + leaf).c_str()) != 0) {
            throw std::runtime_error(errno_text("fake sysfs entry for " + name));
        }

        if (options.device_node) {
            const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
            dev_created = fd >= 0;
            if (fd < 0 || ::close(fd) != 0 ||
                ::mount(slave_path.c_str(), name.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                throw std::runtime_error(errno_text("create " + name));
            }
            dev_mounted = true;
        }

        wake_fd = ::eventfd(0, EFD_CLOEXEC);
        if (wake_fd < 0) {
            throw std::runtime_error(errno_text("eventfd"));
        }
        reader = std::thread(&FakeAdapter::reader_loop, this);
    } catch (...) {
        teardown();
        throw;
    }
}

std::string FakeAdapter::open_line() {
    master_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char slave_path[128] = {};
    if (master_fd < 0 || ::grantpt(master_fd) != 0 || ::unlockpt(master_fd) != 0 ||
        ::ptsname_r(master_fd, slave_path, sizeof(slave_path)) != 0) {
        throw std::runtime_error(errno_text("pseudo-terminal"));
    }
    slave_fd = ::open(slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    struct stat slave_stat {};
    if (slave_fd < 0 || ::tcgetattr(slave_fd, &tio) != 0 || ::fstat(slave_fd, &slave_stat) != 0) {
        throw std::runtime_error(errno_text("open pseudo-terminal slave"));
    }
    slave_device = slave_stat.st_rdev;
    // Raw from the start, so bytes written before the host opens the port are neither echoed
    // nor line-edited.
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_fd, TCSANOW, &tio);
    return slave_path;
}

FakeAdapter::~FakeAdapter() {
    teardown();
}

void FakeAdapter::teardown() {
    stop_reader();
    if (slave_device != 0) {
        set_device_write_limit(slave_device, 0);
    }
    {
        std::lock_guard<std::mutex> lock(write_mutex);
        if (master_fd >= 0) {
            ::close(master_fd);
            master_fd = -1;
        }
    }
    for (int fd : {slave_fd, wake_fd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    slave_fd = wake_fd = -1;
    if (dev_mounted) {
        ::umount2(name.c_str(), MNT_DETACH);
    }
    if (dev_created) {
        ::unlink(name.c_str());
    }
    if (!sys_dir.empty()) {
        ::unlink((std::string(kSysTty) + "/" + name.substr(5)).c_str());
        std::error_code ec;
        std::filesystem::remove_all(sys_dir, ec);
    }
}

void FakeAdapter::stop_reader() {
    if (reader.joinable()) {
        const uint64_t one = 1;
        if (::write(wake_fd, &one, sizeof(one)) != sizeof(one)) {
            std::perror("FakeAdapter: eventfd write");
        }
        reader.join();
    }
}

void FakeAdapter::reader_loop() {
    uint8_t buffer[4096];
    for (;;) {
        pollfd fds[2] = {{master_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        // The wake-up descriptor bounds this wait; the time-out only guards against a lost wake.
        const int ready = ::poll(fds, 2, 1000);
        if ((ready < 0 && errno != EINTR) || (fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
                // Cannot happen while we hold the slave open; avoid a busy loop anyway.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            continue;
        }
        const ssize_t n = ::read(master_fd, buffer, sizeof(buffer));
        if (n > 0) {
            consume(buffer, static_cast<std::size_t>(n));
        }
    }
}

void FakeAdapter::consume(const uint8_t* data, std::size_t size) {
    parse_buffer.insert(parse_buffer.end(), data, data + size);
    std::size_t pos = 0;
    for (;;) {
        while (pos < parse_buffer.size() && parse_buffer[pos] != 0xFE) {
            ++pos;
        }
        if (parse_buffer.size() - pos < 4) {
            break;
        }
        const std::size_t length = parse_buffer[pos + 3];
        if (length > 59) {
            ++pos;  // not a frame the library can have written: hunt on
            continue;
        }
        if (parse_buffer.size() - pos < length + 5) {
            break;
        }
        HostFrame frame;
        const auto start = parse_buffer.begin() + static_cast<std::ptrdiff_t>(pos);
        frame.raw.assign(start, start + static_cast<std::ptrdiff_t>(length + 5));
        frame.id_field = static_cast<uint16_t>(frame.raw[1] | (frame.raw[2] << 8));
        frame.payload.assign(frame.raw.begin() + 4, frame.raw.end() - 1);
        pos += length + 5;

        std::unique_lock<std::mutex> responder_lock(responder_mutex);
        if (responder) {
            responder(frame, *this);
            continue;
        }
        responder_lock.unlock();
        {
            std::lock_guard<std::mutex> lock(frames_mutex);
            frames.push_back(std::move(frame));
        }
        frames_cv.notify_all();
    }
    parse_buffer.erase(parse_buffer.begin(),
                       parse_buffer.begin() + static_cast<std::ptrdiff_t>(pos));
}

std::optional<HostFrame> FakeAdapter::read_frame(std::chrono::milliseconds timeout) {
    std::vector<HostFrame> one = read_frames(1, timeout);
    if (one.empty()) {
        return std::nullopt;
    }
    return std::move(one.front());
}

std::vector<HostFrame> FakeAdapter::read_frames(std::size_t count,
                                                std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(frames_mutex);
    frames_cv.wait_for(lock, timeout, [&] { return frames.size() >= count; });
    const auto end = frames.begin() + static_cast<std::ptrdiff_t>(std::min(count, frames.size()));
    std::vector<HostFrame> out(std::make_move_iterator(frames.begin()),
                               std::make_move_iterator(end));
    frames.erase(frames.begin(), end);
    return out;
}

void FakeAdapter::limit_host_write_size(std::size_t max_bytes) {
    set_device_write_limit(slave_device, max_bytes);
}

void FakeAdapter::set_responder(Responder new_responder) {
    std::lock_guard<std::mutex> lock(responder_mutex);
    responder = std::move(new_responder);
}

bool FakeAdapter::write_frame(int id, const std::vector<uint8_t>& payload, int reply_flag) {
    return write_raw(encode_adapter_frame(adapter_id_field(id, reply_flag), payload));
}

bool FakeAdapter::write_raw(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(write_mutex);
    const auto deadline = std::chrono::steady_clock::now() + kWriteDeadline;
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (master_fd < 0) {
            return false;
        }
        const ssize_t n = ::write(master_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fd{master_fd, POLLOUT, 0};
        ::poll(&fd, 1, static_cast<int>(left.count()));
    }
    return true;
}

void FakeAdapter::stop_draining() {
    stop_reader();
}

void FakeAdapter::unplug() {
    stop_reader();
    std::lock_guard<std::mutex> lock(write_mutex);
    if (master_fd >= 0) {
        ::close(master_fd);
        master_fd = -1;
    }
}

bool FakeAdapter::replug() {
    std::lock_guard<std::mutex> lock(write_mutex);
    if (master_fd >= 0 || reader.joinable()) {  // not unplugged
        return false;
    }
    // The old slave is dead (hung up when its master closed); the host may still hold it open.
    set_device_write_limit(slave_device, 0);
    if (slave_fd >= 0) {
        ::close(slave_fd);
        slave_fd = -1;
    }
    std::string slave_path;
    try {
        slave_path = open_line();
    } catch (const std::exception&) {
        return false;
    }
    if (dev_mounted) {
        // The node keeps its name and now leads to the new line.
        ::umount2(name.c_str(), MNT_DETACH);
        dev_mounted = ::mount(slave_path.c_str(), name.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (!dev_mounted) {
            return false;
        }
    }
    // stop_reader left the wake-up counter set; clear it, or the new thread would stop at once.
    pollfd wake{wake_fd, POLLIN, 0};
    uint64_t count = 0;
    if (::poll(&wake, 1, 0) == 1 && ::read(wake_fd, &count, sizeof(count)) != sizeof(count)) {
        return false;
    }
    parse_buffer.clear();
    reader = std::thread(&FakeAdapter::reader_loop, this);
    return true;
}

}  // namespace oxl_test
