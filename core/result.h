// The one way code outside the protocol's own functions reports a failure: an Error says what kind of
// failure it was, the operating system's error number when one caused it, and a message for people.
// Result<T> is a value or an Error; Status (Result<void>) is success or an Error. Each program turns an
// Error into its exit status in one place (publisher/exit_status.h, load/exit_status.h, app/exit_codes.h).
//
//   Result<Config> ReadConfig(const path& file) {
//       std::ifstream in(file);
//       if (!in) return Error::FromErrno(ErrorKind::kIo, "cannot read " + file.string());
//       ...
//       return config;
//   }
//   auto config = ReadConfig(file);
//   if (!config) return config.error();          // pass it up unchanged
//   Use(*config);
#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

// What went wrong, as far as a caller needs to choose what to do next (retry, tell the user, exit with
// which status). The message says the rest.
enum class ErrorKind : uint8_t {
    kInvalid,   // input that breaks its rules: a command line, a config or manifest field, an archive entry
    kNotFound,  // a file, folder or package that is not there
    kIo,        // reading or writing a file or folder failed
    kNetwork,   // a socket could not be opened, bound, connected or used
    kProtocol,  // a peer's bytes break the protocol
    kSignature, // a signature or a hash does not match
    kBusy,      // another program or copy holds what was asked for (an address in use, a lock)
    kCancelled, // stopped on request before it finished
};

class Error {
  public:
    Error(ErrorKind kind, std::string message, int systemError = 0)
        : kind_(kind), systemError_(systemError), message_(std::move(message)) {}

    // With errno as the system's error: call it before anything else can change errno.
    static Error FromErrno(ErrorKind kind, std::string message) {
        const int code = errno;
        return Error(kind, std::move(message), code);
    }

    ErrorKind kind() const { return kind_; }
    int systemError() const { return systemError_; } // errno or GetLastError(); 0 when none
    const std::string& message() const { return message_; }

    // The same failure seen from further out: "reading the config: " + the message.
    Error WithContext(const std::string& context) const {
        return Error(kind_, context + message_, systemError_);
    }

  private:
    ErrorKind kind_;
    int systemError_;
    std::string message_;
};

template <typename T> class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only on success: reaching for the value of a failure is a programming error and throws.
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // Only on failure.
    const Error& error() const { return std::get<1>(state_); }

  private:
    std::variant<T, Error> state_;
};

template <> class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return *error_; }

  private:
    std::optional<Error> error_;
};

using Status = Result<void>;

inline Status Ok() {
    return {};
}
