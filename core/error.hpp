// Error values of the core. Nothing in the core throws across its API for a
// failure of the platform: every I/O failure comes back as a value.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace rowvane {

// The kinds an I/O failure can have. Only the named kinds get their own Python
// exception class at the boundary; everything else is `Other`.
enum class IoErrorKind {
  NotFound,           // ENOENT
  PermissionDenied,   // EPERM, EACCES
  AlreadyExists,      // EEXIST
  IsADirectory,       // EISDIR
  NotADirectory,      // ENOTDIR
  Interrupted,        // EINTR
  WouldBlock,         // EAGAIN
  BrokenPipe,         // EPIPE
  ConnectionRefused,  // ECONNREFUSED
  ConnectionReset,    // ECONNRESET
  ConnectionAborted,  // ECONNABORTED
  TimedOut,           // ETIMEDOUT
  OutOfMemory,        // ENOMEM
  WriteZero,          // a write accepted no bytes (fixed message)
  InvalidInput,       // e.g. a path with a NUL byte (fixed message)
  Other,              // any other error number
};

// One platform I/O failure: an operating-system error number, or a failure the
// I/O layer detected itself with a fixed message.
class IoError {
 public:
  // From an errno value; the kind follows from the number.
  static IoError from_errno(int err) noexcept;
  // A failure detected by the I/O layer itself. `message` must be a string
  // literal: it is stored as a pointer.
  static IoError fixed(IoErrorKind kind, const char* message) noexcept;

  IoErrorKind kind() const noexcept { return kind_; }
  // The error number, or 0 for a fixed-message failure.
  int raw_os_error() const noexcept { return errno_; }
  // The fixed message, or nullptr for an operating-system error.
  const char* fixed_message() const noexcept { return message_; }
  // "No such file or directory (os error 2)", or the fixed message.
  std::string display() const;

 private:
  IoError(IoErrorKind kind, int err, const char* message) noexcept
      : kind_(kind), errno_(err), message_(message) {}
  IoErrorKind kind_;     // classification used by the Python mapping
  int errno_;            // 0 when message_ is set
  const char* message_;  // static text, or nullptr
};

// Maps an errno value to its kind (ENOENT -> NotFound, ...).
IoErrorKind kind_from_errno(int err) noexcept;

// The text strerror_r (XSI semantics) gives for `err`, whatever feature macros
// the compiler defined.
std::string os_error_text(int err);

// Text that a strict decode could not read: which encoding, where.
struct UndecodableText {
  std::string encoding;  // the codec's name
  size_t offset = 0;     // byte offset in the file of the first undecodable byte
  size_t line = 0;       // 1-based line it is on
  std::string bytes;     // the undecodable bytes
};

// The error type of the core: a platform I/O failure, or text that a strict
// decode could not read (then `io` holds a fixed InvalidInput message).
struct RowvaneError {
  IoError io;  // the failing step's platform error
  std::optional<UndecodableText> undecodable = std::nullopt;
  // Where it failed: the path of the file the step worked on (empty when
  // no one file is to blame), and the step ("open", "read", "write",
  // "rename"; static text, "" when unknown).
  std::string path = std::string();
  const char* operation = "";
  std::string display() const { return io.display(); }
};

// A value or an error; small stand-in for std::expected (C++23).
template <class T, class E>
class Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Expected(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

}  // namespace rowvane
