#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <random>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/faulty_file_system.h"
#include "platform/testing/temp_dir.h"
#include "src/index/index_file.h"
#include "src/index/index_persistence.h"
#include "src/index/testing/index_fixture.h"
#include "src/index/testing/index_file_layout.h"
#include "src/index/testing/vector_data.h"

namespace zv {
namespace {

constexpr size_t kDim = 16;

std::unique_ptr<HnswIndex> build(size_t n, uint64_t seed, std::optional<uint64_t> flat = {}) {
  auto index = testing::make_index(testing::euclidean_config(flat));
  const auto data = testing::clustered_vectors(n, kDim, 10, 0.2f, seed, seed + 1);
  for (size_t i = 0; i < n; ++i) {
    std::vector<float> v(data.begin() + i * kDim, data.begin() + (i + 1) * kDim);
    EXPECT_TRUE(index->add(NodeId{i + 1}, FilterBitset({i % 3}), VectorRepr::f32(v), i).ok());
  }
  return index;
}

std::vector<NearestResult> answers(const VectorIndexPort& index) {
  const auto queries = testing::clustered_vectors(40, kDim, 10, 0.2f, 5, 99);
  std::vector<NearestResult> out;
  for (size_t i = 0; i < 40; ++i) {
    std::span<const float> q(queries.data() + i * kDim, kDim);
    out.push_back(index.search_nearest(q, std::nullopt, std::nullopt, FilterBitset::unfiltered(),
                                       10, nullptr));
    out.push_back(index.search_nearest(q, std::nullopt, std::nullopt, FilterBitset({1}), 5,
                                       nullptr));
  }
  return out;
}

struct Dir {
  testing::TempDir tmp;
  std::string path = fs::join(tmp.path(), kIndexFileName);
  std::string temp = fs::join(tmp.path(), "vector_index.bin.tmp");
};

TEST(IndexPersistenceTest, TempPath) {
  EXPECT_EQ(temp_index_path("/d/vector_index.bin"), "/d/vector_index.bin.tmp");
  EXPECT_EQ(temp_index_path("/d.x/index"), "/d.x/index.bin.tmp");
  EXPECT_EQ(temp_index_path("a.old.bin"), "a.old.bin.tmp");
}

TEST(IndexPersistenceTest, RoundTripCopiedAndMapped) {
  Dir d;
  auto index = build(3000, 1);
  const auto want = answers(*index);
  ASSERT_TRUE(index->persist(d.path).ok());
  EXPECT_FALSE(fs::exists(d.temp));
  for (bool mapped : {false, true}) {
    auto loaded = load_vector_index(d.path, mapped);
    ASSERT_NE(loaded, nullptr) << mapped;
    EXPECT_EQ(loaded->len(), 3000u);
    EXPECT_EQ(loaded->entry_point(), index->entry_point());
    EXPECT_EQ(loaded->is_mmap_backed(), mapped);
    if (mapped) {
      EXPECT_EQ(loaded->backing().state(), IndexBacking::State::kMapped);
      EXPECT_EQ(loaded->backing_path(), d.path);
      EXPECT_TRUE(loaded->mmap_resident_bytes());
    }
    EXPECT_EQ(answers(*loaded), want) << mapped;
    EXPECT_FALSE(loaded->integrity_violations());
    EXPECT_EQ(loaded->reverse_link_count(1), index->reverse_link_count(1));
    // Written again, the loaded index gives the same bytes (the order of the
    // records does not depend on how slots were numbered).
    std::string a = *serialize_index(*index), b = *serialize_index(*loaded);
    b.replace(8, 8, a.substr(8, 8));
    EXPECT_TRUE(a == b) << mapped;
  }
}

TEST(IndexPersistenceTest, LoadFailuresGiveNoIndex) {
  Dir d;
  log::CaptureSink sink(log::Level::kWarn);
  EXPECT_EQ(load_vector_index(d.path, false), nullptr);
  EXPECT_EQ(load_vector_index(d.path, true), nullptr);
  EXPECT_TRUE(sink.events().empty()) << "a missing file is silent";

  testing::LayoutBytes v1;
  testing::layout_header(v1, 1, HnswConfig(), 0, std::nullopt, 0);
  ASSERT_TRUE(fs::write_file(d.path, v1.str()).ok());
  EXPECT_NE(load_vector_index(d.path, false), nullptr) << "the reader decides";
  EXPECT_EQ(load_vector_index(d.path, true), nullptr);
  EXPECT_TRUE(sink.contains("HNSW index file too small (49 bytes) \xE2\x80\x94 will rebuild"));

  std::string bad = *serialize_index(*build(10, 2));
  bad[0] = 'X';
  ASSERT_TRUE(fs::write_file(d.path, bad).ok());
  for (bool mapped : {false, true}) EXPECT_EQ(load_vector_index(d.path, mapped), nullptr);
  EXPECT_TRUE(sink.contains("Corrupt vector_index.bin \xE2\x80\x94 will rebuild and overwrite"));
  EXPECT_EQ(fs::read_file(d.path).value(), bad) << "loading never touches the file";
}

TEST(IndexPersistenceTest, IntegrityViolationsAreReportedNotFatal) {
  Dir d;
  testing::LayoutBytes b;
  testing::layout_header(b, 8, HnswConfig(), 0, NodeId{1}, 1);
  testing::layout_f32_node(b, 8, 1, {}, 0, {1, 0}, {{1, 77}});
  b.u8(0);
  ASSERT_TRUE(fs::write_file(d.path, b.str()).ok());
  log::CaptureSink sink(log::Level::kWarn);
  auto index = load_vector_index(d.path, false);
  ASSERT_NE(index, nullptr);
  EXPECT_TRUE(sink.contains("HNSW index has integrity violations after deserialization"));
  size_t each = 0;
  for (const auto& e : sink.events()) each += e.message == "HNSW integrity violation";
  EXPECT_EQ(each, 2u);  // the self-loop and the missing neighbour
  EXPECT_EQ(index->search_nearest(std::vector<float>{1, 0}, std::nullopt, std::nullopt,
                                  FilterBitset::unfiltered(), 1, nullptr)
                .size(),
            1u);
}

TEST(IndexPersistenceTest, BackingMovesOfEachWriter) {
  Dir d;
  auto mem = build(50, 3);
  ASSERT_TRUE(mem->sync_mmap().ok());
  EXPECT_FALSE(fs::exists(d.path)) << "sync_mmap of an in-memory index writes nothing";

  HnswIndex unmapped(testing::euclidean_config(), IndexBacking::unmapped(d.path));
  ASSERT_TRUE(unmapped.add(1, {}, VectorRepr::f32({1, 2}), 5).ok());
  ASSERT_TRUE(unmapped.persist(d.path).ok());
  EXPECT_EQ(unmapped.backing().state(), IndexBacking::State::kUnmapped);
  ASSERT_TRUE(unmapped.add(2, {}, VectorRepr::f32({3, 4}), 6).ok());
  ASSERT_TRUE(unmapped.sync_mmap().ok());
  EXPECT_EQ(unmapped.backing().state(), IndexBacking::State::kMapped);
  EXPECT_FALSE(fs::exists(d.temp));
  EXPECT_EQ(load_vector_index(d.path, false)->len(), 2u);
  ASSERT_TRUE(unmapped.sync_mmap().ok()) << "a mapped index remaps";

  auto remapped = mem->persist_and_remap(d.path);
  ASSERT_TRUE(remapped.ok()) << remapped.error().message();
  EXPECT_TRUE((*remapped)->is_mmap_backed());
  EXPECT_EQ((*remapped)->backing_path(), d.path);
  EXPECT_EQ((*remapped)->len(), 50u);
  EXPECT_FALSE(mem->is_mmap_backed()) << "the index it was called on is unchanged";
  EXPECT_FALSE(fs::exists(d.temp));
  EXPECT_EQ(answers(**remapped), answers(*mem));
}

TEST(IndexPersistenceTest, FailedWriteLeavesTheOldFile) {
  Dir d;
  auto old_index = build(20, 4);
  ASSERT_TRUE(old_index->persist(d.path).ok());
  const std::string before = fs::read_file(d.path).value();
  // The temporary name is taken by a directory: every writer fails early.
  ASSERT_TRUE(fs::create_dir(d.temp).ok());
  auto other = build(30, 5);
  EXPECT_FALSE(other->persist(d.path).ok());
  EXPECT_FALSE(other->persist_and_remap(d.path).ok());
  EXPECT_EQ(fs::read_file(d.path).value(), before);
  EXPECT_FALSE(other->persist(fs::join(d.tmp.path(), "missing/vector_index.bin")).ok());
}

// A failure at each step of each writer: before the rename the old file stays
// byte for byte and the temporary file is gone; a failed directory sync comes
// after the rename, so the new file is in place. Every failure is reported,
// the file always loads, and the next attempt succeeds.
TEST(IndexPersistenceTest, InjectedFailureAtEachStepOfEachWriter) {
  using zv::testing::FaultOp;
  using Writer = std::function<IoStatus(const HnswIndex&, const std::string&, FileSystem&)>;
  struct NamedWriter {
    const char* name;
    bool streams;     // many writes, else one write of the whole image
    bool reads_back;  // reads the written file before the rename
    Writer write;
  };
  const std::vector<NamedWriter> writers = {
      {"persist", true, false,
       [](const HnswIndex& i, const std::string& p, FileSystem& f) {
         return persist_index(i, p, f);
       }},
      {"persist_and_remap", false, false,
       [](const HnswIndex& i, const std::string& p, FileSystem& f) -> IoStatus {
         ZV_TRY(persist_and_remap_index(i, p, f));
         return {};
       }},
      {"verified remap", false, true,
       [](const HnswIndex& i, const std::string& p, FileSystem& f) -> IoStatus {
         ZV_ASSIGN_OR_RETURN(std::string image, serialize_index(i));
         ZV_TRY(replace_and_map(image, p, true, f));
         return {};
       }},
  };
  struct Step {
    FaultOp op;
    uint64_t nth;
    const char* name;
  };
  const Step steps[] = {
      {FaultOp::kOpen, 1, "open"},       {FaultOp::kWrite, 1, "first write"},
      {FaultOp::kWrite, 4, "late write"}, {FaultOp::kSyncAll, 1, "sync"},
      {FaultOp::kRead, 1, "read back"},   {FaultOp::kRename, 1, "rename"},
      {FaultOp::kSyncDir, 1, "directory sync"},
  };
  auto old_index = build(20, 8);
  auto new_index = build(400, 9);
  for (const auto& [writer_name, streams, reads_back, write] : writers) {
    for (const Step& step : steps) {
      SCOPED_TRACE(std::string(writer_name) + " failing at " + step.name);
      const bool has_step = (step.op != FaultOp::kRead || reads_back) &&
                            (step.op != FaultOp::kWrite || step.nth == 1 || streams);
      Dir d;
      ASSERT_TRUE(old_index->persist(d.path).ok());
      const std::string before = fs::read_file(d.path).value();
      zv::testing::FaultyFileSystem faulty;
      faulty.fail_nth(step.op, step.nth);
      const IoStatus failed = write(*new_index, d.path, faulty);
      if (!has_step) {
        EXPECT_EQ(faulty.failures(), 0u);
        EXPECT_TRUE(failed.ok()) << failed.error().message();
        continue;
      }
      ASSERT_EQ(faulty.failures(), 1u);
      ASSERT_FALSE(failed.ok());
      EXPECT_FALSE(failed.error().message().empty());
      EXPECT_FALSE(fs::exists(d.temp));
      const bool renamed = step.op == FaultOp::kSyncDir;
      if (!renamed) {
        EXPECT_EQ(fs::read_file(d.path).value(), before);
      }
      for (bool mapped : {false, true}) {
        auto loaded = load_vector_index(d.path, mapped, faulty);
        ASSERT_NE(loaded, nullptr) << mapped;
        EXPECT_EQ(loaded->len(), renamed ? 400u : 20u) << mapped;
      }
      faulty.clear();
      const IoStatus again = write(*new_index, d.path, faulty);
      ASSERT_TRUE(again.ok()) << again.error().message();
      EXPECT_FALSE(fs::exists(d.temp));
      auto loaded = load_vector_index(d.path, false, faulty);
      ASSERT_NE(loaded, nullptr);
      EXPECT_EQ(answers(*loaded), answers(*new_index));
    }
  }
}

// Loading reads through the given file system: a failed read is no index,
// never a half-read one.
TEST(IndexPersistenceTest, FailedReadWhileLoadingGivesNoIndex) {
  Dir d;
  ASSERT_TRUE(build(50, 10)->persist(d.path).ok());
  zv::testing::FaultyFileSystem faulty;
  faulty.fail_nth(zv::testing::FaultOp::kRead, 1);
  EXPECT_EQ(load_vector_index(d.path, false, faulty), nullptr);
  EXPECT_EQ(faulty.failures(), 1u);
  EXPECT_EQ(load_vector_index(d.path, false, faulty)->len(), 50u);
}

TEST(IndexPersistenceTest, CrashDuringPersistLeavesOldOrNewFile) {
  Dir d;
  auto old_index = build(1500, 6);
  auto new_index = build(4000, 7);
  ASSERT_TRUE(old_index->persist(d.path).ok());
  const std::string old_bytes = fs::read_file(d.path).value();
  uint64_t t0 = monotonic_ns();
  ASSERT_TRUE(new_index->persist(fs::join(d.tmp.path(), "probe.bin")).ok());
  const uint64_t persist_us = std::max<uint64_t>((monotonic_ns() - t0) / 1000, 200);
  std::mt19937_64 rng(2024);
  size_t saw_old = 0, saw_new = 0;
  for (int round = 0; round < 30; ++round) {
    ASSERT_TRUE(fs::write_file_atomic(d.path, old_bytes).ok());
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(new_index->persist(d.path).ok() ? 0 : 1);
    usleep(static_cast<useconds_t>(rng() % (2 * persist_us)));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    for (bool mapped : {false, true}) {
      auto loaded = load_vector_index(d.path, mapped);
      ASSERT_NE(loaded, nullptr) << "round " << round;
      const uint64_t n = loaded->len();
      ASSERT_TRUE(n == 1500 || n == 4000) << n;
      if (!mapped) (n == 1500 ? saw_old : saw_new)++;
    }
  }
  RecordProperty("old_files", static_cast<int>(saw_old));
  RecordProperty("new_files", static_cast<int>(saw_new));
  EXPECT_GT(saw_old + saw_new, 0u);
}

}  // namespace
}  // namespace zv
