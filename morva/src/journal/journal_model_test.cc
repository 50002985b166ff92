// Random batches through the writer, with random persist modes and
// rotations, read back equal; then files cut inside their last batches.
#include <gtest/gtest.h>

#include <random>

#include "morva/src/journal/manager.h"
#include "morva/src/journal/reader.h"
#include "morva/src/journal/writer.h"
#include "morva/src/testing/journal_bytes.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using tervik::ValueType;

struct ModelBatch {
  uint64_t seqno = 0;
  std::vector<JournalBatchItem> items;
  std::vector<uint64_t> cleared;
  uint64_t end = 0;  // file offset after the batch
};

std::string random_bytes(std::mt19937_64& rng, size_t n) {
  std::string s(n, '\0');
  // Half the values repeat a short pattern so that compression has work.
  const bool patterned = rng() % 2 == 0;
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(patterned ? "xyz\0\x03"[i % 5] : rng());
  return s;
}

ModelBatch random_batch(std::mt19937_64& rng, uint64_t seqno) {
  ModelBatch b;
  b.seqno = seqno;
  const size_t n = 1 + rng() % 50;
  for (size_t i = 0; i < n; ++i) {
    JournalBatchItem it;
    it.keyspace_id = rng() % 4;
    it.key = random_bytes(rng, 1 + rng() % 600);
    const int kind = static_cast<int>(rng() % 10);
    it.value_type = kind == 0 ? ValueType::kTombstone
                    : kind == 1 ? ValueType::kWeakTombstone
                                : ValueType::kValue;
    if (it.value_type == ValueType::kValue) it.value = random_bytes(rng, rng() % (20 * 1024 + 1));
    b.items.push_back(std::move(it));
  }
  return b;
}

void expect_same(const std::vector<JournalBatch>& got, const std::vector<ModelBatch>& want,
                 const std::string& where) {
  ASSERT_EQ(got.size(), want.size()) << where;
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].seqno, want[i].seqno) << where << " batch " << i;
    ASSERT_EQ(got[i].cleared_keyspaces, want[i].cleared) << where << " batch " << i;
    ASSERT_EQ(got[i].items.size(), want[i].items.size()) << where << " batch " << i;
    for (size_t j = 0; j < got[i].items.size(); ++j) {
      const auto& a = got[i].items[j];
      const auto& b = want[i].items[j];
      ASSERT_TRUE(a.keyspace_id == b.keyspace_id && a.key == b.key && a.value == b.value &&
                  a.value_type == b.value_type)
          << where << " batch " << i << " item " << j;
    }
  }
}

MorvaResult<std::vector<JournalBatch>> read_file(const std::string& path, JournalBatchReader::Mode mode) {
  ZV_ASSIGN_OR_RETURN(JournalReader r, JournalReader::open(zv::FileSystem::os(), path));
  JournalBatchReader batches(std::move(r), mode);
  std::vector<JournalBatch> out;
  for (;;) {
    ZV_ASSIGN_OR_RETURN(std::optional<JournalBatch> b, batches.next());
    if (!b) return out;
    out.push_back(std::move(*b));
  }
}

