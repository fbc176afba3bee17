#pragma once

// Controls of the system-call shims in pty_shims.cpp (used by FakeAdapter).

#include <sys/types.h>

#include <cstddef>

namespace oxl_test {

/// From now on, every write() call on a descriptor of the character device `device` writes at
/// most `max_bytes` bytes and then yields the processor, so that the caller sees partial writes
/// and other threads get a chance to write in between. 0 removes the limit.
void set_device_write_limit(dev_t device, std::size_t max_bytes);

}  // namespace oxl_test
