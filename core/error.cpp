#include "core/error.hpp"

#include <cerrno>
#include <cstring>

namespace rowvane {

IoErrorKind kind_from_errno(int err) noexcept {
  switch (err) {
    case ENOENT: return IoErrorKind::NotFound;
    case EPERM:
    case EACCES: return IoErrorKind::PermissionDenied;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EISDIR: return IoErrorKind::IsADirectory;
    case ENOTDIR: return IoErrorKind::NotADirectory;
    case EINTR: return IoErrorKind::Interrupted;
    case EAGAIN: return IoErrorKind::WouldBlock;  // EWOULDBLOCK is the same number here
    case EPIPE: return IoErrorKind::BrokenPipe;
    case ECONNREFUSED: return IoErrorKind::ConnectionRefused;
    case ECONNRESET: return IoErrorKind::ConnectionReset;
    case ECONNABORTED: return IoErrorKind::ConnectionAborted;
    case ETIMEDOUT: return IoErrorKind::TimedOut;
    case ENOMEM: return IoErrorKind::OutOfMemory;
    default: return IoErrorKind::Other;
  }
}

IoError IoError::from_errno(int err) noexcept { return IoError(kind_from_errno(err), err, nullptr); }

IoError IoError::fixed(IoErrorKind kind, const char* message) noexcept {
  return IoError(kind, 0, message);
}

namespace {

// g++ defines _GNU_SOURCE, so <cstring> declares the GNU strerror_r, which
// returns the text (possibly a static string) instead of filling `buf` and
// returning a status. Overloading on the return type picks the right reading
// for whichever variant the C library declared, so the text is the XSI one
// either way. For an unknown number both variants leave "Unknown error N".
[[maybe_unused]] const char* strerror_result(int status, const char* buf) noexcept {
  // XSI: the text is in `buf`; glibc still writes "Unknown error N" there
  // when it returns EINVAL, so only an empty buffer means nothing was written.
  (void)status;
  return buf[0] != '\0' ? buf : nullptr;
}

[[maybe_unused]] const char* strerror_result(const char* text, const char*) noexcept {
  return text;  // GNU: the returned pointer is the text
}

}  // namespace

std::string os_error_text(int err) {
  char buf[256];
  buf[0] = '\0';
  const char* text = strerror_result(strerror_r(err, buf, sizeof buf), buf);
  if (text == nullptr) return "Unknown error " + std::to_string(err);
  return std::string(text);
}

std::string IoError::display() const {
  if (message_ != nullptr) return std::string(message_);
  std::string out = os_error_text(errno_);
  out += " (os error ";
  out += std::to_string(errno_);
  out += ')';
  return out;
}

}  // namespace rowvane
