#include "src/text/text_keys.h"

#include "platform/log.h"
#include "platform/utf8.h"
#include "src/text/text_tokenizer.h"

namespace zv::text {

namespace {

constexpr std::string_view kLogTarget = "zolva::text_index";

// Namespace, 0x00, token, 0x00, then the record key (empty for a prefix).
std::string posting_bytes(std::string_view ns, std::string_view token, std::string_view key) {
  std::string out;
  out.reserve(ns.size() + token.size() + key.size() + 2);
  out.append(ns);
  out.push_back('\0');
  out.append(token);
  out.push_back('\0');
  out.append(key);
  return out;
}

// Raw key bytes for a warning: lower-case hex.
std::string hex_bytes(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// Checks one key part; a bad one emits the warning with the UTF-8 error and
// the raw bytes.
bool utf8_part_ok(std::string_view part, std::string_view warning) {
  auto fault = find_utf8_fault(part);
  if (!fault) return true;
  ZV_WARN(kLogTarget, warning,
          {"e", "invalid utf-8 sequence at index " + std::to_string(fault->valid_up_to)},
          {"raw", hex_bytes(part)});
  return false;
}

}  // namespace

std::string posting_key(std::string_view ns, std::string_view token, std::string_view record_key) {
  return posting_bytes(ns, token, record_key);
}

std::string posting_prefix(std::string_view ns, std::string_view token) {
  return posting_bytes(ns, token, {});
}

std::string doc_stats_key(std::string_view ns, std::string_view record_key) {
  std::string out;
  out.reserve(kDocStatsPrefix.size() + ns.size() + 1 + record_key.size());
  out.append(kDocStatsPrefix);
  out.append(ns);
  out.push_back('\0');
  out.append(record_key);
  return out;
}

std::string term_stats_key(std::string_view ns, std::string_view token) {
  std::string out;
  out.reserve(kTermStatsPrefix.size() + ns.size() + 1 + token.size());
  out.append(kTermStatsPrefix);
  out.append(ns);
  out.push_back('\0');
  out.append(token);
  return out;
}

std::string namespace_stats_key(std::string_view ns) {
  std::string out;
  out.reserve(kNamespaceStatsPrefix.size() + ns.size());
  out.append(kNamespaceStatsPrefix);
  out.append(ns);
  return out;
}

std::optional<std::pair<std::string, std::string>> parse_term_stats_key(std::string_view key) {
  if (key.size() <= kTermStatsPrefix.size() || !starts_with(key, kTermStatsPrefix)) {
    return std::nullopt;
  }
  const std::string_view rest = key.substr(kTermStatsPrefix.size());
  const size_t sep = rest.find('\0');
  if (sep == std::string_view::npos) return std::nullopt;
  const std::string_view ns = rest.substr(0, sep);
  const std::string_view token = rest.substr(sep + 1);
  if (!utf8_part_ok(ns, "Invalid UTF-8 namespace in term stats key")) return std::nullopt;
  if (!utf8_part_ok(token, "Invalid UTF-8 token in term stats key")) return std::nullopt;
  return std::pair<std::string, std::string>(std::string(ns), std::string(token));
}

std::optional<std::string> parse_namespace_stats_key(std::string_view key) {
  if (!starts_with(key, kNamespaceStatsPrefix)) {
    return std::nullopt;
  }
  const std::string_view ns = key.substr(kNamespaceStatsPrefix.size());
  if (!utf8_part_ok(ns, "Invalid UTF-8 in namespace stats key")) return std::nullopt;
  return std::string(ns);
}

bool key_in_namespace(std::string_view key, std::string_view ns) {
  auto begins_with_ns_sep = [&](std::string_view rest) {
    return rest.size() > ns.size() && starts_with(rest, ns) && rest[ns.size()] == '\0';
  };
  if (!starts_with(key, kStatsMarker)) return begins_with_ns_sep(key);
  if (starts_with(key, kTermStatsPrefix)) return begins_with_ns_sep(key.substr(kTermStatsPrefix.size()));
  if (starts_with(key, kDocStatsPrefix)) return begins_with_ns_sep(key.substr(kDocStatsPrefix.size()));
  return starts_with(key, kNamespaceStatsPrefix) && key.substr(kNamespaceStatsPrefix.size()) == ns;
}

std::vector<BatchOp> posting_delete_ops(std::string_view ns, std::string_view record_key,
                                        std::string_view payload) {
  std::vector<BatchOp> ops;
  for (const auto& token : distinct_tokens(payload)) {
    if (!token_fits(ns, token, record_key)) continue;
    ops.push_back(BatchOp::del(Partition::kTextIndex, posting_key(ns, token, record_key)));
  }
  return ops;
}

}  // namespace zv::text
