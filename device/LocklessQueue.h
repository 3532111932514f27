// A fixed-size queue for exactly one producer thread and one consumer
// thread, without locks: the producer publishes the write index after the
// slot is filled, the consumer publishes the read index before it takes the
// slot out. One slot always stays empty, so capacity N holds N - 1 entries.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

namespace Velquire {
namespace Corvantis {

template <typename T>
class LocklessQueue_SPSC {
public:
    explicit LocklessQueue_SPSC(uint16_t capacity) : m_slots(capacity < 2 ? 2 : capacity) {}
    LocklessQueue_SPSC(const LocklessQueue_SPSC &) = delete;
    LocklessQueue_SPSC &operator=(const LocklessQueue_SPSC &) = delete;

    // Producer only. False (and the item untouched) when full.
    bool push(T &item)
    {
        uint16_t write = m_write.load();
        uint16_t next = _increment(write);
        if (next == m_read.load())
            return false;
        m_slots[next] = std::move(item);
        m_write.store(next);
        return true;
    }
    // Consumer only. False when empty.
    bool pop(T &item)
    {
        uint16_t read = m_read.load();
        if (read == m_write.load())
            return false;
        uint16_t next = _increment(read);
        // The slot at next stays ours until the producer wraps round to it,
        // which needs the read index published past it: take it out first.
        item = std::move(m_slots[next]);
        m_read.store(next);
        return true;
    }
    bool empty() const { return m_read.load() == m_write.load(); }
    uint16_t capacity() const { return uint16_t(m_slots.size()); }

private:
    uint16_t _increment(uint16_t i) const { return uint16_t(i + 1u == m_slots.size() ? 0 : i + 1u); }

    std::vector<T> m_slots;
    std::atomic<uint16_t> m_write{0};
    std::atomic<uint16_t> m_read{0};
};

} // namespace Corvantis
} // namespace Velquire
