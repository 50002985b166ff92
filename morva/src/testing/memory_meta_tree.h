// An in-memory meta keyspace tree for tests: a sorted map, each ingestion
// recorded as one batch, failures injectable per operation. Not thread-safe.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "morva/src/meta_tree.h"

namespace morva::testing {

class MemoryMetaTree final : public MetaTree {
 public:
  tervik::TervikResult<std::optional<std::string>> get(std::string_view key, tervik::SeqNo) const override {
    ++reads;
    if (fail_reads) return zv::make_unexpected(*fail_reads);
    auto it = entries.find(std::string(key));
    if (it == entries.end()) return std::optional<std::string>();
    return std::optional<std::string>(it->second);
  }

  tervik::TervikStatus scan_prefix(std::string_view prefix, tervik::SeqNo, const Visitor& visit) const override {
    ++scans;
    if (fail_reads) return zv::make_unexpected(*fail_reads);
    for (auto it = entries.lower_bound(std::string(prefix));
         it != entries.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
      visit(it->first, it->second);
    return {};
  }

  tervik::TervikStatus ingest(const std::vector<MetaEntry>& sorted) override {
    if (fail_ingest) return zv::make_unexpected(*fail_ingest);
    for (const MetaEntry& e : sorted) entries[e.key] = e.value;
    ingested.push_back(sorted);
    return {};
  }

  tervik::TervikStatus compact(tervik::compaction::StrategyHandle strategy, tervik::SeqNo watermark) override {
    compactions.push_back({std::move(strategy), watermark});
    if (fail_compact) return zv::make_unexpected(*fail_compact);
    return {};
  }

  struct Compaction {
    tervik::compaction::StrategyHandle strategy;
    tervik::SeqNo watermark;
  };

  std::map<std::string, std::string> entries;
  std::vector<std::vector<MetaEntry>> ingested;
  std::vector<Compaction> compactions;
  std::optional<tervik::TervikError> fail_reads, fail_ingest, fail_compact;
  mutable size_t reads = 0;
  mutable size_t scans = 0;
};

}  // namespace morva::testing
