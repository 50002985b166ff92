// The FIFO compaction strategy: tables stay in level 0 and are only dropped
// whole, first those older than a time-to-live, then the oldest while the
// level-0 tables and blob files together exceed a size limit. Immutable but
// for its clock (which must be callable from any thread); safe to share.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "tervik/compaction/strategy.h"

namespace tervik::compaction {

inline constexpr const char* kFatalFifoHidden = "FIFO compaction never compacts";

class Fifo final : public CompactionStrategy {
 public:
  static constexpr std::string_view kName = "FifoCompaction";
  static constexpr std::string_view kKeyLimit = "fifo_limit";
  static constexpr std::string_view kKeyTtl = "fifo_ttl";
  static constexpr std::string_view kKeyTtlSeconds = "fifo_ttl_seconds";

  // Nanoseconds since the Unix epoch, as table creation times count them.
  using Clock = std::function<unsigned __int128()>;
  // The wall clock; a clock before 1970 is the fatal error "time went backwards".
  static unsigned __int128 system_clock();

  // `ttl_seconds` absent or 0: tables never expire.
  Fifo(uint64_t limit, std::optional<uint64_t> ttl_seconds, Clock clock = system_clock)
      : limit_(limit), ttl_(ttl_seconds), clock_(std::move(clock)) {}

  uint64_t limit() const { return limit_; }
  const std::optional<uint64_t>& ttl() const { return ttl_; }

  std::string_view name() const override { return kName; }
  std::vector<ConfigEntry> config() const override;
  // Drop of level-0 tables or DoNothing. Level 0 may hold several runs (keys
  // flushed out of order): their tables are taken run after run. A hidden
  // level-0 table is a fatal error, as nothing else merges a FIFO tree.
  Choice choose(const Version& version, const TreeConfig& config,
                const HiddenTableSet& hidden) const override;

 private:
  uint64_t limit_;
  std::optional<uint64_t> ttl_;
  Clock clock_;
};

}  // namespace tervik::compaction
