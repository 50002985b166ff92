#include "platform/file_system.h"

#include "platform/file.h"
#include "platform/fs.h"

namespace zv {
namespace {

class OsFsFile final : public FsFile {
 public:
  explicit OsFsFile(File file) : file_(std::move(file)) {}
  IoResult<size_t> read_at(void* buf, size_t n, uint64_t offset) override {
    return file_.read_at(buf, n, offset);
  }
  IoStatus write_at(const void* buf, size_t n, uint64_t offset) override {
    return file_.write_all_at(buf, n, offset);
  }
  IoStatus set_len(uint64_t len) override { return file_.set_len(len); }
  IoStatus sync() override { return file_.sync_data(); }
  IoStatus sync_all() override { return file_.sync_all(); }
  IoResult<uint64_t> size() override { return file_.size(); }

 private:
  File file_;
};

class OsFileSystem final : public FileSystem {
 public:
  IoResult<std::unique_ptr<FsFile>> open(const std::string& path, FsOpenMode mode) override {
    if (mode == FsOpenMode::kCreateNew) {
      ZV_ASSIGN_OR_RETURN(File f, File::create_new(path));
      return std::unique_ptr<FsFile>(std::make_unique<OsFsFile>(std::move(f)));
    }
    OpenOptions o;
    o.read = true;
    o.write = mode != FsOpenMode::kRead;
    o.create = mode != FsOpenMode::kRead && mode != FsOpenMode::kReadWrite;
    o.truncate = mode == FsOpenMode::kCreateTruncate;
    ZV_ASSIGN_OR_RETURN(File f, File::open(path, o));
    return std::unique_ptr<FsFile>(std::make_unique<OsFsFile>(std::move(f)));
  }
  bool exists(const std::string& path) override { return fs::exists(path); }
  IoStatus rename(const std::string& from, const std::string& to) override {
    return fs::rename(from, to);
  }
  IoStatus remove_file(const std::string& path) override { return fs::remove_file(path); }
  IoStatus sync_dir(const std::string& path) override { return fs::sync_dir(path); }
  IoResult<std::vector<std::string>> list_dir(const std::string& path) override {
    return fs::list_dir(path);
  }
};

}  // namespace

FileSystem& FileSystem::os() {
  static OsFileSystem fs;  // stateless
  return fs;
}

IoStatus read_exact_at(FsFile& file, void* buf, size_t n, uint64_t offset) {
  ZV_ASSIGN_OR_RETURN(size_t got, file.read_at(buf, n, offset));
  if (got != n) return make_unexpected(IoError(IoErrorKind::kUnexpectedEof, kShortReadMessage));
  return {};
}

IoResult<std::string> read_whole_file(FileSystem& fs, const std::string& path) {
  ZV_ASSIGN_OR_RETURN(auto file, fs.open(path, FsOpenMode::kRead));
  ZV_ASSIGN_OR_RETURN(const uint64_t size, file->size());
  std::string out(static_cast<size_t>(size), '\0');
  ZV_ASSIGN_OR_RETURN(size_t got, file->read_at(out.data(), out.size(), 0));
  out.resize(got);
  return out;
}

IoStatus replace_file_durably(FileSystem& fs, const std::string& path, std::string_view bytes) {
  const std::string tmp = path + ".tmp";
  {
    ZV_ASSIGN_OR_RETURN(auto file, fs.open(tmp, FsOpenMode::kCreateTruncate));
    ZV_TRY(file->write_at(bytes.data(), bytes.size(), 0));
    ZV_TRY(file->sync());
  }
  ZV_TRY(fs.rename(tmp, path));
  return fs.sync_dir(dir_of(path));
}

std::string dir_of(const std::string& path) {
  std::string dir = fs::parent(path);
  return dir.empty() ? "." : dir;
}

}  // namespace zv
