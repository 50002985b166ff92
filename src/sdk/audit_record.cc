#include "src/sdk/audit_record.h"

#include <array>

#include "platform/clock.h"
#include "platform/utf8.h"
#include "src/record/datetime.h"

namespace zv {

namespace {
constexpr const char* kEpochText = "1970-01-01T00:00:00Z";
constexpr uint64_t kMaxFourDigitYearSeconds = 253402300799;  // 9999-12-31T23:59:59Z
}  // namespace

namespace audit {

std::string rfc3339_seconds(uint64_t unix_seconds) {
  if (unix_seconds > kMaxFourDigitYearSeconds) return kEpochText;
  std::optional<DateTime> t = DateTime::from_unix(static_cast<int64_t>(unix_seconds), 0);
  if (!t) return kEpochText;
  // Without a fraction the "Z" form is exactly the 20-character one.
  return format_datetime_z(*t);
}

std::string now_rfc3339() { return rfc3339_seconds(now_ms() / 1000); }

}  // namespace audit

AuditRecord AuditRecord::create(std::string_view op, std::string_view ns, std::string_view key,
                                std::string_view outcome, std::optional<std::string> reason) {
  AuditRecord r;
  r.timestamp = audit::now_rfc3339();
  r.op = std::string(op);
  r.ns = std::string(ns);
  r.key = std::string(key);
  r.outcome = std::string(outcome);
  r.reason = std::move(reason);
  return r;
}

namespace {

// Appends a JSON string: quotation mark, reverse solidus and control
// characters escaped, everything else as UTF-8 (a byte that is not UTF-8
// becomes U+FFFD). Written by hand: a line is built on every audited write.
// Which bytes go out unchanged: not a control character, quotation mark or
// reverse solidus, and (when the text is not valid UTF-8) below 0x80.
constexpr std::array<bool, 256> plain_bytes(bool high_plain) {
  std::array<bool, 256> t{};
  for (int b = 0x20; b < 256; ++b) t[b] = b != '"' && b != '\\' && (b < 0x80 || high_plain);
  return t;
}
constexpr std::array<bool, 256> kPlainInValid = plain_bytes(true);
constexpr std::array<bool, 256> kPlainInInvalid = plain_bytes(false);

void append_json_string(std::string* out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  const bool valid = is_valid_utf8(s);
  size_t i = 0;
  while (i < s.size()) {
    // Bytes that need no escaping go out as one run rather than one by one.
    const bool* plain = valid ? kPlainInValid.data() : kPlainInInvalid.data();
    size_t run = i;
    while (run < s.size() && plain[static_cast<unsigned char>(s[run])]) ++run;
    if (run > i) {
      out->append(s.data() + i, run - i);
      i = run;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80 && !valid) {
      const Utf8Char ch = decode_utf8_at(s, i);
      append_utf8(out, ch.cp);
      i += ch.len;
      continue;
    }
    ++i;
    switch (c) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\b': out->append("\\b"); break;
      case '\f': out->append("\\f"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default:
        if (c < 0x20) {
          out->append("\\u00");
          out->push_back(kHex[c >> 4]);
          out->push_back(kHex[c & 15]);
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}

}  // namespace

std::string AuditRecord::to_json() const {
  std::string out;
  append_json(&out);
  return out;
}

void AuditRecord::append_json(std::string* line) const {
  std::string& out = *line;
  out.reserve(out.size() + 96 + timestamp.size() + op.size() + ns.size() + key.size() +
              outcome.size() + (reason ? reason->size() : 0) +
              (request_id ? request_id->size() : 0));
  out.append("{\"timestamp\":");
  append_json_string(&out, timestamp);
  out.append(",\"op\":");
  append_json_string(&out, op);
  out.append(",\"namespace\":");
  append_json_string(&out, ns);
  out.append(",\"key\":");
  append_json_string(&out, key);
  out.append(",\"outcome\":");
  append_json_string(&out, outcome);
  out.append(",\"reason\":");
  if (reason) {
    append_json_string(&out, *reason);
  } else {
    out.append("null");
  }
  if (request_id) {
    out.append(",\"request_id\":");
    append_json_string(&out, *request_id);
  }
  out.push_back('}');
}

}  // namespace zv
