#include "morva/src/testing/faulty_journal_fs.h"

#include <cerrno>

namespace morva::testing {
namespace {

class FaultyFile final : public JournalFile {
 public:
  FaultyFile(FaultyJournalFs* fs, std::unique_ptr<JournalFile> inner)
      : fs_(fs), inner_(std::move(inner)) {}
  zv::IoResult<size_t> read_at(void* buf, size_t n, uint64_t offset) override {
    ZV_TRY(fs_->check(JournalFsOp::kRead));
    return inner_->read_at(buf, n, offset);
  }
  zv::IoStatus write_at(const void* buf, size_t n, uint64_t offset) override {
    ZV_TRY(fs_->check(JournalFsOp::kWrite));
    return inner_->write_at(buf, n, offset);
  }
  zv::IoStatus set_len(uint64_t len) override {
    ZV_TRY(fs_->check(JournalFsOp::kSetLen));
    return inner_->set_len(len);
  }
  zv::IoStatus sync_all() override {
    ZV_TRY(fs_->check(JournalFsOp::kSyncAll));
    return inner_->sync_all();
  }
  zv::IoStatus sync_data() override {
    ZV_TRY(fs_->check(JournalFsOp::kSyncData));
    return inner_->sync_data();
  }
  zv::IoResult<uint64_t> size() override { return inner_->size(); }

 private:
  FaultyJournalFs* fs_;
  std::unique_ptr<JournalFile> inner_;
};

}  // namespace

void FaultyJournalFs::fail_nth(JournalFsOp op, uint64_t n, uint64_t times, zv::IoErrorKind kind) {
  Counter& c = ops_[idx(op)];
  const uint64_t base = c.calls.load();
  c.kind.store(static_cast<int>(kind));
  c.fail_until.store(base + n + times - 1);
  c.fail_from.store(base + n);
}

void FaultyJournalFs::clear() {
  for (Counter& c : ops_) c.fail_from.store(0);
}

uint64_t FaultyJournalFs::total_calls() const {
  uint64_t sum = 0;
  for (const Counter& c : ops_) sum += c.calls.load();
  return sum;
}

zv::IoStatus FaultyJournalFs::check(JournalFsOp op) {
  Counter& c = ops_[idx(op)];
  const uint64_t nth = c.calls.fetch_add(1) + 1;
  const uint64_t from = c.fail_from.load();
  if (from != 0 && nth >= from && nth <= c.fail_until.load()) {
    const auto kind = static_cast<zv::IoErrorKind>(c.kind.load());
    if (kind == zv::IoErrorKind::kOther) return zv::make_unexpected(zv::IoError::from_errno(EIO));
    return zv::make_unexpected(zv::IoError(kind, "injected failure"));
  }
  return {};
}

zv::IoResult<std::unique_ptr<JournalFile>> FaultyJournalFs::create_new(const std::string& path) {
  ZV_TRY(check(JournalFsOp::kCreate));
  ZV_ASSIGN_OR_RETURN(auto f, JournalFs::os().create_new(path));
  return std::unique_ptr<JournalFile>(std::make_unique<FaultyFile>(this, std::move(f)));
}

zv::IoResult<std::unique_ptr<JournalFile>> FaultyJournalFs::open_existing(const std::string& path) {
  ZV_TRY(check(JournalFsOp::kOpen));
  ZV_ASSIGN_OR_RETURN(auto f, JournalFs::os().open_existing(path));
  return std::unique_ptr<JournalFile>(std::make_unique<FaultyFile>(this, std::move(f)));
}

zv::IoStatus FaultyJournalFs::remove_file(const std::string& path) {
  ZV_TRY(check(JournalFsOp::kRemove));
  return JournalFs::os().remove_file(path);
}

zv::IoStatus FaultyJournalFs::sync_dir(const std::string& path) {
  ZV_TRY(check(JournalFsOp::kSyncDir));
  return JournalFs::os().sync_dir(path);
}

}  // namespace morva::testing
