#include "morva/src/keyspace_options.h"

#include <cstring>

#include "platform/coding.h"
#include "platform/file.h"
#include "platform/log.h"
#include "tervik/compaction/leveled.h"
#include "tervik/core/tag_parse.h"

namespace morva {
namespace {

constexpr const char* kLogTarget = "morva::keyspace_options";

zv::IoError short_value() {
  return zv::IoError(zv::IoErrorKind::kUnexpectedEof, zv::kShortReadMessage);
}

// Stored options that this system never writes: logged, and the open fails.
MorvaError damaged(const std::string& message) {
  ZV_ERROR(kLogTarget, message);
  return MorvaError::unrecoverable();
}

template <class T>
std::string encode_bytes_of(const std::vector<T>& entries) {
  std::string out;
  zv::coding::put_u8(&out, static_cast<uint8_t>(entries.size()));
  for (const T& e : entries) zv::coding::put_u8(&out, static_cast<uint8_t>(e));
  return out;
}

// The count byte; a count of 0 is damage.
MorvaResult<size_t> read_count(std::string_view bytes) {
  if (bytes.empty()) return zv::make_unexpected(MorvaError(short_value()));
  const auto n = static_cast<uint8_t>(bytes[0]);
  if (n == 0) return zv::make_unexpected(damaged("compression policy may not be empty"));
  return static_cast<size_t>(n);
}

template <class T>
MorvaResult<std::vector<T>> decode_words(std::string_view bytes) {
  ZV_ASSIGN_OR_RETURN(size_t n, read_count(bytes));
  if (bytes.size() < 1 + 4 * n) return zv::make_unexpected(MorvaError(short_value()));
  std::vector<T> out(n);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t w = zv::coding::get_u32_le(bytes.data() + 1 + 4 * i);
    std::memcpy(&out[i], &w, sizeof(w));
  }
  return out;
}

}  // namespace

KeyspaceCreateOptions KeyspaceCreateOptions::defaults() {
  KeyspaceCreateOptions o;
  o.compaction_strategy = std::make_shared<tervik::compaction::Leveled>();
  return o;
}

tervik::TreeConfig KeyspaceCreateOptions::apply_to_tree_config(tervik::TreeConfig config) const {
  tervik::TreeConfig c = std::move(config)
                             .with_data_block_size_policy(data_block_size_policy)
                             .with_data_block_compression_policy(data_block_compression_policy)
                             .with_index_block_compression_policy(index_block_compression_policy)
                             .with_data_block_restart_interval_policy(data_block_restart_interval_policy)
                             .with_data_block_hash_ratio_policy(data_block_hash_ratio_policy)
                             .with_filter_policy(filter_policy);
  c.filter_block_pinning_policy = filter_block_pinning_policy;
  c.index_block_pinning_policy = index_block_pinning_policy;
  c.kv_separation_opts = kv_separation;
  c.expect_point_read_hits = expect_point_read_hits;
  c.index_block_partitioning_policy = index_block_partitioning_policy;
  c.filter_block_partitioning_policy = filter_block_partitioning_policy;
  return c;
}

std::string encode_word_policy(const std::vector<float>& entries) {
  std::string out;
  zv::coding::put_u8(&out, static_cast<uint8_t>(entries.size()));
  for (float f : entries) zv::coding::put_f32_le(&out, f);
  return out;
}

std::string encode_word_policy(const tervik::BlockSizePolicy& p) {
  std::string out;
  zv::coding::put_u8(&out, static_cast<uint8_t>(p.entries().size()));
  for (uint32_t v : p.entries()) zv::coding::put_u32_le(&out, v);
  return out;
}

std::string encode_word_policy(const tervik::HashRatioPolicy& p) { return encode_word_policy(p.entries()); }
std::string encode_byte_policy(const tervik::RestartIntervalPolicy& p) { return encode_bytes_of(p.entries()); }
std::string encode_byte_policy(const tervik::CompressionPolicy& p) { return encode_bytes_of(p.entries()); }
std::string encode_byte_policy(const tervik::PinningPolicy& p) { return encode_bytes_of(p.entries()); }

