// The audit log: an append-only file of JSON lines, one per audited
// operation, rotated by size into P.1 (newest) .. P.max_files (oldest). One
// mutex serialises appends, so lines never interleave and a rotation never
// splits one. A failure of the log never fails the audited operation:
// record_audit only warns. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/file.h"
#include "src/foundation/error.h"
#include "src/runtime/config.h"
#include "src/sdk/audit_record.h"

namespace zv {

class AuditLog {
 public:
  // Opens a path for appending, creating the file when missing. Replaceable
  // so that tests can make the open after a rotation fail.
  using Opener = std::function<IoResult<File>(const std::string& path)>;
  static IoResult<File> open_for_append(const std::string& path);

  // Creates the missing parent directories and opens the file; a max_bytes
  // or max_files of 0 counts as 1.
  static ZolvaResult<std::shared_ptr<AuditLog>> open(const std::string& path, uint64_t max_bytes,
                                                     uint32_t max_files,
                                                     Opener opener = open_for_append);

  // Appends one line, rotating first when the file has reached max_bytes.
  // Io for a failed rotation or write (the line is then not written).
  ZolvaStatus append(const AuditRecord& record);

  const std::string& path() const { return path_; }
  uint64_t max_bytes() const { return max_bytes_; }
  uint32_t max_files() const { return max_files_; }

 private:
  AuditLog(std::string path, File file, uint64_t max_bytes, uint32_t max_files, Opener opener);
  ZolvaStatus rotate_locked();

  const std::string path_;
  const uint64_t max_bytes_;
  const uint32_t max_files_;
  const Opener opener_;
  std::mutex mu_;
  File file_;  // guarded by mu_
  std::string line_;  // guarded by mu_; reused so an append allocates nothing
};

// The log of a configuration: none when no path is set or the log cannot be
// opened (then a warning "audit log disabled: could not open
// audit_log_path" with the path and the error).
std::shared_ptr<AuditLog> open_configured_audit_log(const Config& config);

// Appends the record when there is a log; a failure emits the warning "audit
// record failed" (fields op and error) and is dropped.
void record_audit(AuditLog* log, const AuditRecord& record);

}  // namespace zv
