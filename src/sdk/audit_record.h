// One line of the audit log: what was done (op), to which namespace and key,
// with which outcome and why, and when; and the current time in the log's
// whole-second RFC 3339 form. Plain value; the functions are pure apart from
// the clock.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zv {

struct AuditRecord {
  std::string timestamp;  // "1970-01-01T00:00:00Z"
  std::string op;
  std::string ns;   // the namespace, or "N/A"
  std::string key;  // or "N/A"
  std::string outcome;  // "ok" or "err"
  std::optional<std::string> reason;
  std::optional<std::string> request_id;  // no operation sets it

  // Stamped now, without request id.
  static AuditRecord create(std::string_view op, std::string_view ns, std::string_view key,
                            std::string_view outcome, std::optional<std::string> reason);

  // The compact JSON object: timestamp, op, namespace, key, outcome, reason
  // (null when absent), request_id only when present; no line feed.
  std::string to_json() const;
  // The same line appended to `out`, so a writer can reuse one buffer.
  void append_json(std::string* out) const;
};

namespace audit {
// The current UTC time with whole seconds and "Z", 20 characters; the epoch
// text when the clock reads before 1970 or past year 9999.
std::string now_rfc3339();
// The same for a given count of seconds since the epoch.
std::string rfc3339_seconds(uint64_t unix_seconds);
}  // namespace audit

}  // namespace zv
