#include "src/backends/morva_backend.h"

#include <gtest/gtest.h>

#include "morva/src/flush.h"
#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/faulty_file_system.h"
#include "platform/testing/temp_dir.h"
#include "src/backends/backend_factory.h"
#include "src/backends/testing/backend_contract.h"
#include "src/backends/testing/morva_factory.h"

namespace zv {
namespace testing_contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Morva, BackendContractTest, ::zv::testing::MorvaFactory);
INSTANTIATE_TYPED_TEST_SUITE_P(Morva, BackendReopenTest, ::zv::testing::MorvaFactory);
}  // namespace testing_contract

namespace {

using testing::open_morva;

std::vector<KvPair> collect(PrefixIter& it) {
  std::vector<KvPair> out;
  while (auto item = it.next()) {
    EXPECT_TRUE(item->ok()) << item->error().message();
    if (!item->ok()) break;
    out.push_back(std::move(*item).value());
  }
  return out;
}

TEST(MorvaBackendOpen, LivesInTheDatabaseDirectoryAndLocksIt) {
  zv::testing::TempDir dir;
  ASSERT_TRUE(fs::write_file(fs::join(dir.path(), "core.file"), "mine").ok());
  log::CaptureSink events(log::Level::kInfo);
  auto first = create_backend(factory_registry(), BackendKind::kMorva, dir.path(), Config{});
  ASSERT_TRUE(first.ok()) << first.error().message();
  EXPECT_TRUE(events.contains("Morva database opened at '" + dir.path() + "'"));
  for (const char* name : {"lock", "version", "keyspaces", "0.jnl", "core.file"})
    EXPECT_TRUE(fs::exists(fs::join(dir.path(), name))) << name;
  EXPECT_EQ(fs::read_file(fs::join(dir.path(), "core.file")).value(), "mine");
  EXPECT_EQ(first.value()->limit_hint(), 65'536u);

  auto second = create_backend(factory_registry(), BackendKind::kMorva, dir.path(), Config{});
  ASSERT_FALSE(second.ok());
  EXPECT_TRUE(second.error().is(ZolvaErrorKind::kIo));
  EXPECT_EQ(second.error().message(), "IO error: MorvaError: Locked");
  ASSERT_TRUE(first.value()->put(Partition::kDefault, "still", "usable").ok());
  EXPECT_EQ(first.value()->get(Partition::kDefault, "still").value(), "usable");

  // Dropping the backend releases the folder.
  first.value().reset();
  auto third = create_backend(factory_registry(), BackendKind::kMorva, dir.path(), Config{});
  ASSERT_TRUE(third.ok()) << third.error().message();
  EXPECT_EQ(third.value()->get(Partition::kDefault, "still").value(), "usable");

  auto empty = MorvaBackend::open("", Config{});
  ASSERT_FALSE(empty.ok());
  EXPECT_TRUE(empty.error().is(ZolvaErrorKind::kIo));
}

// Every write carrying a key of 0 or 65,536 bytes, alone or anywhere in a
// batch, is refused before it is numbered or journaled.
TEST(MorvaBackendKeys, KeysOutsideTheRangeWriteNothing) {
  zv::testing::TempDir dir;
  auto b = open_morva(dir.path());
  ASSERT_TRUE(b->put(Partition::kDefault, "kept", "v").ok());
  const morva::Database& db = b->database();
  const Partition p = Partition::kTextIndex;
  for (size_t bad_length : {size_t{0}, size_t{65'536}, size_t{100'000}}) {
    const std::string bad(bad_length, 'k');
    std::vector<std::pair<std::string, std::function<ZolvaStatus()>>> writes = {
        {"put", [&] { return b->put(p, bad, "v"); }},
        {"del", [&] { return b->del(p, bad); }},
        {"batch first", [&] { return b->write_batch({BatchOp::put(p, bad, "v"), BatchOp::put(p, "a", "v")}); }},
        {"batch middle",
         [&] {
           return b->write_batch(
               {BatchOp::put(p, "a", "v"), BatchOp::del(Partition::kVersions, bad), BatchOp::put(p, "b", "v")});
         }},
        {"batch last", [&] { return b->write_batch({BatchOp::put(p, "a", "v"), BatchOp::del(p, bad)}); }},
    };
    for (auto& [name, write] : writes) {
      SCOPED_TRACE(name + " with a key of " + std::to_string(bad_length) + " bytes");
      const tervik::SeqNo seqno = db.seqno();
      const size_t batches = morva::testing::journal_batches(db).size();
      ZolvaStatus st = write();
      ASSERT_FALSE(st.ok());
      EXPECT_TRUE(st.error().is(ZolvaErrorKind::kIo));
      EXPECT_TRUE(st.error().message().starts_with("IO error: MorvaError: Io(")) << st.error().message();
      EXPECT_EQ(db.seqno(), seqno);
      EXPECT_EQ(morva::testing::journal_batches(db).size(), batches);
      EXPECT_FALSE(db.is_poisoned());
    }
  }
  EXPECT_TRUE(b->scan_all(p).value().empty());
  EXPECT_TRUE(b->scan_all(Partition::kVersions).value().empty());
  const std::string longest(65'535, '\xFF');
  ASSERT_TRUE(b->put(p, longest, "edge").ok());
  EXPECT_EQ(b->get(p, longest).value(), "edge");
  EXPECT_EQ(b->get(Partition::kDefault, "kept").value(), "v");

  // The refusals left nothing that a replay would stumble over.
  b.reset();
  b = open_morva(dir.path());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->scan_all(p).value(), (std::vector<KvPair>{{longest, "edge"}}));
  EXPECT_TRUE(b->scan_all(Partition::kVersions).value().empty());
  EXPECT_EQ(b->scan_all(Partition::kDefault).value(), (std::vector<KvPair>{{"kept", "v"}}));
}

TEST(MorvaBackendErrors, PoisonedDatabaseRefusesWritesAndKeepsAnswering) {
  zv::testing::TempDir dir;
  zv::testing::FaultyFileSystem journal_fs;
  morva::DatabaseConfig config = morva::testing::small_config(dir.path());
  config.journal_fs = &journal_fs;
  auto opened = MorvaBackend::open_with(std::move(config));
  ASSERT_TRUE(opened.ok()) << opened.error().message();
  MorvaBackend& b = *opened.value();
  const Partition p = Partition::kPayloadIndex;
  ASSERT_TRUE(b.put(p, "a1", "before").ok());
  ASSERT_TRUE(b.put(p, "a2", "before").ok());

  journal_fs.fail_nth(zv::testing::FaultOp::kWrite, 1);
  ZolvaStatus failed = b.put(p, "a3", "lost");
  ASSERT_FALSE(failed.ok());
  EXPECT_TRUE(failed.error().message().starts_with("IO error: MorvaError: Io(")) << failed.error().message();

  const std::string poisoned = "IO error: MorvaError: Poisoned";
  const std::vector<std::pair<std::string, ZolvaStatus>> refused = {
      {"put", b.put(p, "a4", "v")},
      {"del", b.del(p, "a1")},
      {"batch", b.write_batch({BatchOp::put(p, "a5", "v")})},
      {"flush", b.flush()},
  };
  for (const auto& [name, st] : refused) {
    ASSERT_FALSE(st.ok()) << name;
    EXPECT_TRUE(st.error().is(ZolvaErrorKind::kIo)) << name;
    EXPECT_EQ(st.error().message(), poisoned) << name;
  }
  EXPECT_TRUE(b.write_batch({}).ok());
  const std::vector<KvPair> both = {{"a1", "before"}, {"a2", "before"}};
  EXPECT_EQ(b.get(p, "a1").value(), "before");
  EXPECT_EQ(b.get(p, "a3").value(), std::nullopt);
  EXPECT_EQ(b.multi_get(p, std::vector<std::string>{"a1", "a3", "a2"}).value(), both);
  EXPECT_EQ(b.scan_all(p).value(), both);
  EXPECT_EQ(b.scan_prefix(p, "a").value(), both);
}

TEST(MorvaBackendReads, PrefixIteratorReadsAtItsSnapshot) {
  zv::testing::TempDir dir;
  auto b = open_morva(dir.path());
  const Partition p = Partition::kNamespaceIndex;
  for (const char* k : {"a", "b", "b3", "b5", "c"}) ASSERT_TRUE(b->put(p, k, std::string("old:") + k).ok());

  auto it = b->prefix_iter(p, "b");
  ASSERT_TRUE(it.ok());
  auto first = it.value()->next();
  ASSERT_TRUE(first && first->ok());
  EXPECT_EQ(first->value(), (KvPair{"b", "old:b"}));
  // Keys the iterator reaches only after the commit: none of the batch shows.
  ASSERT_TRUE(b->write_batch({BatchOp::put(p, "b1", "new"), BatchOp::del(p, "b3"), BatchOp::put(p, "b5", "new"),
                              BatchOp::put(p, "b9", "new"), BatchOp::put(p, "b", "new")})
                  .ok());
  ASSERT_TRUE(b->put(p, "b4", "new").ok());
  EXPECT_EQ(collect(*it.value()), (std::vector<KvPair>{{"b3", "old:b3"}, {"b5", "old:b5"}}));
  EXPECT_EQ(it.value()->next(), std::nullopt);

  // A write acknowledged before the call is seen; the prefix itself counts.
  auto now = b->prefix_iter(p, "b");
  EXPECT_EQ(collect(*now.value()),
            (std::vector<KvPair>{{"b", "new"}, {"b1", "new"}, {"b4", "new"}, {"b5", "new"}, {"b9", "new"}}));
  auto whole = b->prefix_iter(p, "");
  EXPECT_EQ(collect(*whole.value()).size(), 7u);
}

TEST(MorvaBackendReads, PrefixIteratorOutlivesTheBackend) {
  zv::testing::TempDir dir;
  auto b = open_morva(dir.path());
  const Partition p = Partition::kSparseIndex;
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(b->put(p, "k" + std::to_string(100 + i), std::to_string(i)).ok());
  auto it = std::move(b->prefix_iter(p, "k1")).value();
  std::weak_ptr<morva::DatabaseState> state = b->database().state();
  b.reset();
  EXPECT_TRUE(state.expired());
  const auto pairs = collect(*it);
  ASSERT_EQ(pairs.size(), 50u);
  EXPECT_EQ(pairs.front(), (KvPair{"k100", "0"}));
  EXPECT_EQ(pairs.back(), (KvPair{"k149", "49"}));
  it.reset();
  // The lock went with the database: the folder opens again.
  auto again = open_morva(dir.path());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->scan_prefix(p, "k1").value(), pairs);
}

// A keyspace stored with key-value separation keeps it: the backend reads
// its values back out of the blob files.
TEST(MorvaBackendReads, SeparatedKeyspaceServesItsValues) {
  zv::testing::TempDir dir;
  morva::DatabaseConfig config = morva::testing::small_config(dir.path(), 0);
  config.hooks.keyspace_options = [](std::string_view name) -> std::optional<morva::KeyspaceCreateOptions> {
    if (name != partition_name(Partition::kCompressedArchive)) return std::nullopt;
    morva::KeyspaceCreateOptions o;
    o.kv_separation = tervik::KvSeparationOptions{.file_target_size = 1 << 20, .separation_threshold = 64};
    return o;
  };
  auto opened = MorvaBackend::open_with(std::move(config));
  ASSERT_TRUE(opened.ok()) << opened.error().message();
  MorvaBackend& b = *opened.value();
  const Partition p = Partition::kCompressedArchive;
  std::vector<KvPair> expected;
  for (int i = 0; i < 20; ++i) {
    std::string value(i % 2 == 0 ? 300 : 10, static_cast<char>('a' + i));
    value[0] = '\0';
    expected.push_back({"key" + std::to_string(10 + i), value});
    ASSERT_TRUE(b.put(p, expected.back().key, value).ok());
  }
  const morva::Keyspace& ks = b.keyspace(p);
  ASSERT_TRUE(ks.tree().is_blob());
  ASSERT_NE(ks.tree().index().rotate_memtable(), nullptr);
  const auto& ctx = *b.database().state()->ctx;
  ASSERT_TRUE(morva::flush_sealed_memtables(ks, *ctx.write_buffer_size, *ctx.snapshots).ok());
  ASSERT_FALSE(ks.tree().index().current_version().blob_files().empty());

  EXPECT_EQ(b.get(p, "key10").value(), expected[0].value);
  EXPECT_EQ(b.get(p, "key11").value(), expected[1].value);
  EXPECT_EQ(b.multi_get(p, std::vector<std::string>{"key12", "nope", "key13"}).value(),
            (std::vector<KvPair>{expected[2], expected[3]}));
  EXPECT_EQ(b.scan_all(p).value(), expected);
  EXPECT_EQ(b.scan_prefix(p, "key1").value(), std::vector<KvPair>(expected.begin(), expected.begin() + 10));

  // Opened again with the defaults, the keyspace keeps its stored options.
  opened.value().reset();
  auto again = open_morva(dir.path());
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(again->keyspace(p).tree().is_blob());
  EXPECT_EQ(again->get(p, "key10").value(), expected[0].value);
  EXPECT_EQ(again->multi_get(p, std::vector<std::string>{"key12", "key13"}).value(),
            (std::vector<KvPair>{expected[2], expected[3]}));
  EXPECT_EQ(again->scan_all(p).value(), expected);
  EXPECT_EQ(again->scan_prefix(p, "key2").value(), std::vector<KvPair>(expected.begin() + 10, expected.end()));
}

TEST(BackendFactoryTest, EntriesAndErrors) {
  const BackendFactoryTable table = factory_registry();
  EXPECT_EQ(table.size(), 3u);
  const Config config;

  auto mem = create_backend(table, BackendKind::kInMemory, "/nonexistent/dir", config);
  ASSERT_TRUE(mem.ok());
  EXPECT_EQ(mem.value()->limit_hint(), 131072u);
  ASSERT_TRUE(mem.value()->put(Partition::kDefault, "k", "v").ok());
  // Each construction is a fresh, empty store.
  auto other = create_backend(table, BackendKind::kInMemory, "", config);
  EXPECT_FALSE(other.value()->get(Partition::kDefault, "k").value().has_value());

  zv::testing::TempDir dir;
  auto morva = create_backend(table, BackendKind::kMorva, dir.path(), config);
  ASSERT_TRUE(morva.ok()) << morva.error().message();
  EXPECT_EQ(morva.value()->limit_hint(), 65'536u);
  ASSERT_TRUE(morva.value()->put(Partition::kDefault, "k", "v").ok());
  EXPECT_TRUE(fs::exists(fs::join(dir.path(), "version")));

  auto rocks = create_backend(table, BackendKind::kRocksDb, "/tmp/x", config);
  ASSERT_FALSE(rocks.ok());
  EXPECT_EQ(rocks.error().message(),
            "Validation error on backend_feature: RocksDB backend requires the 'rocksdb' feature");
  BackendFactoryTable partial = table;
  partial.erase(BackendKind::kMorva);
  auto missing = create_backend(partial, BackendKind::kMorva, "", config);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(),
            "Validation error on backend_kind: no factory registered for backend 'morva'");
}

}  // namespace
}  // namespace zv
