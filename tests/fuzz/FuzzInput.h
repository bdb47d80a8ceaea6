// Carves a fuzzer's byte string into the values a target needs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size)
        : m_data(data)
        , m_size(size)
    {
    }

    [[nodiscard]] std::uint32_t TakeU32()
    {
        std::uint32_t value = 0;
        const std::size_t count = std::min<std::size_t>(sizeof value, m_size - m_offset);
        std::memcpy(&value, m_data + m_offset, count);
        m_offset += count;
        return value;
    }

    [[nodiscard]] std::uint8_t TakeByte() { return m_offset < m_size ? m_data[m_offset++] : 0; }

    // Bytes up to the next NUL (the separator between strings), or the rest.
    [[nodiscard]] std::string TakeString()
    {
        std::string text;
        while (m_offset < m_size && m_data[m_offset] != 0)
            text.push_back(static_cast<char>(m_data[m_offset++]));
        if (m_offset < m_size)
            ++m_offset;
        return text;
    }

    [[nodiscard]] std::string TakeRest()
    {
        std::string text(reinterpret_cast<const char*>(m_data + m_offset), m_size - m_offset);
        m_offset = m_size;
        return text;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
};
