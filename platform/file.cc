#include "platform/file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zv {

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

IoResult<File> File::open(const std::string& path, const OpenOptions& o) {
  int flags = O_CLOEXEC;
  if (o.read && (o.write || o.append)) flags |= O_RDWR;
  else if (o.write || o.append) flags |= O_WRONLY;
  else flags |= O_RDONLY;
  if (o.append) flags |= O_APPEND;
  if (o.create_new) flags |= O_CREAT | O_EXCL;
  else if (o.create) flags |= O_CREAT;
  if (o.truncate) flags |= O_TRUNC;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return make_unexpected(IoError::from_errno(errno));
  return File(fd, path);
}

IoResult<File> File::open_read(const std::string& path) {
  return open(path, OpenOptions{});
}

IoResult<File> File::open_read_write(const std::string& path) {
  OpenOptions o;
  o.write = true;
  return open(path, o);
}

IoResult<File> File::create(const std::string& path) {
  OpenOptions o;
  o.write = true;
  o.create = true;
  o.truncate = true;
  return open(path, o);
}

IoResult<File> File::create_new(const std::string& path) {
  OpenOptions o;
  o.write = true;
  o.create_new = true;
  return open(path, o);
}

IoResult<size_t> File::read_at(void* buf, size_t n, uint64_t offset) const {
  auto* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return make_unexpected(IoError::from_errno(errno));
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return done;
}

IoStatus File::read_exact_at(void* buf, size_t n, uint64_t offset) const {
  ZV_ASSIGN_OR_RETURN(size_t got, read_at(buf, n, offset));
  if (got != n)
    return make_unexpected(IoError(IoErrorKind::kUnexpectedEof, kShortReadMessage));
  return {};
}

IoStatus File::write_all_at(const void* buf, size_t n, uint64_t offset) {
  auto* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(offset + done));
    if (w < 0) {
      if (errno == EINTR) continue;
      return make_unexpected(IoError::from_errno(errno));
    }
    if (w == 0)
      return make_unexpected(IoError(IoErrorKind::kWriteZero, "failed to write whole buffer"));
    done += static_cast<size_t>(w);
  }
  return {};
}

IoResult<size_t> File::read(void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::read(fd_, p + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return make_unexpected(IoError::from_errno(errno));
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return done;
}

IoStatus File::read_exact(void* buf, size_t n) {
  ZV_ASSIGN_OR_RETURN(size_t got, read(buf, n));
  if (got != n)
    return make_unexpected(IoError(IoErrorKind::kUnexpectedEof, kShortReadMessage));
  return {};
}

IoStatus File::write_all(const void* buf, size_t n) {
  auto* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd_, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return make_unexpected(IoError::from_errno(errno));
    }
    if (w == 0)
      return make_unexpected(IoError(IoErrorKind::kWriteZero, "failed to write whole buffer"));
    done += static_cast<size_t>(w);
  }
  return {};
}

IoResult<uint64_t> File::seek(uint64_t offset) {
  off_t r = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
  if (r < 0) return make_unexpected(IoError::from_errno(errno));
  return static_cast<uint64_t>(r);
}

IoResult<uint64_t> File::seek_end() {
  off_t r = ::lseek(fd_, 0, SEEK_END);
  if (r < 0) return make_unexpected(IoError::from_errno(errno));
  return static_cast<uint64_t>(r);
}

IoResult<uint64_t> File::position() const {
  off_t r = ::lseek(fd_, 0, SEEK_CUR);
  if (r < 0) return make_unexpected(IoError::from_errno(errno));
  return static_cast<uint64_t>(r);
}

IoResult<uint64_t> File::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return make_unexpected(IoError::from_errno(errno));
  return static_cast<uint64_t>(st.st_size);
}

IoStatus File::set_len(uint64_t len) {
  int r;
  do {
    r = ::ftruncate(fd_, static_cast<off_t>(len));
  } while (r != 0 && errno == EINTR);
  if (r != 0) return make_unexpected(IoError::from_errno(errno));
  return {};
}

IoStatus File::sync_all() {
  if (::fsync(fd_) != 0) return make_unexpected(IoError::from_errno(errno));
  return {};
}

IoStatus File::sync_data() {
  if (::fdatasync(fd_) != 0) return make_unexpected(IoError::from_errno(errno));
  return {};
}

IoStatus File::close() {
  if (fd_ < 0) return {};
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return make_unexpected(IoError::from_errno(errno));
  return {};
}

}  // namespace zv
