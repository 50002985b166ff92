#include "tervik/compaction/fifo.h"

#include <algorithm>

#include "platform/coding.h"
#include "platform/panic.h"
#include "tervik/core/unix_time.h"

namespace tervik::compaction {

namespace {

constexpr unsigned __int128 kNanosPerSecond = 1'000'000'000;

struct Candidate {
  const Table* table;
  unsigned __int128 created_at;
};

// File size plus the blob bytes the table references (0 when unreadable).
uint64_t table_bytes(const Table& t) {
  auto linked = t.linked_blob_bytes();
  return table_file_size(t) + (linked.ok() ? *linked : 0);
}

}  // namespace

unsigned __int128 Fifo::system_clock() {
  const time::UnixTimestamp now = time::unix_timestamp();
  return static_cast<unsigned __int128>(now.secs) * kNanosPerSecond + now.nanos;
}

std::vector<ConfigEntry> Fifo::config() const {
  std::vector<ConfigEntry> entries;
  entries.emplace_back(std::string(kKeyLimit), zv::coding::u64_le_bytes(limit_));
  entries.emplace_back(std::string(kKeyTtl), std::string(1, ttl_ ? '\x01' : '\x00'));
  entries.emplace_back(std::string(kKeyTtlSeconds), zv::coding::u64_le_bytes(ttl_.value_or(0)));
  return entries;
}

Choice Fifo::choose(const Version& version, const TreeConfig& /*config*/,
                    const HiddenTableSet& hidden) const {
  const Level& l0 = version.l0();
  if (l0.empty()) return DoNothing{};

  std::vector<Candidate> tables;
  tables.reserve(l0.table_count());
  uint64_t total = 0;
  for (const RunHandle& run : l0.runs()) {
    for (const Table& t : run->tables()) {
      ZV_CHECK(hidden.empty() || !hidden.contains(table_id(t)), kFatalFifoHidden);
      tables.push_back({&t, t.meta().created_at});
      total += table_file_size(t);
    }
  }
  for (const auto& [id, blob] : version.blob_files()) total += blob->meta().file_size;

  std::vector<uint64_t> dropped;
  std::vector<Candidate> kept;
  kept.reserve(tables.size());
  uint64_t expired_bytes = 0;
  if (ttl_ && *ttl_ != 0) {
    const unsigned __int128 now = clock_();
    const unsigned __int128 ttl = static_cast<unsigned __int128>(*ttl_) * kNanosPerSecond;
    const unsigned __int128 cutoff = now > ttl ? now - ttl : 0;
    for (const Candidate& c : tables) {
      if (c.created_at <= cutoff) {
        dropped.push_back(table_id(*c.table));
        expired_bytes += table_bytes(*c.table);
      } else {
        kept.push_back(c);
      }
    }
  } else {
    kept = std::move(tables);
  }

  const uint64_t remaining = total > expired_bytes ? total - expired_bytes : 0;
  if (remaining > limit_) {
    const uint64_t excess = remaining - limit_;
    std::stable_sort(kept.begin(), kept.end(), [](const Candidate& a, const Candidate& b) {
      return a.created_at < b.created_at;
    });
    uint64_t freed = 0;
    for (size_t i = 0; i < kept.size() && freed < excess; ++i) {
      dropped.push_back(table_id(*kept[i].table));
      freed += table_bytes(*kept[i].table);
    }
  }
  if (dropped.empty()) return DoNothing{};
  return Drop{make_id_set(std::move(dropped))};
}

}  // namespace tervik::compaction
