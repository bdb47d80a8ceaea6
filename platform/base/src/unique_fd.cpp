#include "unique_fd.h"

#include <unistd.h>

#include <utility>

namespace platform {

UniqueFd::UniqueFd(int fd) noexcept
    : m_fd(fd < 0 ? -1 : fd)
{
}

UniqueFd::~UniqueFd()
{
    close();
}

UniqueFd::UniqueFd(UniqueFd&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
{
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

int UniqueFd::close() noexcept
{
    const int fd = std::exchange(m_fd, -1);
    return fd < 0 ? 0 : ::close(fd);
}

} // namespace platform
