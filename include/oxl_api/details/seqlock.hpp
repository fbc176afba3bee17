#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <type_traits>

namespace oxl_api {
namespace details {

/// A small value of plain 64-bit counters that one thread writes and any thread may read as a
/// whole, without a lock: a sequence lock over atomic words. A reader never blocks the writer; it
/// retries while a store is in progress, and gets a copy as of one `store`.
///
/// The words are stored with release and loaded with acquire ordering (plain moves on x86), so
/// that no standalone fence is needed: a reader that sees any word of a newer store also sees
/// that store's odd version number when it checks the version again.
///
/// `T` is a trivially copyable struct made of 64-bit words (counters, times). Writers must be
/// serialised by the caller: one thread, or one lock held around `store`.
template <class T>
class Seqlocked {
    static_assert(std::is_trivially_copyable<T>::value, "T must be trivially copyable");
    static_assert(sizeof(T) % sizeof(uint64_t) == 0, "T must be made of 64-bit words");

  public:
    /// Publishes `value`. Never blocks: a handful of stores.
    void store(const T& value) {
        std::array<uint64_t, kWords> words;
        std::memcpy(words.data(), &value, sizeof(T));
        const uint64_t sequence = version.load(std::memory_order_relaxed);
        version.store(sequence + 1, std::memory_order_relaxed);  // odd: a store in progress
        for (std::size_t i = 0; i < kWords; ++i) {
            cells[i].store(words[i], std::memory_order_release);
        }
        version.store(sequence + 2, std::memory_order_release);
    }

    /// The value of one `store` (all zero before the first). Any thread. Retries while a store
    /// runs; a store is a few instructions that never wait, so the retries end as soon as the
    /// writer is scheduled again.
    T load() const {
        std::array<uint64_t, kWords> words;
        for (unsigned attempt = 0;; ++attempt) {
            const uint64_t before = version.load(std::memory_order_acquire);
            if ((before & 1u) == 0) {
                for (std::size_t i = 0; i < kWords; ++i) {
                    words[i] = cells[i].load(std::memory_order_acquire);
                }
                if (version.load(std::memory_order_relaxed) == before) {
                    break;
                }
            }
            if (attempt >= 16) {
                std::this_thread::yield();  // the writer may have been preempted mid-store
            }
        }
        T value;
        std::memcpy(static_cast<void*>(&value), words.data(), sizeof(T));
        return value;
    }

  private:
    static constexpr std::size_t kWords = sizeof(T) / sizeof(uint64_t);
    std::atomic<uint64_t> version{0};
    std::array<std::atomic<uint64_t>, kWords> cells{};
};

}  // namespace details
}  // namespace oxl_api
