// The compaction filter seen from one merge: verdicts and their outcomes,
// errors, and new values separated into the run's blob files.
#include "tervik/compaction/run_filter.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/blob/resolve_indirection.h"
#include "tervik/core/blob_indirection.h"

namespace tervik::compaction {
namespace {

constexpr uint64_t kTree = 8;

// Answers each key with a scripted verdict (Keep for others) or an error,
// recording what it was shown.
class ScriptedFilter : public CompactionFilter {
 public:
  std::map<std::string, FilterVerdict> verdicts;
  std::optional<TervikError> error;
  std::vector<std::string> seen;
  int* finished = nullptr;
  bool last_level_seen = false;

  TervikResult<FilterVerdict> filter_item(const InternalValue& item, FilterAccessor& accessor,
                                          const CompactionFilterContext& context) override {
    seen.emplace_back(item.key.user_key.view());
    last_level_seen = context.is_last_level && accessor.context().is_last_level;
    if (error) return zv::make_unexpected(*error);
    auto it = verdicts.find(seen.back());
    return it == verdicts.end() ? FilterVerdict::keep() : it->second;
  }
  void finish() override {
    if (finished) ++*finished;
  }
};

class RunFilterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(zv::fs::create_dir_all(blobs_).ok()); }

  // An accessor over a tree with (or without) separation and the filter.
  FilterAccessor accessor(std::unique_ptr<CompactionFilter> filter,
                          std::optional<KvSeparationOptions> separation = std::nullopt,
                          std::string blob_folder = "") {
    auto config = std::make_shared<TreeConfig>(
        TreeConfig::create(dir_.path(), SeqNoCounter(0), SeqNoCounter(0)));
    config->kv_separation_opts = separation;
    return FilterAccessor(FilterAccessorParts{blob_ids_, config, kTree,
                                              Version::create(1, TreeType::kBlob),
                                              blob_folder.empty() ? blobs_ : blob_folder,
                                              CompactionFilterContext{true}, std::move(filter)});
  }

  static KvSeparationOptions separation(uint32_t threshold, uint64_t file_target) {
    KvSeparationOptions o;
    o.separation_threshold = threshold;
    o.file_target_size = file_target;
    return o;
  }

  static std::unique_ptr<ScriptedFilter> set_value(std::map<std::string, std::string> values) {
    auto f = std::make_unique<ScriptedFilter>();
    for (auto& [k, v] : values) f->verdicts[k] = FilterVerdict::set_value(v);
    return f;
  }

  static InternalValue item(const std::string& key, SeqNo seqno = 9) {
    return InternalValue::new_value(Slice(key), Slice(std::string_view("old")), seqno);
  }

  static BlobIndirection decode(const FilterOutcome& o) {
    EXPECT_EQ(o.kind, FilterOutcome::Kind::kReplace);
    EXPECT_EQ(o.value_type, ValueType::kIndirection);
    std::string_view bytes = o.value;
    auto ind = BlobIndirection::decode(&bytes);
    EXPECT_TRUE(ind.ok());
    EXPECT_TRUE(bytes.empty());
    return ind.ok() ? *ind : BlobIndirection{};
  }

  static std::vector<std::string> files_in(const std::string& folder) {
    auto names = zv::fs::list_dir(folder);
    EXPECT_TRUE(names.ok());
    std::vector<std::string> out = names.ok() ? *names : std::vector<std::string>{};
    std::sort(out.begin(), out.end());
    return out;
  }

  zv::testing::TempDir dir_;
  std::string blobs_ = zv::fs::join(dir_.path(), "blobs");
  SeqNoCounter blob_ids_{40};
};

TEST_F(RunFilterTest, NoFilterKeepsEverything) {
  FilterAccessor a = accessor(nullptr, separation(1, 1 << 20));
  auto out = run_filter(a, item("k"));
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, FilterOutcome{});
  EXPECT_FALSE(a.blob_writer().has_value());
  EXPECT_TRUE(files_in(blobs_).empty());
}

TEST_F(RunFilterTest, EachVerdictGivesItsOutcome) {
  using K = FilterOutcome::Kind;
  const struct {
    FilterVerdict verdict;
    FilterOutcome expected;
  } cases[] = {
      {FilterVerdict::keep(), {K::kKeep, ValueType::kValue, ""}},
      {FilterVerdict::to_tombstone(), {K::kReplace, ValueType::kTombstone, ""}},
      {FilterVerdict::to_weak_tombstone(), {K::kReplace, ValueType::kWeakTombstone, ""}},
      {FilterVerdict::discard(), {K::kDiscard, ValueType::kValue, ""}},
      {FilterVerdict::set_value(std::string("n\0ew", 4)),
       {K::kReplace, ValueType::kValue, std::string("n\0ew", 4)}},
  };
  for (const auto& c : cases) {
    auto f = std::make_unique<ScriptedFilter>();
    f->verdicts["k"] = c.verdict;
    ScriptedFilter* seen = f.get();
    FilterAccessor a = accessor(std::move(f));
    auto out = run_filter(a, item("k"));
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(*out, c.expected) << static_cast<int>(c.verdict.kind);
    EXPECT_EQ(seen->seen, std::vector<std::string>{"k"});
    EXPECT_TRUE(seen->last_level_seen);
  }
}

TEST_F(RunFilterTest, FilterErrorPassesThroughUnchanged) {
  auto f = std::make_unique<ScriptedFilter>();
  f->error = TervikError::invalid_tag("ValueType", 7);
  FilterAccessor a = accessor(std::move(f), separation(1, 1 << 20));
  auto out = run_filter(a, item("k"));
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().debug_string(),
            TervikError::invalid_tag("ValueType", 7).debug_string());
}

