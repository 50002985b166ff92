#include "tervik/merge/compaction_stream.h"

#include <gtest/gtest.h>

#include "tervik/memtable/memtable.h"
#include "tervik/merge/testing/vector_source.h"

namespace tervik {
namespace {

using testing::iv;
using testing::show;
using testing::SourceStep;
using testing::VectorSource;
using Box = std::unique_ptr<DoubleEndedSource>;

struct RecordingHook : DroppedItemHook {
  std::vector<std::string> dropped;
  void on_dropped(const InternalValue& e) override { dropped.push_back(show(ReadItem(e))); }
};

std::vector<std::string> drain(CompactionStream<Merger<Box>>& s) {
  std::vector<std::string> out;
  for (;;) {
    ReadItem item = s.next();
    out.push_back(show(item));
    if (!item || !item->ok()) return out;
  }
}

TEST(CompactionStreamTest, WatermarkCases) {
  const auto V = ValueType::kValue;
  const auto T = ValueType::kTombstone;
  const auto W = ValueType::kWeakTombstone;
  const auto I = ValueType::kIndirection;
  struct Case {
    std::string name;
    std::vector<SourceStep> entries;
    SeqNo gc;
    bool evict;
    bool zero;
    std::vector<std::string> want;
    std::vector<std::string> dropped;
  };
  const Case cases[] = {
      {"the newest version below the watermark stays, older ones are drained",
       {{iv("k", 8)}, {iv("k", 6)}, {iv("k", 4)}, {iv("k", 2)}}, 5, false, false,
       {"k:8:V", "k:6:V", "k:4:V", "END"}, {"k:2:V"}},
      {"a snapshot at the watermark keeps the version below it",
       {{iv("k", 2)}, {iv("k", 1)}}, 2, false, false, {"k:2:V", "k:1:V", "END"}, {}},
      {"zeroing", {{iv("k", 8)}, {iv("k", 6)}}, 10, false, true, {"k:0:V", "END"}, {"k:6:V"}},
      {"zeroing keeps the watermark itself", {{iv("k", 10)}, {iv("l", 9)}}, 10, false, true,
       {"k:10:V", "l:0:V", "END"}, {}},
      {"tombstone evicted with what it covers", {{iv("k", 8, T)}, {iv("k", 6)}}, 10, true, false,
       {"END"}, {"k:6:V"}},
      {"tombstone kept without eviction", {{iv("k", 8, T)}, {iv("k", 6)}}, 10, false, false,
       {"k:8:T", "END"}, {"k:6:V"}},
      {"weak tombstone annihilates the value", {{iv("k", 8, W)}, {iv("k", 6)}}, 10, false, false,
       {"END"}, {"k:6:V"}},
      {"weak tombstone annihilates with eviction", {{iv("k", 8, W)}, {iv("k", 6)}}, 10, true, false,
       {"END"}, {"k:6:V"}},
      {"weak tombstone over an indirection stays", {{iv("k", 8, W)}, {iv("k", 6, I)}}, 10, false,
       false, {"k:8:W", "END"}, {"k:6:Vb"}},
      {"weak tombstone over a tombstone stays", {{iv("k", 8, W)}, {iv("k", 6, T)}}, 10, false, false,
       {"k:8:W", "END"}, {"k:6:T"}},
      {"weak tombstone above the watermark", {{iv("k", 8, W)}, {iv("k", 6)}}, 5, false, false,
       {"k:8:W", "k:6:V", "END"}, {}},
      {"lone tombstone evicted above the watermark", {{iv("a", 1)}, {iv("k", 8, T)}}, 5, true, false,
       {"a:1:V", "END"}, {}},
      {"lone weak tombstone evicted", {{iv("k", 8, W)}, {iv("m", 3, V)}}, 0, true, false,
       {"m:3:V", "END"}, {}},
      {"several keys",
       {{iv("a", 9)}, {iv("a", 3)}, {iv("a", 1)}, {iv("b", 7, T)}, {iv("b", 2)}, {iv("c", 4, T)},
        {iv("c", 3)}, {iv("d", 3)}},
       5, true, true, {"a:9:V", "a:0:V", "b:7:T", "b:0:V", "d:0:V", "END"},
       {"a:1:V", "c:3:V"}},
      {"watermark zero keeps everything", {{iv("k", 8)}, {iv("k", 0)}}, 0, true, true,
       {"k:8:V", "k:0:V", "END"}, {}},
      {"error in the peek", {{iv("k", 8)}, {iv("k", 6), true}}, 10, false, false, {"ERR"}, {}},
      {"error while draining",
       {{iv("k", 8)}, {iv("k", 6)}, {iv("k", 4)}, {iv("k", 3), true}}, 10, false, false,
       {"ERR"}, {"k:6:V"}},
  };
  for (const Case& c : cases) {
    RecordingHook hook;
    std::vector<Box> sources;
    sources.push_back(std::make_unique<VectorSource>(c.entries));
    CompactionStream<Merger<Box>> s(Merger<Box>(std::move(sources)),
                                    {c.gc, c.evict, c.zero, &hook});
    EXPECT_EQ(drain(s), c.want) << c.name;
    EXPECT_EQ(hook.dropped, c.dropped) << c.name;
  }
}

TEST(CompactionStreamTest, FlushOfSealedMemtables) {
  // Two memtables merged forward, as a flush reads them.
  auto older = Memtable::create(1), newer = Memtable::create(2);
  older->insert(InternalValue::new_value(Slice("k"), Slice("v1"), 1));
  older->insert(InternalValue::new_value(Slice("x"), Slice("x1"), 2));
  newer->insert(InternalValue::new_value(Slice("k"), Slice("v2"), 3));
  newer->insert(InternalValue::new_tombstone(Slice("x"), 4));
  std::vector<MemtableRange> sources = {older->iter(), newer->iter()};
  CompactionStream<Merger<MemtableRange>> s(Merger<MemtableRange>(std::move(sources)),
                                            {4, false, false, nullptr});
  std::vector<std::string> got;
  for (ReadItem item = s.next(); item; item = s.next()) got.push_back(show(item));
  // The tombstone at the watermark hides x:2 from later reads only: a
  // snapshot at 4 still reads it.
  EXPECT_EQ(got, (std::vector<std::string>{"k:3:V", "x:4:T", "x:2:V"}));
}

}  // namespace
}  // namespace tervik
