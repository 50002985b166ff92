#include "platform/file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace zv {

FileLock::~FileLock() {
  if (file_.is_open()) {
    struct flock fl {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    ::fcntl(file_.fd(), F_OFD_SETLK, &fl);
  }
}

IoResult<FileLock> FileLock::try_lock(const std::string& path) {
  OpenOptions o;
  o.write = true;
  o.create = true;
  ZV_ASSIGN_OR_RETURN(File f, File::open(path, o));
  // Open-file-description locks conflict between two opens in one process
  // too, as the database needs (two opens of one directory must refuse).
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  if (::fcntl(f.fd(), F_OFD_SETLK, &fl) != 0) {
    int e = errno;
    if (e == EACCES || e == EAGAIN)
      return make_unexpected(IoError(IoErrorKind::kWouldBlock,
                                     IoError::from_errno(EAGAIN).message(), e));
    return make_unexpected(IoError::from_errno(e));
  }
  return FileLock(std::move(f));
}

}  // namespace zv
