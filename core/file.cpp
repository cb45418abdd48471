#include "core/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace rowvane {

namespace {

// Linux moves at most this much per read/write call anyway; asking for more
// only makes the count overflow-prone on other systems.
constexpr size_t kMaxIo = size_t{1} << 30;

Expected<FileHandle, IoError> open_retrying(const char* path, int flags, mode_t mode) {
  for (;;) {
    int fd = ::open(path, flags, mode);
    if (fd >= 0) return FileHandle(fd);
    if (errno != EINTR) return IoError::from_errno(errno);
  }
}

ssize_t read_retrying(int fd, char* data, size_t size) noexcept {
  for (;;) {
    ssize_t n = ::read(fd, data, std::min(size, kMaxIo));
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

Expected<FileHandle, IoError> FileHandle::open_read(const std::string& path) {
  if (has_nul(path)) return IoError::fixed(IoErrorKind::InvalidInput, kNulInPathMessage);
  return open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
}

Expected<FileHandle, IoError> FileHandle::create_truncate(const std::string& path) {
  if (has_nul(path)) return IoError::fixed(IoErrorKind::InvalidInput, kNulInPathMessage);
  return open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

std::optional<FileIdentity> FileHandle::identity() const noexcept {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::nullopt;
  FileIdentity id;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.mode = st.st_mode;
  id.size = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  return id;
}

void FileHandle::close() noexcept {
  if (fd_ >= 0) {
    // Not retried on EINTR: on Linux the descriptor is released either way,
    // and a retry could close a descriptor another thread just opened.
    ::close(fd_);
    fd_ = -1;
  }
}

ssize_t FileHandle::write_some(const char* data, size_t size) noexcept {
  ssize_t n = ::write(fd_, data, std::min(size, kMaxIo));
  return n >= 0 ? n : -errno;
}

Expected<std::string, IoError> read_all(const FileHandle& file, size_t size_hint) {
  constexpr size_t kMinGrowth = 8192;
  std::string buf;
  // One byte more than reported would save the probe below, but would also
  // make a file of exactly the reported size allocate a second page run for
  // its last byte; the probe costs one small read instead.
  buf.resize(size_hint > 0 ? size_hint : kMinGrowth);
  size_t len = 0;
  for (;;) {
    if (len == buf.size()) {
      // Full: the file most likely ends here. Look with a small read before
      // growing the buffer (and copying it) for nothing.
      char probe[64];
      ssize_t n = read_retrying(file.get(), probe, sizeof probe);
      if (n < 0) return IoError::from_errno(errno);
      if (n == 0) break;
      buf.resize(std::max(buf.size() * 2, buf.size() + kMinGrowth));
      std::memcpy(buf.data() + len, probe, static_cast<size_t>(n));
      len += static_cast<size_t>(n);
      continue;
    }
    ssize_t n = read_retrying(file.get(), buf.data() + len, buf.size() - len);
    if (n < 0) return IoError::from_errno(errno);
    if (n == 0) break;
    len += static_cast<size_t>(n);
  }
  buf.resize(len);
  return buf;
}

Expected<OutputFile, IoError> OutputFile::create(const std::string& path,
                                                 const std::optional<FileIdentity>& input) {
  if (has_nul(path)) return IoError::fixed(IoErrorKind::InvalidInput, kNulInPathMessage);

  // Only a regular input can be replaced by renaming: for /dev/null, a FIFO
  // or a terminal the same inode means nothing about losing data.
  struct stat st;
  if (input && S_ISREG(input->mode) && ::stat(path.c_str(), &st) == 0 && st.st_dev == input->dev &&
      st.st_ino == input->ino) {
    // Rename onto the resolved name, so that a symbolic link to the input
    // keeps pointing at the (rewritten) input instead of being replaced.
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (real) {
      std::string final_path(real.get());
      size_t slash = final_path.rfind('/');
      std::string temp = final_path.substr(0, slash + 1) + "." + final_path.substr(slash + 1) +
                         ".rowvane-XXXXXX";
      int fd = ::mkostemp(temp.data(), O_CLOEXEC);
      if (fd >= 0) {
        FileHandle file(fd);
        if (::fchmod(fd, input->mode & 07777) == 0) {
          return OutputFile(std::move(file), std::move(temp), std::move(final_path));
        }
        file.close();
        ::unlink(temp.c_str());
      }
      // No temporary file possible (a directory without write permission,
      // a name too long for the suffix, ...): fall back to truncating the
      // input in place, which is what an output path does in general.
    }
  }

  auto file = FileHandle::create_truncate(path);
  if (!file) return std::move(file).error();
  return OutputFile(std::move(file).value(), std::string(), std::string());
}

OutputFile::~OutputFile() {
  file_.close();
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

IoStatus OutputFile::commit() {
  if (temp_path_.empty()) return std::nullopt;
  if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) return IoError::from_errno(errno);
  temp_path_.clear();
  return std::nullopt;
}

}  // namespace rowvane
