#pragma once
// A lock-free byte ring for exactly one producer thread and one consumer
// thread: the sound server's thread on one side, the main thread on the
// other. Neither side ever waits for the other; a full ring refuses bytes.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace voxlet {

class SpscRing {
public:
    // The capacity is rounded up to a power of two.
    explicit SpscRing(std::size_t capacity)
    {
        std::size_t size = 1;
        while (size < capacity)
            size <<= 1;
        capacity_ = size;
        data_ = std::make_unique<unsigned char[]>(size);
    }
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    std::size_t capacity() const { return capacity_; }

    // ---- producer side ----

    std::size_t writable() const
    {
        return capacity_ - (head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire));
    }

    // Writes as much as fits; returns the bytes written.
    std::size_t write(const void* data, std::size_t n)
    {
        n = std::min(n, writable());
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        copyIn(head, data, n);
        head_.store(head + n, std::memory_order_release);
        return n;
    }

    // Writes both pieces or nothing, made visible to the consumer together,
    // so that a record (a header and its payload) is never seen half-written.
    bool writeAll(const void* a, std::size_t na, const void* b = nullptr, std::size_t nb = 0)
    {
        if (na + nb > writable())
            return false;
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        copyIn(head, a, na);
        copyIn(head + na, b, nb);
        head_.store(head + na + nb, std::memory_order_release);
        return true;
    }

    // ---- consumer side ----

    std::size_t readable() const
    {
        return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed);
    }

    // Reads up to n bytes; returns the bytes read.
    std::size_t read(void* out, std::size_t n)
    {
        n = std::min(n, readable());
        const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t at = std::size_t(tail & (capacity_ - 1));
        const std::size_t first = std::min(n, capacity_ - at);
        std::memcpy(out, data_.get() + at, first);
        std::memcpy(static_cast<unsigned char*>(out) + first, data_.get(), n - first);
        tail_.store(tail + n, std::memory_order_release);
        return n;
    }

    // Throws away up to n readable bytes; returns how many went.
    std::size_t discard(std::size_t n)
    {
        n = std::min(n, readable());
        tail_.store(tail_.load(std::memory_order_relaxed) + n, std::memory_order_release);
        return n;
    }

private:
    void copyIn(std::uint64_t pos, const void* data, std::size_t n)
    {
        if (n == 0)
            return;
        const std::size_t at = std::size_t(pos & (capacity_ - 1));
        const std::size_t first = std::min(n, capacity_ - at);
        std::memcpy(data_.get() + at, data, first);
        std::memcpy(data_.get(), static_cast<const unsigned char*>(data) + first, n - first);
    }

    std::size_t capacity_ = 0;
    std::unique_ptr<unsigned char[]> data_;
    // Positions only ever grow; 64 bits never wrap in practice.
    alignas(64) std::atomic<std::uint64_t> head_ { 0 };
    alignas(64) std::atomic<std::uint64_t> tail_ { 0 };
};

} // namespace voxlet
