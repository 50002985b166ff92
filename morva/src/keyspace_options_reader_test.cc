#include "morva/src/keyspace_options_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "morva/src/option_codec.h"
#include "morva/src/testing/hex.h"
#include "morva/src/testing/memory_meta_tree.h"
#include "platform/file.h"
#include "platform/log.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"

namespace morva {
namespace {

using testing::hex;
using testing::unhex;
using tervik::compaction::Fifo;
using tervik::compaction::Leveled;

constexpr KeyspaceId kId = 4;

// A keyspace's option entries by option name, as creation stores them.
std::map<std::string, std::string> stored(const KeyspaceCreateOptions& o) {
  std::map<std::string, std::string> out;
  const std::string prefix = config_key_prefix(kId);
  for (MetaEntry& e : keyspace_meta_entries(kId, "ks", o))
    if (e.key.starts_with(prefix)) out[e.key.substr(prefix.size())] = std::move(e.value);
  return out;
}

struct Recorded {
  std::map<std::string, std::string> entries;
  std::vector<std::string> asked;

  MorvaResult<KeyspaceCreateOptions> read() {
    asked.clear();
    return read_keyspace_options([this](std::string_view option) -> MorvaResult<std::optional<std::string>> {
      asked.emplace_back(option);
      auto it = entries.find(std::string(option));
      if (it == entries.end()) return std::optional<std::string>();
      return std::optional<std::string>(it->second);
    });
  }
};

bool is_eof(const MorvaError& e) {
  return e.is_io(zv::IoErrorKind::kUnexpectedEof) && e.io_error().message() == zv::kShortReadMessage;
}

template <class T>
std::vector<uint32_t> bits(const std::vector<T>& v) {
  std::vector<uint32_t> out;
  for (const T& x : v) {
    uint32_t b = 0;
    std::memcpy(&b, &x, std::min(sizeof(T), sizeof(b)));
    out.push_back(b);
  }
  return out;
}

// Field by field; floats by their bits; strategies by name and stored entries.
void expect_same(const KeyspaceCreateOptions& a, const KeyspaceCreateOptions& b) {
  EXPECT_EQ(bits(a.data_block_hash_ratio_policy.entries()), bits(b.data_block_hash_ratio_policy.entries()));
  EXPECT_EQ(a.data_block_size_policy, b.data_block_size_policy);
  EXPECT_EQ(a.data_block_restart_interval_policy, b.data_block_restart_interval_policy);
  EXPECT_EQ(a.index_block_restart_interval_policy, b.index_block_restart_interval_policy);
  EXPECT_EQ(a.index_block_pinning_policy, b.index_block_pinning_policy);
  EXPECT_EQ(a.filter_block_pinning_policy, b.filter_block_pinning_policy);
  EXPECT_EQ(a.filter_block_partitioning_policy, b.filter_block_partitioning_policy);
  EXPECT_EQ(a.index_block_partitioning_policy, b.index_block_partitioning_policy);
  EXPECT_EQ(hex(encode_filter_policy(a.filter_policy)), hex(encode_filter_policy(b.filter_policy)));
  EXPECT_EQ(a.data_block_compression_policy, b.data_block_compression_policy);
  EXPECT_EQ(a.index_block_compression_policy, b.index_block_compression_policy);
  ASSERT_EQ(a.kv_separation.has_value(), b.kv_separation.has_value());
  if (a.kv_separation) {
    EXPECT_EQ(a.kv_separation->file_target_size, b.kv_separation->file_target_size);
    EXPECT_EQ(a.kv_separation->separation_threshold, b.kv_separation->separation_threshold);
    EXPECT_EQ(a.kv_separation->compression, b.kv_separation->compression);
    EXPECT_EQ(bits(std::vector<float>{a.kv_separation->age_cutoff, a.kv_separation->staleness_threshold}),
              bits(std::vector<float>{b.kv_separation->age_cutoff, b.kv_separation->staleness_threshold}));
  }
  EXPECT_EQ(a.compaction_strategy->name(), b.compaction_strategy->name());
  EXPECT_EQ(a.compaction_strategy->config(), b.compaction_strategy->config());
  EXPECT_EQ(a.max_memtable_size, b.max_memtable_size);
  EXPECT_EQ(a.expect_point_read_hits, b.expect_point_read_hits);
  EXPECT_EQ(a.manual_journal_persist, b.manual_journal_persist);
}

KeyspaceCreateOptions random_options(std::mt19937_64& rng) {
  auto count = [&] { return 1 + rng() % 255; };
  auto any_float = [&] {
    const uint32_t b = static_cast<uint32_t>(rng());
    float f;
    std::memcpy(&f, &b, 4);
    return f;
  };
  auto make = [&](auto gen) {
    std::vector<decltype(gen())> v;
    for (size_t n = count(); n > 0; --n) v.push_back(gen());
    return v;
  };
  auto byte = [&] { return static_cast<uint8_t>(rng()); };
  auto flag = [&] { return rng() % 2 == 1; };
  auto compression = [&] { return static_cast<tervik::CompressionType>(rng() % 2); };
  auto filter = [&] {
    switch (rng() % 3) {
      case 0: return tervik::FilterPolicyEntry::none();
      case 1: return tervik::FilterPolicyEntry::bits_per_key(any_float());
      default: return tervik::FilterPolicyEntry::false_positive_rate(any_float());
    }
  };
  KeyspaceCreateOptions o;
  o.data_block_hash_ratio_policy = tervik::HashRatioPolicy(make(any_float));
  o.data_block_size_policy = tervik::BlockSizePolicy(make([&] { return static_cast<uint32_t>(rng()); }));
  o.data_block_restart_interval_policy = tervik::RestartIntervalPolicy(make(byte));
  o.index_block_restart_interval_policy = tervik::RestartIntervalPolicy(make(byte));
  o.index_block_pinning_policy = tervik::PinningPolicy(make(flag));
  o.filter_block_pinning_policy = tervik::PinningPolicy(make(flag));
  o.filter_block_partitioning_policy = tervik::PinningPolicy(make(flag));
  o.index_block_partitioning_policy = tervik::PinningPolicy(make(flag));
  o.filter_policy = tervik::FilterPolicy(make(filter));
  o.data_block_compression_policy = tervik::CompressionPolicy(make(compression));
  o.index_block_compression_policy = tervik::CompressionPolicy(make(compression));
  if (flag())
    o.kv_separation = tervik::KvSeparationOptions{rng(), static_cast<uint32_t>(rng()), any_float(), any_float(),
                                                  compression()};
  if (flag()) {
    tervik::LeveledOptions l;
    l.level_ratio_policy = make(any_float);
    l.target_size = rng();
    l.l0_threshold = byte();
    o.compaction_strategy = std::make_shared<Leveled>(std::move(l));
  } else {
    std::optional<uint64_t> ttl;
    if (flag()) ttl = rng();
    o.compaction_strategy = std::make_shared<Fifo>(rng(), ttl);
  }
  o.max_memtable_size = rng();
  o.expect_point_read_hits = flag();
  o.manual_journal_persist = flag();
  o.level_count = byte();
  return o;
}

TEST(KeyspaceOptionsReader, RandomOptionsReadBackAsWritten) {
  std::mt19937_64 rng(20261211);
  for (int i = 0; i < 300; ++i) {
    const KeyspaceCreateOptions o = random_options(rng);
    auto tree = std::make_shared<testing::MemoryMetaTree>();
    MetaKeyspace meta(tree);
    ASSERT_TRUE(meta.create_keyspace(kId, "ks", o).ok());
    // Neighbouring keyspaces must not leak into the read.
    ASSERT_TRUE(meta.create_keyspace(kId - 1, "before", random_options(rng)).ok());
    ASSERT_TRUE(meta.create_keyspace(kId + 1, "after", random_options(rng)).ok());

    auto scanned = read_keyspace_options(meta, kId);
    ASSERT_TRUE(scanned.ok()) << scanned.error().to_string();
    SCOPED_TRACE(i);
    expect_same(*scanned, o);
    EXPECT_EQ(scanned->level_count, 7);
    auto point = read_keyspace_options([&](std::string_view n) { return meta.get_config(kId, n); });
    ASSERT_TRUE(point.ok());
    expect_same(*point, o);
    if (o.kv_separation) {
      auto kv = read_kv_separation(meta, kId);
      ASSERT_TRUE(kv.ok());
      EXPECT_EQ(kv->file_target_size, o.kv_separation->file_target_size);
    }
  }
}

TEST(KeyspaceOptionsReader, ReadsEntriesInTheirFixedOrder) {
  KeyspaceCreateOptions o;
  o.kv_separation = tervik::KvSeparationOptions{};
  Recorded r{stored(o), {}};
  ASSERT_TRUE(r.read().ok());
  const std::vector<std::string> want = {
      "blob", "data_block_compression_policy", "index_block_compression_policy", "data_block_size_policy",
      "filter_block_partitioning_policy", "index_block_partitioning_policy", "filter_block_pinning_policy",
      "index_block_pinning_policy", "data_block_restart_interval_policy", "index_block_restart_interval_policy",
      "data_block_hash_ratio_policy", "expect_point_read_hits", "filter_policy", "blob_age_cutoff",
      "blob_compression", "blob_file_target_size", "blob_separation_threshold", "blob_staleness_threshold",
      "compaction_strategy", "leveled_l0_threshold", "leveled_target_size", "leveled_level_ratio_policy",
      "manual_journal_persist", "max_memtable_size"};
  EXPECT_EQ(r.asked, want);
}

TEST(KeyspaceOptionsReader, StoredValuesDecodeAsTheOpenReadsThem) {
  Recorded r{stored(KeyspaceCreateOptions()), {}};
  r.entries["expect_point_read_hits"] = unhex("02");
  r.entries["manual_journal_persist"] = unhex("01 01");
  r.entries["max_memtable_size"] = unhex("01 00 00 00 00 00 00 00 ff");
  auto o = r.read();
  ASSERT_TRUE(o.ok());
  EXPECT_FALSE(o->expect_point_read_hits);
  EXPECT_FALSE(o->manual_journal_persist);
  EXPECT_EQ(o->max_memtable_size, 1u);

  r.entries["max_memtable_size"] = unhex("01 00 00 00 00 00 00");
  auto short_size = r.read();
  ASSERT_FALSE(short_size.ok());
  EXPECT_TRUE(is_eof(short_size.error()));

  KeyspaceCreateOptions fifo;
  fifo.compaction_strategy = std::make_shared<Fifo>(99, 5);
  Recorded f{stored(fifo), {}};
  f.entries["fifo_ttl"] = unhex("00");
  f.entries.erase("fifo_ttl_seconds");
  auto no_ttl = f.read();
  ASSERT_TRUE(no_ttl.ok()) << no_ttl.error().to_string();
  auto* strategy = dynamic_cast<const Fifo*>(no_ttl->compaction_strategy.get());
  ASSERT_NE(strategy, nullptr);
  EXPECT_EQ(strategy->limit(), 99u);
  EXPECT_FALSE(strategy->ttl().has_value());
  EXPECT_EQ(std::count(f.asked.begin(), f.asked.end(), "fifo_ttl_seconds"), 0);
}

// Every damaged entry fails the read with an error; each case changes one
// entry of otherwise sound separated, leveled options.
TEST(KeyspaceOptionsReader, DamagedEntriesFailWithErrors) {
  struct Case {
    const char* option;
    const char* bytes;  // nullptr: the entry is removed
    const char* want;   // "eof", "Storage eof", "InvalidTag N" or the logged message
  };
  const Case cases[] = {
      {"data_block_compression_policy", nullptr, "should exist"},
      {"index_block_compression_policy", nullptr, "should exist"},
      {"data_block_size_policy", nullptr, "should exist"},
      {"filter_block_partitioning_policy", nullptr, "should exist"},
      {"index_block_partitioning_policy", nullptr, "should exist"},
      {"filter_block_pinning_policy", nullptr, "should exist"},
      {"index_block_pinning_policy", nullptr, "should exist"},
      {"data_block_restart_interval_policy", nullptr, "should exist"},
      {"index_block_restart_interval_policy", nullptr, "should exist"},
      {"data_block_hash_ratio_policy", nullptr, "should exist"},
      {"expect_point_read_hits", nullptr, "should exist"},
      {"filter_policy", nullptr, "should exist"},
      {"manual_journal_persist", nullptr, "should exist"},
      {"max_memtable_size", nullptr, "should exist"},
      {"compaction_strategy", nullptr, "compaction_strategy should be defined"},
      {"compaction_strategy", "ff fe", "compaction_strategy should be UTF-8"},
      {"compaction_strategy", "54 69 65 72", "Invalid/unsupported compaction strategy: Tier"},
      {"leveled_l0_threshold", nullptr, "leveled_l0_threshold should be defined"},
      {"leveled_l0_threshold", "", "eof"},
      {"leveled_target_size", nullptr, "leveled_target_size should be defined"},
      {"leveled_target_size", "00 00 00", "eof"},
      {"leveled_level_ratio_policy", nullptr, "leveled_level_ratio_policy should be defined"},
      {"leveled_level_ratio_policy", "02 00 00 20 41 00 00", "eof"},
      {"leveled_level_ratio_policy", "", "eof"},
      {"blob_age_cutoff", nullptr, "blob_age_cutoff should be defined"},
      {"blob_compression", nullptr, "blob_compression should be defined"},
      {"blob_file_target_size", nullptr, "blob_file_target_size should be defined"},
      {"blob_separation_threshold", nullptr, "blob_separation_threshold should be defined"},
      {"blob_staleness_threshold", nullptr, "blob_staleness_threshold should be defined"},
      {"blob_age_cutoff", "00 00 80", "eof"},
      {"blob_compression", "", "Storage eof"},
      {"blob_compression", "05", "InvalidTag 5"},
      {"blob_file_target_size", "01", "eof"},
      {"blob_separation_threshold", "01 02 03", "eof"},
      {"blob_staleness_threshold", "", "eof"},
      {"filter_policy", "01 03", "unknown filter policy tag: 3"},
      {"index_block_pinning_policy", "05 01", "cannot fail"},
      {"data_block_size_policy", "00", "compression policy may not be empty"},
      {"data_block_compression_policy", "01 02", "InvalidTag 2"},
  };
  KeyspaceCreateOptions sound;
  sound.kv_separation = tervik::KvSeparationOptions{.file_target_size = 1, .separation_threshold = 2};
  for (const Case& c : cases) {
    Recorded r{stored(sound), {}};
    if (c.bytes) {
      r.entries[c.option] = unhex(c.bytes);
    } else {
      r.entries.erase(c.option);
    }
    zv::log::CaptureSink sink(zv::log::Level::kError);
    auto got = r.read();
    ASSERT_FALSE(got.ok()) << c.option;
    const MorvaError& e = got.error();
    std::string desc = e.debug_string();
    if (is_eof(e)) desc = "eof";
    if (e.kind() == MorvaErrorKind::kStorage && e.storage_error().kind() == tervik::TervikErrorKind::kIo)
      desc = "Storage eof";
    if (e.kind() == MorvaErrorKind::kStorage && e.storage_error().kind() == tervik::TervikErrorKind::kInvalidTag)
      desc = "InvalidTag " + std::to_string(e.storage_error().tag_byte());
    if (e.kind() == MorvaErrorKind::kUnrecoverable) {
      const auto events = sink.events();
      desc = events.empty() ? "Unrecoverable, nothing logged" : events.back().message;
    }
    EXPECT_EQ(desc, c.want) << c.option << " " << (c.bytes ? c.bytes : "(removed)");
  }
}

TEST(KeyspaceOptionsReader, BlobErrorsWaitUntilEveryOtherEntryIsRead) {
  KeyspaceCreateOptions o;
  o.kv_separation = tervik::KvSeparationOptions{};
  Recorded r{stored(o), {}};
  r.entries.erase("blob_compression");
  r.entries["max_memtable_size"] = unhex("01");
  auto got = r.read();
  ASSERT_FALSE(got.ok());
  EXPECT_TRUE(is_eof(got.error()));  // the memtable size, read later, wins
  r.entries["max_memtable_size"] = unhex("01 00 00 00 00 00 00 00");
  got = r.read();
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().kind(), MorvaErrorKind::kUnrecoverable);
  EXPECT_EQ(r.asked.back(), "max_memtable_size");
}

TEST(KeyspaceOptionsReader, LookupErrorsComeBackUnchanged) {
  auto tree = std::make_shared<testing::MemoryMetaTree>();
  MetaKeyspace meta(tree);
  ASSERT_TRUE(meta.create_keyspace(kId, "ks", KeyspaceCreateOptions()).ok());
  tree->fail_reads = tervik::TervikError::invalid_trailer();
  auto got = read_keyspace_options(meta, kId);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().kind(), MorvaErrorKind::kStorage);
  EXPECT_EQ(got.error().storage_error().kind(), tervik::TervikErrorKind::kInvalidTrailer);
  // An id without entries reads as damaged, never as defaults.
  tree->fail_reads.reset();
  EXPECT_EQ(read_keyspace_options(meta, 77).error().kind(), MorvaErrorKind::kUnrecoverable);
}

}  // namespace
}  // namespace morva
