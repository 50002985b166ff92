// Test helpers: raw journal bytes built entry by entry (batches with correct
// or chosen checksums), and whole-file reads and writes. Test-only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "morva/src/journal/entry.h"
#include "platform/fs.h"

namespace morva::testing {

struct RawItem {
  uint64_t keyspace_id = 0;
  std::string key;
  std::string value;
  tervik::ValueType value_type = tervik::ValueType::kValue;
  bool compress = false;
};

inline std::string raw_item(const RawItem& it) {
  std::string out, scratch;
  (void)encode_journal_item(&out, it.keyspace_id, it.key, it.value, it.value_type, it.compress,
                            &scratch);
  return out;
}

// Start (announcing `count`, or the number of items when negative), the
// items, and an End over their bytes (plus `checksum_delta`).
inline std::string raw_batch(uint64_t seqno, const std::vector<RawItem>& items,
                             int64_t count = -1, uint64_t checksum_delta = 0) {
  std::string out, body;
  for (const RawItem& it : items) body += raw_item(it);
  encode_journal_start(&out, static_cast<uint32_t>(count < 0 ? items.size() : count), seqno);
  out += body;
  encode_journal_end(&out, zv::xxh3_64(body.data(), body.size()) + checksum_delta);
  return out;
}

inline std::string read_all(const std::string& path) {
  auto r = zv::fs::read_file(path);
  return r.ok() ? std::move(r).value() : std::string("<unreadable>");
}

inline void write_all(const std::string& path, std::string_view bytes) {
  (void)zv::fs::write_file(path, bytes);
}

}  // namespace morva::testing
