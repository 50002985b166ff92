#include "src/sdk/audit_log.h"

#include "platform/fs.h"
#include "platform/log.h"

namespace zv {

namespace {

constexpr std::string_view kLogTarget = "zolva::sdk::audit";

std::string numbered(const std::string& path, uint32_t n) { return path + "." + std::to_string(n); }

ZolvaError io(IoError e) { return ZolvaError::io(std::move(e)); }

}  // namespace

IoResult<File> AuditLog::open_for_append(const std::string& path) {
  OpenOptions o;
  o.read = false;
  o.write = true;
  o.append = true;
  o.create = true;
  return File::open(path, o);
}

AuditLog::AuditLog(std::string path, File file, uint64_t max_bytes, uint32_t max_files,
                   Opener opener)
    : path_(std::move(path)),
      max_bytes_(max_bytes == 0 ? 1 : max_bytes),
      max_files_(max_files == 0 ? 1 : max_files),
      opener_(std::move(opener)),
      file_(std::move(file)) {}

ZolvaResult<std::shared_ptr<AuditLog>> AuditLog::open(const std::string& path, uint64_t max_bytes,
                                                      uint32_t max_files, Opener opener) {
  const std::string dir = fs::parent(path);
  if (!dir.empty()) {
    auto made = fs::create_dir_all(dir);
    if (!made.ok()) return make_unexpected(io(std::move(made).error()));
  }
  auto file = opener(path);
  if (!file.ok()) return make_unexpected(io(std::move(file).error()));
  return std::shared_ptr<AuditLog>(
      new AuditLog(path, std::move(file).value(), max_bytes, max_files, std::move(opener)));
}

// Shifts the numbered files up and starts a new P. When P is missing (an
// earlier rotation renamed it and then could not open the new one), nothing
// is deleted or renamed: shifting again would push the history out one file
// per append until all of it, the file the writer still holds included, was
// gone. Any failure keeps the old writer.
ZolvaStatus AuditLog::rotate_locked() {
  if (fs::exists(path_)) {
    const std::string oldest = numbered(path_, max_files_);
    if (fs::exists(oldest)) {
      auto removed = fs::remove_file(oldest);
      if (!removed.ok()) return make_unexpected(io(std::move(removed).error()));
    }
    for (uint32_t n = max_files_; n >= 2; --n) {
      const std::string from = numbered(path_, n - 1);
      if (!fs::exists(from)) continue;
      auto moved = fs::rename(from, numbered(path_, n));
      if (!moved.ok()) return make_unexpected(io(std::move(moved).error()));
    }
    auto moved = fs::rename(path_, numbered(path_, 1));
    if (!moved.ok()) return make_unexpected(io(std::move(moved).error()));
  }
  auto fresh = opener_(path_);
  if (!fresh.ok()) return make_unexpected(io(std::move(fresh).error()));
  file_ = std::move(fresh).value();
  return {};
}

ZolvaStatus AuditLog::append(const AuditRecord& record) {
  std::lock_guard lock(mu_);
  // A failed length query writes without rotating.
  auto len = file_.size();
  if (len.ok() && *len >= max_bytes_) ZV_TRY(rotate_locked());
  line_.clear();
  record.append_json(&line_);
  line_.push_back('\n');
  auto written = file_.write_all(line_);
  // One very long line should not pin its buffer for the life of the log.
  if (line_.capacity() > (size_t{1} << 16)) std::string().swap(line_);
  if (!written.ok()) return make_unexpected(io(std::move(written).error()));
  return {};
}

std::shared_ptr<AuditLog> open_configured_audit_log(const Config& config) {
  if (!config.audit_log_path) return nullptr;
  auto log = AuditLog::open(*config.audit_log_path, config.audit_max_bytes,
                            config.audit_max_files);
  if (!log.ok()) {
    ZV_WARN(kLogTarget, "audit log disabled: could not open audit_log_path",
            {"path", *config.audit_log_path}, {"error", log.error().message()});
    return nullptr;
  }
  return std::move(log).value();
}

void record_audit(AuditLog* log, const AuditRecord& record) {
  if (log == nullptr) return;
  auto r = log->append(record);
  if (!r.ok()) {
    ZV_WARN(kLogTarget, "audit record failed", {"op", record.op}, {"error", r.error().message()});
  }
}

}  // namespace zv
