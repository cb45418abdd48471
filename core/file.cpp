#include "core/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace rowvane {

namespace {

// Linux moves at most this much per read/write call anyway; asking for more
// only makes the count overflow-prone on other systems.
constexpr size_t kMaxIo = size_t{1} << 30;

Expected<FileHandle, IoError> open_retrying(const char* path, int flags, mode_t mode,
                                            const InterruptCheck& interrupt) {
  // Opening a FIFO waits for its other end. A signal that came while the
  // run was busy interrupted no call, so it is asked about before the wait.
  if (interrupt.should_stop()) return interrupted_error();
  for (;;) {
    int fd = ::open(path, flags, mode);
    if (fd >= 0) return FileHandle(fd);
    if (errno != EINTR) return IoError::from_errno(errno);
    if (interrupt.should_stop()) return interrupted_error();
  }
}

// -1 with errno EINTR only when `interrupt` asked to stop.
ssize_t read_retrying(int fd, char* data, size_t size, const InterruptCheck& interrupt) noexcept {
  for (;;) {
    ssize_t n = ::read(fd, data, std::min(size, kMaxIo));
    if (n >= 0 || errno != EINTR) return n;
    if (interrupt.should_stop()) {
      errno = EINTR;  // the check may have run code that changed it
      return -1;
    }
  }
}

IoError read_error(int err) noexcept {
  return err == EINTR ? interrupted_error() : IoError::from_errno(err);
}

// The path a symbolic link points to, relative links taken from the link's
// directory; empty when `path` is no link or cannot be read.
std::string link_target(const std::string& path) {
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      break;
    }
    buf.resize(buf.size() * 2);
  }
  if (buf.empty() || buf[0] == '/') return buf;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? buf : path.substr(0, slash + 1) + buf;
}

// The absolute name that opening `path` for writing would create: symbolic
// links in the last component followed (as open(2) with O_CREAT does), the
// directory resolved. `path` itself when the directory cannot be resolved.
std::string resolved_destination(const std::string& path) {
  std::string p = path;
  // 40 hops, the kernel's own limit on nested links.
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::string next = link_target(p);
    if (next.empty()) break;
    p = std::move(next);
  }
  const size_t slash = p.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  const std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(dir.c_str(), nullptr), &std::free);
  if (!real) return p;
  std::string resolved(real.get());
  if (resolved.back() != '/') resolved += '/';
  return resolved + base;
}

// Copies every extended attribute of `from` to `to`: user attributes and, as
// "system.posix_acl_access", the access ACL. Best effort: a file system
// without extended attributes, or an attribute the caller may not set
// (security.*, trusted.*), is no reason to fail a rewrite.
void copy_extended_attributes(int from, int to) noexcept {
  try {
    std::string names;
    // The list can grow between the sizing call and the reading one.
    for (int attempt = 0; attempt < 4; ++attempt) {
      ssize_t size = ::flistxattr(from, nullptr, 0);
      if (size <= 0) return;
      names.resize(static_cast<size_t>(size));
      size = ::flistxattr(from, names.data(), names.size());
      if (size >= 0) {
        names.resize(static_cast<size_t>(size));
        break;
      }
      if (errno != ERANGE) return;
      names.clear();
    }
    std::string value;
    for (size_t pos = 0; pos < names.size();) {
      const char* name = names.c_str() + pos;
      pos += std::strlen(name) + 1;
      ssize_t size = ::fgetxattr(from, name, nullptr, 0);
      if (size < 0) continue;
      value.resize(static_cast<size_t>(size));
      size = ::fgetxattr(from, name, value.data(), value.size());
      if (size < 0) continue;
      (void)::fsetxattr(to, name, value.data(), static_cast<size_t>(size), 0);
    }
  } catch (...) {
    // Out of memory for a list of names: the attributes stay behind.
  }
}

}  // namespace

Expected<FileHandle, IoError> FileHandle::open_read(const std::string& path,
                                                    const InterruptCheck& interrupt) {
  if (has_nul(path)) return IoError::fixed(IoErrorKind::InvalidInput, kNulInPathMessage);
  return open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC, 0, interrupt);
}

Expected<FileHandle, IoError> FileHandle::create_truncate(const std::string& path,
                                                          const InterruptCheck& interrupt) {
  if (has_nul(path)) return IoError::fixed(IoErrorKind::InvalidInput, kNulInPathMessage);
  return open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666, interrupt);
}

bool same_destination(const std::string& a, const std::string& b) {
  struct stat sa;
  struct stat sb;
  const bool a_exists = ::stat(a.c_str(), &sa) == 0;
  const bool b_exists = ::stat(b.c_str(), &sb) == 0;
  if (a_exists && b_exists) {
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && S_ISREG(sa.st_mode);
  }
  if (a_exists || b_exists) return false;
  return resolved_destination(a) == resolved_destination(b);
}

