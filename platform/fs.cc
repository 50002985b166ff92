#include "platform/fs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/random.h"

namespace zv::fs {

namespace {
IoStatus errno_status() { return make_unexpected(IoError::from_errno(errno)); }
}  // namespace

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

IoStatus create_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0) return errno_status();
  return {};
}

IoStatus create_dir_all(const std::string& path) {
  if (path.empty()) return {};
  if (is_dir(path)) return {};
  std::string p = parent(path);
  if (!p.empty() && p != path) ZV_TRY(create_dir_all(p));
  if (::mkdir(path.c_str(), 0755) != 0) {
    const int e = errno;
    // Another creator may have won the race; a file of that name is a failure.
    if (e == EEXIST && is_dir(path)) return {};
    return make_unexpected(IoError::from_errno(e));
  }
  return {};
}

IoStatus remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return errno_status();
  return {};
}

IoStatus remove_dir(const std::string& path) {
  if (::rmdir(path.c_str()) != 0) return errno_status();
  return {};
}

IoStatus remove_dir_all(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno_status();
  if (!S_ISDIR(st.st_mode)) return remove_file(path);
  ZV_ASSIGN_OR_RETURN(auto names, list_dir(path));
  for (const auto& n : names) ZV_TRY(remove_dir_all(join(path, n)));
  return remove_dir(path);
}

IoStatus rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return errno_status();
  return {};
}

IoStatus sync_dir(const std::string& path) {
  int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno_status();
  int r = ::fsync(fd);
  int e = errno;
  ::close(fd);
  if (r != 0) return make_unexpected(IoError::from_errno(e));
  return {};
}

IoResult<std::vector<std::string>> list_dir(const std::string& path) {
  DIR* d = ::opendir(path.c_str());
  if (!d) return make_unexpected(IoError::from_errno(errno));
  std::vector<std::string> out;
  errno = 0;
  while (struct dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") out.push_back(std::move(n));
  }
  int e = errno;
  ::closedir(d);
  if (e != 0) return make_unexpected(IoError::from_errno(e));
  std::sort(out.begin(), out.end());
  return out;
}

IoResult<uint64_t> file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return make_unexpected(IoError::from_errno(errno));
  return static_cast<uint64_t>(st.st_size);
}

IoResult<std::string> read_file(const std::string& path) {
  ZV_ASSIGN_OR_RETURN(File f, File::open_read(path));
  ZV_ASSIGN_OR_RETURN(uint64_t n, f.size());
  std::string out(n, '\0');
  ZV_ASSIGN_OR_RETURN(size_t got, f.read_at(out.data(), n, 0));
  out.resize(got);
  return out;
}

IoStatus write_file(const std::string& path, std::string_view bytes) {
  ZV_ASSIGN_OR_RETURN(File f, File::create(path));
  return f.write_all(bytes);
}

std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string parent(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return "";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

std::string file_name(const std::string& path) {
  auto pos = path.find_last_of('/');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof(buf)) == nullptr) return path;
  return join(buf, path);
}

IoResult<TempFile> TempFile::create_in(const std::string& dir,
                                       const std::string& prefix) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof(name), "%016llx",
                  static_cast<unsigned long long>(os_random_u64()));
    std::string path = join(dir, prefix + name + ".tmp");
    auto f = File::create_new(path);
    if (f.ok()) return TempFile(std::move(f).value(), path);
    if (f.error().kind() != IoErrorKind::kAlreadyExists)
      return make_unexpected(std::move(f).error());
  }
  return make_unexpected(IoError(IoErrorKind::kAlreadyExists,
                                 "could not create a unique temporary file"));
}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
  if (this != &other) {
    if (!done_ && !path_.empty()) ::unlink(path_.c_str());
    file_ = std::move(other.file_);
    path_ = std::move(other.path_);
    done_ = other.done_;
    other.done_ = true;
  }
  return *this;
}

TempFile::~TempFile() {
  if (!done_ && !path_.empty()) {
    (void)file_.close();
    ::unlink(path_.c_str());
  }
}

IoStatus TempFile::persist(const std::string& target) {
  ZV_TRY(file_.sync_all());
  ZV_TRY(file_.close());
  ZV_TRY(rename(path_, target));
  done_ = true;
  return sync_dir(parent(target));
}

IoStatus write_file_atomic(const std::string& path, std::string_view bytes) {
  // Built by append: g++ 12 at -O3 warns falsely on "." + std::string&&.
  std::string prefix(".");
  prefix.append(file_name(path)).append(".");
  ZV_ASSIGN_OR_RETURN(TempFile tmp, TempFile::create_in(parent(path), prefix));
  ZV_TRY(tmp.file().write_all(bytes));
  return tmp.persist(path);
}

}  // namespace zv::fs
