// Every entry of a keyspace's stored options damaged or removed in turn, the
// order of the reads, and which error wins when several entries are damaged.
#include "morva/src/keyspace_options_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "morva/src/meta_keyspace.h"
#include "morva/src/testing/hex.h"
#include "platform/file.h"
#include "platform/log.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"

namespace morva {
namespace {

using testing::unhex;
using tervik::compaction::Fifo;
using tervik::compaction::Leveled;

constexpr uint64_t kId = 4;

// A keyspace's option entries by option name, as creation stores them.
std::map<std::string, std::string> stored(const KeyspaceCreateOptions& o) {
  std::map<std::string, std::string> out;
  const std::string prefix = meta_config_key(kId, "");
  for (auto& [key, value] : keyspace_meta_entries(kId, "ks", o))
    if (key.starts_with(prefix)) out[key.substr(prefix.size())] = std::move(value);
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

TEST(KeyspaceOptionsDamage, ReadsEntriesInTheirFixedOrder) {
  KeyspaceCreateOptions o = KeyspaceCreateOptions::defaults();
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

// Every damaged entry fails the read with an error; each case changes one
// entry of otherwise sound separated, leveled options.
TEST(KeyspaceOptionsDamage, DamagedEntriesFailWithErrors) {
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
  KeyspaceCreateOptions sound = KeyspaceCreateOptions::defaults();
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

TEST(KeyspaceOptionsDamage, BlobErrorsWaitUntilEveryOtherEntryIsRead) {
  KeyspaceCreateOptions o = KeyspaceCreateOptions::defaults();
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

TEST(KeyspaceOptionsDamage, StoredValuesDecodeAsTheOpenReadsThem) {
  Recorded r{stored(KeyspaceCreateOptions::defaults()), {}};
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

  KeyspaceCreateOptions fifo = KeyspaceCreateOptions::defaults();
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

}  // namespace
}  // namespace morva
