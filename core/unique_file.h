// The one owner of a C runtime stream: closed exactly once, by Close() or at the end of its scope. Movable,
// not copyable. Portable: the install log, the version records and the tests' writers share it.
#pragma once

#include <cstdio>
#include <utility>

class UniqueFile {
  public:
    UniqueFile() = default;
    explicit UniqueFile(std::FILE* f) : f_(f) {}
    ~UniqueFile() { Close(); }
    UniqueFile(UniqueFile&& other) noexcept : f_(std::exchange(other.f_, nullptr)) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other) {
            Close();
            f_ = std::exchange(other.f_, nullptr);
        }
        return *this;
    }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;

    std::FILE* Get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    // Closes the stream now. False when none was open or when the close failed: what was buffered may
    // not have reached the file.
    bool Close() {
        if (!f_)
            return false;
        const bool closed = std::fclose(f_) == 0;
        f_ = nullptr;
        return closed;
    }

  private:
    std::FILE* f_ = nullptr;
};