std::optional<FileIdentity> FileHandle::identity() const noexcept {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::nullopt;
  FileIdentity id;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.mode = st.st_mode;
  id.uid = st.st_uid;
  id.gid = st.st_gid;
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

ssize_t FileHandle::write_gather(const struct iovec* pieces, int count) noexcept {
  ssize_t n = ::writev(fd_, pieces, count);
  return n >= 0 ? n : -errno;
}

ssize_t ByteTarget::write_gather(const struct iovec* pieces, int count) noexcept {
  for (int i = 0; i < count; ++i) {
    if (pieces[i].iov_len != 0) return write_some(static_cast<const char*>(pieces[i].iov_base), pieces[i].iov_len);
  }
  return 0;
}

namespace {

// A buffer that is not zero-filled: the read is the first touch of its pages.
struct RawBuffer {
  std::unique_ptr<char[]> p;
  size_t cap = 0;
  char* data() noexcept { return p.get(); }
  size_t capacity() const noexcept { return cap; }
  void grow(size_t capacity, size_t kept) {
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    std::memcpy(bigger.get(), p.get(), kept);
    p = std::move(bigger);
    cap = capacity;
  }
};

// The read loop of read_all_bytes.
IoStatus read_into(const FileHandle& file, RawBuffer& buf, size_t& len,
                   const InterruptCheck& interrupt) {
  constexpr size_t kMinGrowth = 8192;
  len = 0;
  for (;;) {
    if (len == buf.capacity()) {
      // Full: the file most likely ends here. Look with a small read before
      // growing the buffer (and copying it) for nothing.
      char probe[64];
      ssize_t n = read_retrying(file.get(), probe, sizeof probe, interrupt);
      if (n < 0) return read_error(errno);
      if (n == 0) break;
      buf.grow(std::max(buf.capacity() * 2, buf.capacity() + kMinGrowth), len);
      std::memcpy(buf.data() + len, probe, static_cast<size_t>(n));
      len += static_cast<size_t>(n);
      continue;
    }
    ssize_t n = read_retrying(file.get(), buf.data() + len, buf.capacity() - len, interrupt);
    if (n < 0) return read_error(errno);
    if (n == 0) break;
    len += static_cast<size_t>(n);
  }
  return std::nullopt;
}

// One byte more than reported would save the probe, but would also make a
// file of exactly the reported size allocate a second page run for its last
// byte; the probe costs one small read instead.
size_t first_capacity(size_t size_hint) noexcept { return size_hint > 0 ? size_hint : 8192; }


}  // namespace

Expected<FileBytes, IoError> read_all_bytes(const FileHandle& file, size_t size_hint,
                                            const InterruptCheck& interrupt) {
  const size_t cap = first_capacity(size_hint);
  RawBuffer buf{std::make_unique_for_overwrite<char[]>(cap), cap};
  size_t len = 0;
  if (IoStatus status = read_into(file, buf, len, interrupt)) return std::move(*status);
  return FileBytes{std::move(buf.p), len};
}

Expected<OutputFile, IoError> OutputFile::create(const std::string& path,
                                                 const std::optional<FileIdentity>& input,
                                                 int input_fd, const InterruptCheck& interrupt) {
  if (has_nul(path)) return IoError::fixed(IoErrorKind::InvalidInput, kNulInPathMessage);

  // Only a regular input can be replaced by renaming: for /dev/null, a FIFO
  // or a terminal the same inode means nothing about losing data.
  struct stat st;
  if (input && S_ISREG(input->mode) && ::stat(path.c_str(), &st) == 0 && st.st_dev == input->dev &&
      st.st_ino == input->ino) {
    return create_replacement(path, *input, input_fd);
  }

  auto file = FileHandle::create_truncate(path, interrupt);
  if (!file) return std::move(file).error();
  return OutputFile(std::move(file).value(), std::string(), std::string());
}

Expected<OutputFile, IoError> OutputFile::create_replacement(const std::string& path,
                                                             const FileIdentity& input,
                                                             int input_fd) {
  // Rename onto the resolved name, so that a symbolic link to the input
  // keeps pointing at the (rewritten) input instead of being replaced.
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) return IoError::from_errno(errno);
  std::string final_path(real.get());
  const size_t slash = final_path.rfind('/');
  std::string temp =
      final_path.substr(0, slash + 1) + "." + final_path.substr(slash + 1) + ".rowvane-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return IoError::from_errno(errno);
  // From here on the object removes the temporary file on every failure.
  OutputFile out(FileHandle(fd), std::move(temp), std::move(final_path));

  // The owner first: changing it clears the set-id bits, and a set-gid
  // directory has given the file its own group. Without the original owner
  // the set-id bits must not come back: a set-uid file would run as the
  // caller (as root, for a root caller). The group alone is still kept when
  // the caller may choose it.
  mode_t mode = input.mode & 07777;
  if (::fchown(fd, input.uid, input.gid) != 0) {
    (void)::fchown(fd, static_cast<uid_t>(-1), input.gid);
    mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
  }
  // The attributes before the mode: setting the ACL rewrites the group bits,
  // and the mode set last brings them back to what the input had.
  if (input_fd >= 0) copy_extended_attributes(input_fd, fd);
  if (::fchmod(fd, mode) != 0) return IoError::from_errno(errno);
  return out;
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
