// File handles of the file run: a move-only descriptor owner, whole-file
// reading, and the output file that is written beside the input and renamed
// into place when it would otherwise truncate the input it was read from.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"

namespace rowvane {

// Outcome of an I/O step that yields no value: empty on success.
using IoStatus = std::optional<IoError>;

// Where a writer's bytes go. write_some returns the number of bytes accepted
// (it may be fewer than `size`, or 0) or, on failure, the negated errno. A
// seam so tests can put short writes, EINTR or ENOSPC under a writer.
class ByteTarget {
 public:
  virtual ssize_t write_some(const char* data, size_t size) noexcept = 0;
  // Writes from several pieces in order (writev(2) for a file); returns the
  // bytes written or -errno, like write_some. The default writes from the
  // first piece that is not empty.
  virtual ssize_t write_gather(const struct iovec* pieces, int count) noexcept;

 protected:
  ByteTarget() = default;
  ByteTarget(const ByteTarget&) = default;
  ByteTarget& operator=(const ByteTarget&) = default;
  ~ByteTarget() = default;
};

// The message of a path that holds a NUL byte, which no system call can take.
inline constexpr const char* kNulInPathMessage = "file name contained an unexpected NUL byte";

inline bool has_nul(const std::string& path) noexcept {
  return path.find('\0') != std::string::npos;
}

// The message of a run stopped because the caller's interrupt check asked for
// it (a signal handler of the embedding program reported an error).
inline constexpr char kInterruptedMessage[] = "interrupted by a signal handler";

// Asked before each call that may block (an open, a write of buffered
// output) and each time such a call returns EINTR. `fn` returns true when the
// caller wants the run to stop (its signal handlers reported an error);
// false means go on or retry. Without `fn` every interrupted call is retried.
// This is how an embedding interpreter gets to run its handlers while the
// core works or waits on a pipe, without the core knowing anything about the
// interpreter: a signal that came while the run was busy is acted on at the
// next open or write, not only when a later wait happens to be interrupted.
struct InterruptCheck {
  bool (*fn)(void* context) = nullptr;
  void* context = nullptr;

  bool should_stop() const noexcept { return fn != nullptr && fn(context); }
};

// The error of a run stopped by an InterruptCheck.
inline IoError interrupted_error() noexcept {
  return IoError::fixed(IoErrorKind::Interrupted, kInterruptedMessage);
}

// Whether `error` is the one interrupted_error() makes. By its text: the
// same literal need not have one address in every object file.
inline bool is_interrupted_error(const IoError& error) noexcept {
  return error.kind() == IoErrorKind::Interrupted && error.fixed_message() != nullptr &&
         std::strcmp(error.fixed_message(), kInterruptedMessage) == 0;
}

// What the run knows about its opened input: enough to tell whether another
// path names the same file, and what a replacement keeps (permission bits,
// owner and group).
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  mode_t mode = 0;   // st_mode, type and permission bits
  uid_t uid = 0;     // st_uid
  gid_t gid = 0;     // st_gid
  size_t size = 0;   // st_size, a hint for reading
};

// Owns one file descriptor and closes it when destroyed.
class FileHandle final : public ByteTarget {
 public:
  FileHandle() noexcept = default;
  explicit FileHandle(int fd) noexcept : fd_(fd) {}
  FileHandle(FileHandle&& other) noexcept : ByteTarget(), fd_(std::exchange(other.fd_, -1)) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { close(); }

  // open(2) with O_RDONLY | O_CLOEXEC, retried when interrupted unless
  // `interrupt` asks to stop.
  static Expected<FileHandle, IoError> open_read(const std::string& path,
                                                 const InterruptCheck& interrupt = {});
  // open(2) with O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC and mode 0666 (the
  // umask applies), retried when interrupted unless `interrupt` asks to stop.
  static Expected<FileHandle, IoError> create_truncate(const std::string& path,
                                                       const InterruptCheck& interrupt = {});

