#include "core/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace rowvane {
namespace {

TEST(IoErrorKindTest, ErrnoMapping) {
  struct Case {
    int err;
    IoErrorKind kind;
  };
  const Case cases[] = {
      {ENOENT, IoErrorKind::NotFound},
      {EPERM, IoErrorKind::PermissionDenied},
      {EACCES, IoErrorKind::PermissionDenied},
      {EEXIST, IoErrorKind::AlreadyExists},
      {EISDIR, IoErrorKind::IsADirectory},
      {ENOTDIR, IoErrorKind::NotADirectory},
      {EINTR, IoErrorKind::Interrupted},
      {EAGAIN, IoErrorKind::WouldBlock},
      {EPIPE, IoErrorKind::BrokenPipe},
      {ECONNREFUSED, IoErrorKind::ConnectionRefused},
      {ECONNRESET, IoErrorKind::ConnectionReset},
      {ECONNABORTED, IoErrorKind::ConnectionAborted},
      {ETIMEDOUT, IoErrorKind::TimedOut},
      {ENOMEM, IoErrorKind::OutOfMemory},
      // Narrower than the interpreter's own table: these stay plain OSError.
      {ESRCH, IoErrorKind::Other},
      {ECHILD, IoErrorKind::Other},
      {EALREADY, IoErrorKind::Other},
      {EINPROGRESS, IoErrorKind::Other},
      {ENOSPC, IoErrorKind::Other},
      {0, IoErrorKind::Other},
      {4242, IoErrorKind::Other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    EXPECT_EQ(kind_from_errno(c.err), c.kind);
    IoError e = IoError::from_errno(c.err);
    EXPECT_EQ(e.kind(), c.kind);
    EXPECT_EQ(e.raw_os_error(), c.err);
    EXPECT_EQ(e.fixed_message(), nullptr);
  }
}

TEST(IoErrorDisplayTest, OsErrorTexts) {
  // The XSI texts, although g++ compiles with _GNU_SOURCE.
  struct Case {
    int err;
    const char* text;
  };
  const Case cases[] = {
      {ENOENT, "No such file or directory (os error 2)"},
      {EPERM, "Operation not permitted (os error 1)"},
      {EACCES, "Permission denied (os error 13)"},
      {EISDIR, "Is a directory (os error 21)"},
      {ENOTDIR, "Not a directory (os error 20)"},
      {ENOSPC, "No space left on device (os error 28)"},
      {4242, "Unknown error 4242 (os error 4242)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IoError::from_errno(c.err).display(), c.text);
    EXPECT_EQ(RowvaneError{IoError::from_errno(c.err)}.display(), c.text);
  }
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory");
}

TEST(IoErrorDisplayTest, FixedMessages) {
  struct Case {
    IoErrorKind kind;
    const char* message;
  };
  const Case cases[] = {
      {IoErrorKind::WriteZero, "failed to write whole buffer"},
      {IoErrorKind::WriteZero, "failed to write the buffered data"},
      {IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"},
  };
  for (const Case& c : cases) {
    IoError e = IoError::fixed(c.kind, c.message);
    EXPECT_EQ(e.kind(), c.kind);
    EXPECT_EQ(e.raw_os_error(), 0);
    EXPECT_STREQ(e.fixed_message(), c.message);
    EXPECT_EQ(e.display(), c.message);  // no " (os error ...)" suffix
  }
}

}  // namespace
}  // namespace rowvane
