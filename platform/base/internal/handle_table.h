// The table behind a kind of handle (Internet handles, registry keys, kernel objects): handle
// values to the objects they stand for. A value is an id, never an object's address, and is
// never reused within a run, so a closed or made-up handle finds nothing instead of another
// caller's object. Objects are shared: a call that works on one keeps it alive while its handle
// goes. A removed object is let go only after the table's lock is released, since that may be
// its end, and its end may take locks of its own (closing a hive, a thread's last reference).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform {

template <class Handle, class Object>
class HandleTable {
public:
    // Values start at first and step by 4, as the other platform's do.
    explicit HandleTable(std::uintptr_t first)
        : m_next(first)
    {
    }
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    [[nodiscard]] Handle add(std::shared_ptr<Object> object)
    {
        std::lock_guard lock(m_mutex);
        const std::uintptr_t value = m_next;
        m_next += step;
        m_objects.emplace(value, std::move(object));
        return reinterpret_cast<Handle>(value);
    }

    // The object, or nullptr when the handle isn't open.
    [[nodiscard]] std::shared_ptr<Object> find(Handle handle) const
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
        return found == m_objects.end() ? nullptr : found->second;
    }

    // False when the handle isn't open.
    bool remove(Handle handle)
    {
        std::shared_ptr<Object> removed;
        {
            std::lock_guard lock(m_mutex);
            const auto found = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
            if (found == m_objects.end())
                return false;
            removed = std::move(found->second);
            m_objects.erase(found);
        }
        return true; // removed goes here, outside the lock
    }

private:
    static constexpr std::uintptr_t step = 4;

    mutable std::mutex m_mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> m_objects; // guarded by m_mutex
    std::uintptr_t m_next;                                                 // guarded by m_mutex
};

} // namespace platform