  int get() const noexcept { return fd_; }
  bool is_open() const noexcept { return fd_ >= 0; }
  // fstat of the open file; empty when fstat fails.
  std::optional<FileIdentity> identity() const noexcept;
  // The outcome of close(2) is not reported: there is nothing a caller could
  // do with it, and the bytes were handed to the kernel already.
  void close() noexcept;

  ssize_t write_some(const char* data, size_t size) noexcept override;
  ssize_t write_gather(const struct iovec* pieces, int count) noexcept override;

 private:
  int fd_ = -1;
};

// A whole file's bytes in memory that is not zero-filled first: the read is
// the first touch of each page, which matters for both runs, whose input is
// most of their work.
struct FileBytes {
  std::unique_ptr<char[]> data;  // `size` bytes of file text (more capacity may follow)
  size_t size = 0;
  std::string_view view() const noexcept { return std::string_view(data.get(), size); }
};

// Reads `file` to its end. `size_hint` (the size fstat reported) sizes the
// buffer up front so a regular file is read without regrowing; the buffer
// grows when the file turns out longer. Interrupted reads are retried unless
// `interrupt` asks to stop; a read of 0 bytes ends the file.
Expected<FileBytes, IoError> read_all_bytes(const FileHandle& file, size_t size_hint,
                                            const InterruptCheck& interrupt = {});

// Whether `a` and `b` name the same file when both are opened for writing:
// the same device and inode when both exist, otherwise the same path once
// the directories and any symbolic links on the way are resolved (a dangling
// link names the file that opening it would create). Devices, FIFOs and
// other files that are not regular never count: writing one twice loses
// nothing.
bool same_destination(const std::string& a, const std::string& b);

// A file the run writes. Normally the path itself, opened as by
// FileHandle::create_truncate. When the path names the regular file the run
// read its input from, truncating it would destroy the input if the run then
// failed halfway; such a file is written to a temporary file in the same
// directory (".<name>.rowvane-XXXXXX") and commit() renames it over the path.
// The temporary file takes the input's owner and group, its extended
// attributes (the access ACL among them) and its mode; when the owner cannot
// be kept, the set-user-ID and set-group-ID bits are dropped, so a rewrite
// never hands the caller's identity to a set-id program. Until committed,
// destroying the object removes the temporary file, so a failed run leaves
// the input untouched. When no temporary file can be made, create fails with
// the reason and the input is left alone: truncating it in place would lose
// it to any later write failure. (A second hard link to the input is
// replaced the same way, so the input's own name keeps the original text.)
class OutputFile {
 public:
  // `input_fd` is the open input, read for its extended attributes (-1: none
  // are copied).
  static Expected<OutputFile, IoError> create(const std::string& path,
                                              const std::optional<FileIdentity>& input,
                                              int input_fd = -1,
                                              const InterruptCheck& interrupt = {});

  OutputFile(OutputFile&& other) noexcept
      : file_(std::move(other.file_)),
        temp_path_(std::exchange(other.temp_path_, std::string())),
        final_path_(std::exchange(other.final_path_, std::string())) {}
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  FileHandle& file() noexcept { return file_; }
  // True when the bytes go to a temporary file that commit() moves into place.
  bool via_temporary() const noexcept { return !temp_path_.empty(); }
  const std::string& temporary_path() const noexcept { return temp_path_; }

  // Call once every byte was handed to the file: renames a temporary file
  // over the target path. A no-op for a file written in place.
  [[nodiscard]] IoStatus commit();

 private:
  // The temporary file that replaces the input `path` names on commit.
  static Expected<OutputFile, IoError> create_replacement(const std::string& path,
                                                          const FileIdentity& input, int input_fd);

  OutputFile(FileHandle file, std::string temp_path, std::string final_path) noexcept
      : file_(std::move(file)), temp_path_(std::move(temp_path)), final_path_(std::move(final_path)) {}

  FileHandle file_;
  std::string temp_path_;   // empty unless writing to a temporary file
  std::string final_path_;  // where the temporary file goes on commit
};

}  // namespace rowvane