TEST(JournalModelTest, RandomBatchesReadBackAndCutsKeepWholeBatches) {
  zv::testing::TempDir dir;
  std::mt19937_64 rng(20261211);
  auto created = JournalWriter::create(zv::FileSystem::os(), zv::fs::join(dir.path(), "0.jnl"));
  ASSERT_TRUE(created.ok());
  JournalWriter writer = std::move(created).value();
  writer.set_compression(tervik::CompressionType::kLz4, 4096);
  JournalManager manager;
  std::vector<std::pair<std::string, std::vector<ModelBatch>>> files{{writer.path(), {}}};
  uint64_t seqno = 1;
  for (int i = 0; i < 120; ++i) {
    ModelBatch b = random_batch(rng, seqno++);
    std::vector<JournalWriteItem> items;
    for (const auto& it : b.items) items.push_back({it.keyspace_id, it.key, it.value, it.value_type});
    auto n = items.size() == 1 && rng() % 2 == 0
                 ? writer.write_single_item(items[0].keyspace_id, items[0].key, items[0].value,
                                            items[0].value_type, b.seqno)
                 : writer.write_batch(items, b.seqno);
    ASSERT_TRUE(n.ok()) << n.error().debug_string();
    b.end = writer.position();
    files.back().second.push_back(std::move(b));
    ASSERT_TRUE(writer.persist(static_cast<PersistMode>(rng() % 3)).ok());
    if (rng() % 40 == 0) {
      ASSERT_TRUE(rotate_journal(writer, manager, {}).ok());
      files.push_back({writer.path(), {}});
    }
  }
  ASSERT_TRUE(writer.persist(PersistMode::kBuffer).ok());
  ASSERT_GE(files.size(), 2u);
  EXPECT_EQ(manager.sealed_journal_count(), files.size() - 1);

  // A copy of the last file, whose data ends at the end of its last batch.
  const auto& [last_path, last_batches] = files.back();
  ASSERT_GE(last_batches.size(), 3u);
  const std::string last_bytes = testing::read_all(last_path).substr(0, last_batches.back().end);

  for (size_t f = 0; f < files.size(); ++f) {
    const auto mode = f + 1 == files.size() ? JournalBatchReader::Mode::kActive
                                            : JournalBatchReader::Mode::kSealed;
    auto got = read_file(files[f].first, mode);
    ASSERT_TRUE(got.ok()) << got.error().debug_string();
    expect_same(*got, files[f].second, files[f].first);
    const uint64_t end = files[f].second.empty() ? 0 : files[f].second.back().end;
    EXPECT_EQ(testing::read_all(files[f].first).size(), end) << "preallocated tail cut";
  }

  // Cuts inside the last three batches: exactly the whole batches before the
  // cut come back, the file ends after them, and a second read changes nothing.
  // The cut files start at a batch boundary a few batches earlier.
  const size_t n = last_batches.size();
  const uint64_t base = n >= 5 ? last_batches[n - 5].end : 0;
  const uint64_t from = n >= 4 ? last_batches[n - 4].end : 0;
  std::vector<uint64_t> offsets;
  for (int i = 0; i < 40; ++i) offsets.push_back(from + rng() % (last_bytes.size() - from));
  const uint64_t last_start = last_batches[n - 2].end;
  for (uint64_t o = last_start; o < last_bytes.size(); o += 1 + (last_bytes.size() - last_start) / 400) {
    offsets.push_back(o);
  }
  const std::string cut_path = zv::fs::join(dir.path(), "cut.jnl");
  for (uint64_t offset : offsets) {
    std::vector<ModelBatch> whole;
    for (const auto& b : last_batches) {
      if (b.end > base && b.end <= offset) whole.push_back(b);
    }
    const uint64_t end = whole.empty() ? 0 : whole.back().end - base;
    for (auto mode : {JournalBatchReader::Mode::kActive, JournalBatchReader::Mode::kSealed}) {
      testing::write_all(cut_path, std::string_view(last_bytes).substr(base, offset - base));
      auto got = read_file(cut_path, mode);
      ASSERT_TRUE(got.ok()) << offset << ": " << got.error().debug_string();
      expect_same(*got, whole, "cut at " + std::to_string(offset));
      ASSERT_EQ(testing::read_all(cut_path).size(), end) << offset;
      auto again = read_file(cut_path, mode);
      ASSERT_TRUE(again.ok());
      expect_same(*again, whole, "second read");
      ASSERT_EQ(testing::read_all(cut_path).size(), end);
    }
  }
}

TEST(JournalModelTest, EveryCutOfASmallJournal) {
  zv::testing::TempDir dir;
  const std::string path = zv::fs::join(dir.path(), "c.jnl");
  std::string body = testing::raw_item({1, "k", "v"});
  std::string clear;
  encode_journal_clear(&clear, 9);
  const std::string b1 = testing::raw_batch(1, {{1, "a", "b"}});
  std::string b2;
  encode_journal_start(&b2, 2, 2);
  b2 += body + clear;
  const std::string covered = body + clear;
  encode_journal_end(&b2, zv::xxh3_64(covered.data(), covered.size()));
  const std::string all = b1 + b2;
  for (size_t cut = 0; cut <= all.size(); ++cut) {
    testing::write_all(path, std::string_view(all).substr(0, cut));
    auto got = read_file(path, JournalBatchReader::Mode::kActive);
    ASSERT_TRUE(got.ok()) << cut;
    const size_t expect = cut == all.size() ? 2 : cut >= b1.size() ? 1 : 0;
    ASSERT_EQ(got->size(), expect) << cut;
    if (expect == 2) {
      EXPECT_EQ((*got)[1].cleared_keyspaces, std::vector<uint64_t>{9});
    }
    EXPECT_EQ(testing::read_all(path).size(), expect == 2 ? all.size() : expect == 1 ? b1.size() : 0);
  }
}

}  // namespace
}  // namespace morva