TEST_F(RunFilterTest, WithoutSeparationNewValuesStayInline) {
  const std::string big(1 << 20, 'b');
  FilterAccessor a = accessor(set_value({{"k", big}}));
  auto out = run_filter(a, item("k"));
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, (FilterOutcome{FilterOutcome::Kind::kReplace, ValueType::kValue, big}));
  EXPECT_TRUE(files_in(blobs_).empty());
}

TEST_F(RunFilterTest, ValuesFromTheThresholdOnGoToABlobFile) {
  const std::string below(4095, 'a');
  std::string at(4096, 'b');
  at[0] = '\0';
  at[4095] = '\xff';
  FilterAccessor a = accessor(set_value({{"below", below}, {"at", at}}), separation(4096, 1 << 20));

  auto inline_out = run_filter(a, item("below"));
  ASSERT_TRUE(inline_out.ok());
  EXPECT_EQ(*inline_out, (FilterOutcome{FilterOutcome::Kind::kReplace, ValueType::kValue, below}));
  EXPECT_FALSE(a.blob_writer().has_value());
  EXPECT_EQ(blob_ids_.get(), 40u);

  auto out = run_filter(a, item("at", 17));
  ASSERT_TRUE(out.ok());
  const BlobIndirection ind = decode(*out);
  // The first separated value opens the file with the counter's next id.
  EXPECT_EQ(ind.vhandle.blob_file_id, 40u);
  EXPECT_EQ(ind.vhandle.offset, 0u);
  EXPECT_EQ(ind.size, 4096u);
  EXPECT_EQ(blob_ids_.get(), 41u);

  auto writer = a.take_blob_writer();
  ASSERT_TRUE(writer.has_value());
  auto files = std::move(*writer).finish();
  ASSERT_TRUE(files.ok());
  ASSERT_EQ(files->size(), 1u);
  BlobFileMap map{{40, (*files)[0]}};
  auto cache = BlockCache::with_capacity_bytes(1 << 20);
  auto resolved = vlog::resolve_indirection(
      kTree, map, 1, *cache, InternalValue::new_indirection(Slice(std::string_view("at")), out->value, 17));
  ASSERT_TRUE(resolved.ok()) << resolved.error().to_string();
  EXPECT_EQ(resolved->second.view(), at);
}

TEST_F(RunFilterTest, BlobFileClosesAfterTheEntryReachingItsTarget) {
  const std::string v1(5000, '1');
  const std::string v2(5000, '2');
  const std::string v3(5000, '3');
  // Entry size: 38 header bytes, the 2-byte key and the value.
  const uint64_t entry = 38 + 2 + 5000;
  FilterAccessor a =
      accessor(set_value({{"k1", v1}, {"k2", v2}, {"k3", v3}}), separation(100, 2 * entry));
  std::vector<BlobIndirection> handles;
  for (const char* k : {"k1", "k2", "k3"}) {
    auto out = run_filter(a, item(k));
    ASSERT_TRUE(out.ok());
    handles.push_back(decode(*out));
  }
  EXPECT_EQ(handles[0].vhandle, (ValueHandle{40, 0, 5000}));
  // The second entry brings the file exactly to its target and stays in it.
  EXPECT_EQ(handles[1].vhandle, (ValueHandle{40, entry, 5000}));
  EXPECT_EQ(handles[2].vhandle, (ValueHandle{41, 0, 5000}));

  auto files = std::move(*a.take_blob_writer()).finish();
  ASSERT_TRUE(files.ok());
  ASSERT_EQ(files->size(), 2u);
  BlobFileMap map{{40, (*files)[0]}, {41, (*files)[1]}};
  auto cache = BlockCache::with_capacity_bytes(1 << 20);
  const std::string* values[] = {&v1, &v2, &v3};
  for (size_t i = 0; i < 3; ++i) {
    const std::string key = "k" + std::to_string(i + 1);
    auto r = vlog::resolve_indirection(
        kTree, map, 1, *cache, InternalValue::new_indirection(Slice(key), handles[i].encode(), 9));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->second.view(), *values[i]);
  }
}

TEST_F(RunFilterTest, BlobFileThatCannotBeCreatedLeavesTheSlotEmpty) {
  const std::string missing = zv::fs::join(dir_.path(), "no/such/folder");
  FilterAccessor a = accessor(set_value({{"k", std::string(200, 'x')}}), separation(100, 1 << 20),
                              missing);
  auto out = run_filter(a, item("k"));
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().kind(), TervikErrorKind::kIo);
  EXPECT_FALSE(a.blob_writer().has_value());
}

TEST_F(RunFilterTest, FactoryFilterIsTracedAndFinishedOnce) {
  struct Factory : CompactionFilterFactory {
    int made = 0;
    bool last_level = false;
    std::string name() const override { return "my \"filter\""; }
    std::unique_ptr<CompactionFilter> make_filter(const CompactionFilterContext& c) override {
      ++made;
      last_level = c.is_last_level;
      return std::make_unique<ScriptedFilter>();
    }
  } factory;
  zv::log::CaptureSink sink;
  auto filter = create_filter(factory, CompactionFilterContext{true});
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(factory.made, 1);
  EXPECT_TRUE(factory.last_level);
  EXPECT_TRUE(sink.contains("Installing custom compaction filter \"my \\\"filter\\\"\""));

  int finished = 0;
  static_cast<ScriptedFilter*>(filter.get())->finished = &finished;
  FilterAccessor a = accessor(std::move(filter));
  a.finish_filter();
  a.finish_filter();
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(a.filter(), nullptr);
}

}  // namespace
}  // namespace tervik::compaction
