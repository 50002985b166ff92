#include "platform/testing/faulty_file_system.h"

#include <cerrno>

namespace zv::testing {
namespace {

class FaultyFsFile final : public FsFile {
 public:
  FaultyFsFile(std::unique_ptr<FsFile> inner, FaultyFileSystem* fs)
      : inner_(std::move(inner)), fs_(fs) {}
  IoResult<size_t> read_at(void* buf, size_t n, uint64_t offset) override {
    ZV_TRY(fs_->check(FaultOp::kRead));
    return inner_->read_at(buf, n, offset);
  }
  IoStatus write_at(const void* buf, size_t n, uint64_t offset) override {
    IoStatus st = fs_->check(FaultOp::kWrite);
    if (!st.ok()) {
      // A failing write may still have put part of its bytes in the file.
      if (n > 1) (void)inner_->write_at(buf, n / 2, offset);
      return st;
    }
    return inner_->write_at(buf, n, offset);
  }
  IoStatus set_len(uint64_t len) override {
    ZV_TRY(fs_->check(FaultOp::kSetLen));
    return inner_->set_len(len);
  }
  IoStatus sync() override {
    ZV_TRY(fs_->check(FaultOp::kSync));
    return inner_->sync();
  }
  IoStatus sync_all() override {
    ZV_TRY(fs_->check(FaultOp::kSyncAll));
    return inner_->sync_all();
  }
  IoResult<uint64_t> size() override { return inner_->size(); }

 private:
  std::unique_ptr<FsFile> inner_;
  FaultyFileSystem* fs_;
};

}  // namespace

void FaultyFileSystem::fail_nth(FaultOp op, uint64_t n, uint64_t times, IoErrorKind kind) {
  Counter& c = ops_[idx(op)];
  const uint64_t base = c.calls.load();
  c.kind.store(kind);
  c.fail_until.store(base + n + times - 1);
  c.fail_from.store(base + n);
}

void FaultyFileSystem::clear() {
  for (Counter& c : ops_) c.fail_from.store(0);
}

IoStatus FaultyFileSystem::check(FaultOp op) {
  Counter& c = ops_[idx(op)];
  const uint64_t call = c.calls.fetch_add(1) + 1;
  const uint64_t from = c.fail_from.load();
  if (from != 0 && call >= from && call <= c.fail_until.load()) {
    failures_.fetch_add(1);
    const IoErrorKind kind = c.kind.load();
    if (kind != IoErrorKind::kOther) return make_unexpected(IoError(kind, "injected I/O failure"));
    return make_unexpected(IoError(IoErrorKind::kOther, "injected I/O failure (os error 5)", EIO));
  }
  return {};
}

IoResult<std::unique_ptr<FsFile>> FaultyFileSystem::open(const std::string& path,
                                                         FsOpenMode mode) {
  ZV_TRY(check(FaultOp::kOpen));
  ZV_ASSIGN_OR_RETURN(auto inner, inner_.open(path, mode));
  return std::unique_ptr<FsFile>(std::make_unique<FaultyFsFile>(std::move(inner), this));
}

IoStatus FaultyFileSystem::rename(const std::string& from, const std::string& to) {
  ZV_TRY(check(FaultOp::kRename));
  return inner_.rename(from, to);
}

IoStatus FaultyFileSystem::remove_file(const std::string& path) {
  ZV_TRY(check(FaultOp::kRemove));
  return inner_.remove_file(path);
}

IoStatus FaultyFileSystem::sync_dir(const std::string& path) {
  ZV_TRY(check(FaultOp::kSyncDir));
  return inner_.sync_dir(path);
}

}  // namespace zv::testing
