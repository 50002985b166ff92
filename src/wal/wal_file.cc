#include "src/wal/wal_file.h"

namespace zv::wal {
namespace {

class OsWalFile final : public WalFile {
 public:
  explicit OsWalFile(File file) : file_(std::move(file)) {}
  IoResult<size_t> read_at(void* buf, size_t n, uint64_t offset) override {
    return file_.read_at(buf, n, offset);
  }
  IoStatus write_at(const void* buf, size_t n, uint64_t offset) override {
    return file_.write_all_at(buf, n, offset);
  }
  IoStatus set_len(uint64_t len) override { return file_.set_len(len); }
  IoStatus sync() override { return file_.sync_data(); }
  IoResult<uint64_t> size() override { return file_.size(); }

 private:
  File file_;
};

class OsWalFileSystem final : public WalFileSystem {
 public:
  IoResult<std::unique_ptr<WalFile>> open(const std::string& path, WalOpenMode mode) override {
    OpenOptions o;
    o.read = true;
    o.write = mode != WalOpenMode::kRead;
    o.create = mode != WalOpenMode::kRead;
    o.truncate = mode == WalOpenMode::kCreateTruncate;
    ZV_ASSIGN_OR_RETURN(File f, File::open(path, o));
    return std::unique_ptr<WalFile>(std::make_unique<OsWalFile>(std::move(f)));
  }
};

}  // namespace

WalFileSystem& WalFileSystem::os() {
  static OsWalFileSystem fs;  // stateless
  return fs;
}

IoStatus read_exact_at(WalFile& file, void* buf, size_t n, uint64_t offset) {
  ZV_ASSIGN_OR_RETURN(size_t got, file.read_at(buf, n, offset));
  if (got != n) return make_unexpected(IoError(IoErrorKind::kUnexpectedEof, kShortReadMessage));
  return {};
}

}  // namespace zv::wal
