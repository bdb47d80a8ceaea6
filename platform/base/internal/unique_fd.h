// A file descriptor with one owner, closed once: by close(), or by the destructor if still open.
// Move-only, so a descriptor is never closed twice nor by two owners.
//
//   platform::UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
//   if (!wake)
//       return fail(errno);
//   ::write(wake.get(), &one, sizeof one);   // closed when wake goes
#pragma once

namespace platform {

class UniqueFd {
public:
    UniqueFd() = default;
    // Takes fd over; a negative one (a failed open) is no descriptor.
    explicit UniqueFd(int fd) noexcept;
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept;
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    [[nodiscard]] int get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }

    // Closes now: close(2)'s result, or 0 when there was nothing to close. The descriptor is
    // gone either way (close(2) is not retried: Linux releases the number even when it fails).
    int close() noexcept;

private:
    int m_fd = -1;
};

} // namespace platform
