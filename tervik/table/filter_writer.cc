#include "tervik/table/filter_writer.h"

#include <chrono>
#include <cmath>
#include <limits>

#include "platform/log.h"
#include "tervik/block/block.h"
#include "tervik/block/bloom_filter.h"

namespace tervik {

namespace {

constexpr const char* kFullTarget = "tervik::table::writer::filter::full";
constexpr const char* kPartitionedTarget = "tervik::table::writer::filter::partitioned";
// The f32 nearest to -(ln 2)^2.
constexpr float kNegLn2Squared = -0.4804530143737793f;

bool trace_enabled() { return zv::log::enabled(zv::log::Level::kTrace); }

uint64_t saturating_u64(float v) {
  if (std::isnan(v) || v <= 0.0f) return 0;
  if (v >= 18446744073709551616.0f) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(v);
}

// Builds the filter of `hashes` and appends its payload; false when the policy
// gives no filter for them.
TervikResult<bool> build_payload(const FilterPolicyEntry& policy, const std::vector<uint64_t>& hashes,
                                 std::string* payload) {
  ZV_ASSIGN_OR_RETURN(std::optional<BloomFilter> filter, BloomFilter::with_policy(policy, hashes.size()));
  if (!filter) return false;
  for (uint64_t h : hashes) filter->set_with_hash(h);
  filter->encode_into(payload);
  return true;
}

}  // namespace

TervikStatus FullFilterWriter::register_key(const UserKey& key) {
  hashes_.push_back(BloomFilter::key_hash(key.view()));
  return {};
}

TervikResult<uint64_t> FullFilterWriter::finish(TableOutput& out) {
  if (hashes_.empty()) {
    ZV_LOG(zv::log::Level::kTrace, kFullTarget, "Filter writer has no buffered hashes - not building filter");
    return uint64_t{0};
  }
  const auto started = std::chrono::steady_clock::now();
  std::string payload;
  ZV_ASSIGN_OR_RETURN(const bool built, build_payload(policy_, hashes_, &payload));
  // A policy without a filter for these keys writes no section at all.
  if (!built) return uint64_t{0};
  ZV_TRY(out.start_section(kSectionFilter));
  if (trace_enabled()) {
    zv::log::emit(zv::log::Level::kTrace, kFullTarget,
                  "Constructing Bloom filter with " + std::to_string(hashes_.size()) +
                      " entries: " + policy_.debug_string(),
                  {});
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    zv::log::emit(zv::log::Level::kTrace, kFullTarget,
                  "Built Bloom filter (" + std::to_string(payload.size()) + "B) in " +
                      std::to_string(us) + "us",
                  {});
  }
  ZV_TRY(Block::write_into(out.writer(), payload, BlockType::kFilter, CompressionType::kNone));
  return uint64_t{1};
}

uint64_t PartitionedFilterWriter::estimate_bytes(const FilterPolicyEntry& policy, uint64_t n) {
  uint64_t bits = 0;
  switch (policy.kind) {
    case FilterPolicyKind::kFalsePositiveRate: {
      const float m = std::ceil(std::log(policy.value) * static_cast<float>(n) / kNegLn2Squared * 0.125f) * 8.0f;
      const uint64_t q = n == 0 ? 0 : saturating_u64(m) / n;
      bits = saturating_u64(static_cast<float>(n) * static_cast<float>(q));
      break;
    }
    case FilterPolicyKind::kBitsPerKey:
      bits = saturating_u64(policy.value * static_cast<float>(n));
      break;
    case FilterPolicyKind::kNone:
      bits = 0;
      break;
  }
  return bits >> 3;
}

TervikStatus PartitionedFilterWriter::register_key(const UserKey& key) {
  hashes_.push_back(BloomFilter::key_hash(key.view()));
  size_estimate_ = estimate_bytes(policy_, hashes_.size());
  last_key_ = key;
  if (size_estimate_ >= partition_size_) ZV_TRY(cut_partition(key));
  return {};
}

TervikStatus PartitionedFilterWriter::cut_partition(const UserKey& end_key) {
  std::string payload;
  ZV_ASSIGN_OR_RETURN(const bool built, build_payload(policy_, hashes_, &payload));
  hashes_.clear();
  size_estimate_ = 0;
  if (!built) {
    // The policy gives no filter for any partition: the table gets none.
    no_filter_ = true;
    return {};
  }
  ZV_ASSIGN_OR_RETURN(const BlockHeader header,
                      Block::write_into(&partitions_, payload, BlockType::kFilter, CompressionType::kNone));
  const uint64_t size = kBlockHeaderSize + uint64_t{header.data_length};
  top_level_.push_back(IndexBlockEntry{end_key, 0, BlockHandle{relative_offset_, static_cast<uint32_t>(size)}});
  if (trace_enabled()) {
    zv::log::emit(zv::log::Level::kTrace, kPartitionedTarget,
                  "Built Bloom filter partition (" + std::to_string(payload.size()) +
                      "B) with end_key=" + end_key.debug_string() + " at +" +
                      std::to_string(relative_offset_),
                  {});
  }
  relative_offset_ += size;
  return {};
}

TervikResult<uint64_t> PartitionedFilterWriter::finish(TableOutput& out) {
  if (!last_key_) {
    ZV_LOG(zv::log::Level::kTrace, kPartitionedTarget,
           "Filter writer has not seen any writes - not building filter");
    return uint64_t{0};
  }
  if (!hashes_.empty() && !no_filter_) ZV_TRY(cut_partition(*last_key_));
  if (no_filter_ || top_level_.empty()) return uint64_t{0};

  ZV_ASSIGN_OR_RETURN(const uint64_t section_start, out.position());
  ZV_TRY(out.start_section(kSectionFilter));
  ZV_TRY(out.writer().write_all(partitions_));
  ZV_LOG(zv::log::Level::kTrace, kPartitionedTarget, "Concatted filter partitions onto blocks file");

  ZV_TRY(out.start_section(kSectionFilterTli));
  for (auto& e : top_level_) e.handle.offset += section_start;
  std::string payload;
  ZV_TRY(IndexBlock::encode_into(&payload, top_level_));
  ZV_ASSIGN_OR_RETURN(const BlockHeader header,
                      Block::write_into(out.writer(), payload, BlockType::kIndex, compression_));
  if (trace_enabled()) {
    zv::log::emit(zv::log::Level::kTrace, kPartitionedTarget,
                  "Written filter top level index, with " + std::to_string(top_level_.size()) +
                      " pointers (" + std::to_string(kBlockHeaderSize + header.data_length) +
                      " bytes) at " + std::to_string(section_start),
                  {});
  }
  return uint64_t{top_level_.size()};
}

}  // namespace tervik