std::string encode_filter_policy(const tervik::FilterPolicy& p) {
  std::string out;
  zv::coding::put_u8(&out, static_cast<uint8_t>(p.entries().size()));
  for (const tervik::FilterPolicyEntry& e : p.entries()) {
    if (e.kind == tervik::FilterPolicyKind::kNone) {
      zv::coding::put_u8(&out, 0);
      continue;
    }
    zv::coding::put_u8(&out, 1);
    zv::coding::put_u8(&out, e.kind == tervik::FilterPolicyKind::kBitsPerKey ? 0 : 1);
    zv::coding::put_f32_le(&out, e.value);
  }
  return out;
}

std::string encode_byte(uint8_t v) { return std::string(1, static_cast<char>(v)); }

MorvaResult<tervik::BlockSizePolicy> decode_block_size_policy(std::string_view bytes) {
  ZV_ASSIGN_OR_RETURN(auto words, decode_words<uint32_t>(bytes));
  return tervik::BlockSizePolicy(std::move(words));
}

MorvaResult<tervik::HashRatioPolicy> decode_hash_ratio_policy(std::string_view bytes) {
  ZV_ASSIGN_OR_RETURN(auto words, decode_words<float>(bytes));
  return tervik::HashRatioPolicy(std::move(words));
}

MorvaResult<tervik::RestartIntervalPolicy> decode_restart_interval_policy(std::string_view bytes) {
  ZV_ASSIGN_OR_RETURN(size_t n, read_count(bytes));
  if (bytes.size() < 1 + n) return zv::make_unexpected(MorvaError(short_value()));
  std::vector<uint8_t> out(bytes.begin() + 1, bytes.begin() + 1 + static_cast<ptrdiff_t>(n));
  return tervik::RestartIntervalPolicy(std::move(out));
}

MorvaResult<tervik::CompressionPolicy> decode_compression_policy(std::string_view bytes) {
  ZV_ASSIGN_OR_RETURN(size_t n, read_count(bytes));
  std::vector<tervik::CompressionType> out;
  for (size_t i = 0; i < n; ++i) {
    if (1 + i >= bytes.size()) {
      return zv::make_unexpected(MorvaError(tervik::TervikError(short_value())));
    }
    ZV_ASSIGN_OR_RETURN(tervik::CompressionType t,
                        tervik::parse_compression_type(static_cast<uint8_t>(bytes[1 + i])));
    out.push_back(t);
  }
  return tervik::CompressionPolicy(std::move(out));
}

MorvaResult<tervik::PinningPolicy> decode_pinning_policy(std::string_view bytes) {
  if (bytes.empty()) return zv::make_unexpected(damaged("cannot fail"));
  ZV_ASSIGN_OR_RETURN(size_t n, read_count(bytes));
  if (bytes.size() < 1 + n) return zv::make_unexpected(damaged("cannot fail"));
  std::vector<bool> out;
  for (size_t i = 0; i < n; ++i) out.push_back(bytes[1 + i] == 1);
  return tervik::PinningPolicy(std::move(out));
}

MorvaResult<tervik::FilterPolicy> decode_filter_policy(std::string_view bytes) {
  ZV_ASSIGN_OR_RETURN(size_t n, read_count(bytes));
  std::vector<tervik::FilterPolicyEntry> out;
  size_t pos = 1;
  for (size_t i = 0; i < n; ++i) {
    if (pos >= bytes.size()) return zv::make_unexpected(MorvaError(short_value()));
    const auto tag = static_cast<uint8_t>(bytes[pos++]);
    if (tag == 0) {
      out.push_back(tervik::FilterPolicyEntry::none());
      continue;
    }
    if (tag != 1) return zv::make_unexpected(damaged("unknown filter policy tag: " + std::to_string(tag)));
    if (pos >= bytes.size()) return zv::make_unexpected(MorvaError(short_value()));
    const auto kind = static_cast<uint8_t>(bytes[pos++]);
    if (kind > 1) {
      return zv::make_unexpected(damaged("unknown bloom filter policy type: " + std::to_string(kind)));
    }
    if (pos + 4 > bytes.size()) return zv::make_unexpected(MorvaError(short_value()));
    const float v = zv::coding::get_f32_le(bytes.data() + pos);
    pos += 4;
    out.push_back(kind == 0 ? tervik::FilterPolicyEntry::bits_per_key(v)
                            : tervik::FilterPolicyEntry::false_positive_rate(v));
  }
  return tervik::FilterPolicy(std::move(out));
}

}  // namespace morva
