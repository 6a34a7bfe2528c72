#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

// A queue of fixed size that any number of threads may push to and pop
// from without a lock: a push or pop is a few atomic operations, and one
// that finds the queue full (or empty) says so at once instead of waiting.
// Each cell carries a sequence number telling whose turn it is, so a value
// is read only once it is written whole. `Capacity` is a power of two.
template <class T, std::size_t Capacity>
class BoundedQueue {
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0);

public:
    BoundedQueue()
    {
        for (std::size_t i = 0; i < Capacity; ++i) {
            cells_[i].sequence.store(i, std::memory_order_relaxed);
        }
    }
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    // False where the queue is full.
    bool push(const T& value)
    {
        std::size_t position = tail_.load(std::memory_order_relaxed);
        Cell* cell = nullptr;
        for (;;) {
            cell = &cells_[position & (Capacity - 1)];
            const std::size_t sequence = cell->sequence.load(std::memory_order_acquire);
            const auto lead = static_cast<std::intptr_t>(sequence) - static_cast<std::intptr_t>(position);
            if (lead == 0) {
                if (tail_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                    break;
                }
            } else if (lead < 0) {
                return false;
            } else {
                position = tail_.load(std::memory_order_relaxed);
            }
        }
        cell->value = value;
        cell->sequence.store(position + 1, std::memory_order_release);
        return true;
    }

    // False where the queue is empty.
    bool pop(T& value)
    {
        std::size_t position = head_.load(std::memory_order_relaxed);
        Cell* cell = nullptr;
        for (;;) {
            cell = &cells_[position & (Capacity - 1)];
            const std::size_t sequence = cell->sequence.load(std::memory_order_acquire);
            const auto lead = static_cast<std::intptr_t>(sequence) - static_cast<std::intptr_t>(position + 1);
            if (lead == 0) {
                if (head_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                    break;
                }
            } else if (lead < 0) {
                return false;
            } else {
                position = head_.load(std::memory_order_relaxed);
            }
        }
        value = cell->value;
        cell->sequence.store(position + Capacity, std::memory_order_release);
        return true;
    }

private:
    struct Cell {
        std::atomic<std::size_t> sequence;
        T value;
    };
    std::array<Cell, Capacity> cells_;
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) std::atomic<std::size_t> head_{0};
};
