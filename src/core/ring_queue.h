#pragma once
// A growable ring buffer: push at the back, pop at the front, random access.
// Unlike std::deque it reaches a steady state in which pushing and popping
// allocate nothing, which keeps the replay buffer's push free of allocations
// once it has filled.

#include <cstddef>
#include <utility>
#include <vector>

namespace krel {

template <typename T>
class RingQueue {
public:
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }

    T& operator[](size_t i) { return slots_[(head_ + i) & mask()]; }
    const T& operator[](size_t i) const { return slots_[(head_ + i) & mask()]; }
    T& front() { return (*this)[0]; }
    const T& front() const { return (*this)[0]; }
    const T& back() const { return (*this)[size_ - 1]; }

    void pushBack(T value) {
        if (size_ == slots_.size()) grow();
        slots_[(head_ + size_) & mask()] = std::move(value);
        ++size_;
    }

    // Removes the front element and returns it.
    T popFront() {
        T value = std::move(slots_[head_]);
        slots_[head_] = T{};
        head_ = (head_ + 1) & mask();
        --size_;
        return value;
    }

    // Empties the queue; keeps the capacity.
    void clear() {
        while (size_ > 0) popFront();
        head_ = 0;
    }

private:
    size_t mask() const { return slots_.size() - 1; }

    void grow() {
        std::vector<T> bigger(slots_.empty() ? 64 : slots_.size() * 2);
        for (size_t i = 0; i < size_; ++i) bigger[i] = std::move((*this)[i]);
        slots_ = std::move(bigger);
        head_ = 0;
    }

    std::vector<T> slots_; // capacity is zero or a power of two
    size_t head_ = 0;
    size_t size_ = 0;
};

} // namespace krel
