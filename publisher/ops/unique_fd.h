// One owner for a POSIX file descriptor: closed when its owner goes, handed on by moving, so that no
// path out of a function leaks one or closes it twice. Any thread, one owner at a time.
//
// The destructor and reset leave errno as it was, so that an error set before the owner goes still
// describes what failed. close is never retried: on Linux the descriptor is gone even when close reports
// EINTR, and a retry could close one another thread has just been given.
#pragma once

#include <cerrno>
#include <unistd.h>

namespace publisher {

class UniqueFd {
  public:
    UniqueFd() = default;
    // Takes `fd` (-1: none).
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Drop(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the one held, if any, and takes `fd`.
    void reset(int fd = -1) {
        Drop();
        fd_ = fd;
    }
    // Closes now; close's result (0, or -1 with errno set), 0 when none was held. For writers whose
    // data is only safe once close says so.
    int Close() {
        if (fd_ < 0)
            return 0;
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

  private:
    void Drop() {
        const int saved = errno;
        Close();
        errno = saved;
    }

    int fd_ = -1;
};

} // namespace publisher
