#include "platform/fs_links.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace zv::fs {

bool is_dir_entry(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

IoStatus create_symlink(const std::string& target, const std::string& link) {
  if (::symlink(target.c_str(), link.c_str()) != 0) return make_unexpected(IoError::from_errno(errno));
  return {};
}

}  // namespace zv::fs
