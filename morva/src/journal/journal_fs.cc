#include "morva/src/journal/journal_fs.h"

#include "platform/file.h"
#include "platform/fs.h"

namespace morva {
namespace {

class OsJournalFile final : public JournalFile {
 public:
  explicit OsJournalFile(zv::File f) : file_(std::move(f)) {}
  zv::IoResult<size_t> read_at(void* buf, size_t n, uint64_t offset) override {
    return file_.read_at(buf, n, offset);
  }
  zv::IoStatus write_at(const void* buf, size_t n, uint64_t offset) override {
    return file_.write_all_at(buf, n, offset);
  }
  zv::IoStatus set_len(uint64_t len) override { return file_.set_len(len); }
  zv::IoStatus sync_all() override { return file_.sync_all(); }
  zv::IoStatus sync_data() override { return file_.sync_data(); }
  zv::IoResult<uint64_t> size() override { return file_.size(); }

 private:
  zv::File file_;
};

class OsJournalFs final : public JournalFs {
 public:
  zv::IoResult<std::unique_ptr<JournalFile>> create_new(const std::string& path) override {
    zv::OpenOptions o;
    o.read = true;
    o.write = true;
    o.create_new = true;
    ZV_ASSIGN_OR_RETURN(zv::File f, zv::File::open(path, o));
    return std::unique_ptr<JournalFile>(std::make_unique<OsJournalFile>(std::move(f)));
  }
  zv::IoResult<std::unique_ptr<JournalFile>> open_existing(const std::string& path) override {
    ZV_ASSIGN_OR_RETURN(zv::File f, zv::File::open_read_write(path));
    return std::unique_ptr<JournalFile>(std::make_unique<OsJournalFile>(std::move(f)));
  }
  zv::IoStatus remove_file(const std::string& path) override { return zv::fs::remove_file(path); }
  zv::IoStatus sync_dir(const std::string& path) override { return zv::fs::sync_dir(path); }
};

}  // namespace

JournalFs& JournalFs::os() {
  static OsJournalFs fs;
  return fs;
}

}  // namespace morva
