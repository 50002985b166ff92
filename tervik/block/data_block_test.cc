#include "tervik/block/data_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

#include "platform/coding.h"
#include "platform/panic.h"

namespace tervik {
namespace {

struct Item {
  std::string key;
  SeqNo seqno;
  ValueType type;
  std::string value;
};

InternalValue entry(const Item& i) {
  return InternalValue::from_components(Slice(i.key), Slice(i.value), i.seqno, i.type);
}

Block block_of(std::string payload) { return Block{BlockHeader{}, Slice(payload)}; }

std::string encode(const std::vector<Item>& items, uint8_t restart, float ratio) {
  std::vector<InternalValue> entries;
  for (const Item& i : items) entries.push_back(entry(i));
  std::string out;
  auto st = DataBlock::encode_into(&out, entries, restart, ratio);
  EXPECT_TRUE(st.ok());
  return out;
}

struct Trailer {
  uint8_t restart, step;
  uint32_t restarts, bi_offset, hash_count, hash_offset, items;
};
Trailer trailer_of(const std::string& p) {
  const char* t = p.data() + p.size() - 31;
  return Trailer{static_cast<uint8_t>(t[0]),         static_cast<uint8_t>(t[1]),
                 zv::coding::get_u32_le(t + 2),     zv::coding::get_u32_le(t + 6),
                 zv::coding::get_u32_le(t + 10),    zv::coding::get_u32_le(t + 14),
                 zv::coding::get_u32_le(t + 27)};
}

// Sorted items over a small alphabet, so that keys share prefixes and user
// keys repeat with several seqnos.
std::vector<Item> random_items(std::mt19937& rng, size_t n, size_t max_value) {
  std::vector<Item> items;
  const ValueType types[] = {ValueType::kValue, ValueType::kTombstone, ValueType::kWeakTombstone,
                             ValueType::kIndirection};
  for (size_t i = 0; i < n; ++i) {
    Item it;
    size_t len = 1 + rng() % 12;
    for (size_t j = 0; j < len; ++j) it.key.push_back(static_cast<char>('a' + rng() % 3));
    it.seqno = rng() % 4 == 0 ? (uint64_t{1} << 40) + rng() : rng() % 50;
    it.type = types[rng() % 4];
    if (it.type == ValueType::kValue || it.type == ValueType::kIndirection) {
      it.value = std::string(rng() % (max_value + 1), static_cast<char>('0' + rng() % 10));
    }
    items.push_back(std::move(it));
  }
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    return a.key != b.key ? a.key < b.key : a.seqno > b.seqno;
  });
  items.erase(std::unique(items.begin(), items.end(),
                          [](const Item& a, const Item& b) {
                            return a.key == b.key && a.seqno == b.seqno;
                          }),
              items.end());
  return items;
}

void expect_item(const std::optional<InternalValue>& got, const Item& want) {
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->key.user_key.view(), want.key);
  EXPECT_EQ(got->key.seqno, want.seqno);
  EXPECT_EQ(got->key.value_type, want.type);
  EXPECT_EQ(got->value.view(), want.value);
}

// Drains the decoder from the front, or from the back when `back`.
std::vector<Item> drain(DataBlockDecoder& d, bool back) {
  std::vector<Item> out;
  for (;;) {
    auto r = back ? d.next_back() : d.next();
    EXPECT_TRUE(r.ok());
    if (!r.ok() || !*r) break;
    const InternalValue& v = **r;
    out.push_back(Item{std::string(v.key.user_key.view()), v.key.seqno, v.key.value_type,
                       std::string(v.value.view())});
  }
  if (back) std::reverse(out.begin(), out.end());
  return out;
}

// Takes items from random ends until both are done; returns them in order.
std::vector<Item> drain_mixed(DataBlockDecoder& d, std::mt19937& rng) {
  std::vector<Item> front, back;
  bool front_done = false, back_done = false;
  while (!front_done || !back_done) {
    bool from_back = front_done || (!back_done && rng() % 2);
    auto r = from_back ? d.next_back() : d.next();
    EXPECT_TRUE(r.ok());
    if (!r.ok()) break;
    if (!*r) {
      (from_back ? back_done : front_done) = true;
      continue;
    }
    const InternalValue& v = **r;
    (from_back ? back : front)
        .push_back(Item{std::string(v.key.user_key.view()), v.key.seqno, v.key.value_type,
                        std::string(v.value.view())});
  }
  std::reverse(back.begin(), back.end());
  front.insert(front.end(), back.begin(), back.end());
  return front;
}

bool same(const std::vector<Item>& a, std::vector<Item>::const_iterator b,
          std::vector<Item>::const_iterator e) {
  return std::equal(a.begin(), a.end(), b, e, [](const Item& x, const Item& y) {
    return x.key == y.key && x.seqno == y.seqno && x.type == y.type && x.value == y.value;
  });
}

std::string probe_key(std::mt19937& rng, const std::vector<Item>& items) {
  if (rng() % 2) return items[rng() % items.size()].key;
  std::string k;
  size_t len = 1 + rng() % 13;
  for (size_t j = 0; j < len; ++j) k.push_back(static_cast<char>('a' + rng() % 4));
  return k;
}

TEST(DataBlock, MatchesASortedModel) {
  std::mt19937 rng(20261211);
  const float ratios[] = {0.0f, 0.001f, 0.5f, 1.33f, 4.0f};
  bool saw_step[5] = {};
  for (int round = 0; round < 240; ++round) {
    size_t n = 1 + rng() % 400;
    // Every fourth round stores large values so that restart positions pass
    // 65535 and the binary index widens to u32.
    size_t max_value = round % 4 == 0 ? 3000 : 12;
    std::vector<Item> items = random_items(rng, n, max_value);
    uint8_t restart = static_cast<uint8_t>(round % 3 == 0 ? 1 + rng() % 4 : 1 + rng() % 255);
    float ratio = ratios[rng() % 5];
    SCOPED_TRACE("round " + std::to_string(round) + " items " + std::to_string(items.size()) +
                 " restart " + std::to_string(restart) + " ratio " + std::to_string(ratio));
    std::string payload = encode(items, restart, ratio);
    Trailer t = trailer_of(payload);
    ASSERT_EQ(t.restart, restart);
    ASSERT_EQ(t.items, items.size());
    ASSERT_EQ(t.restarts, (items.size() + restart - 1) / restart);
    saw_step[t.step] = true;
    DataBlock block(block_of(payload));

    {  // Whole block from each end.
      auto d = block.decoder();
      ASSERT_TRUE(d.ok());
      ASSERT_TRUE(same(drain(*d, false), items.begin(), items.end()));
      auto d2 = block.decoder();
      ASSERT_TRUE(same(drain(*d2, true), items.begin(), items.end()));
    }
    {  // Random interleaving of both ends meets without repeats or losses.
      auto d = block.decoder();
      ASSERT_TRUE(same(drain_mixed(*d, rng), items.begin(), items.end()));
    }
    for (int probe = 0; probe < 12; ++probe) {
      std::string lo = probe_key(rng, items);
      std::string hi = probe_key(rng, items);
      bool lo_ex = rng() % 2;
      bool hi_ex = rng() % 2;
      SCOPED_TRACE("lo " + lo + (lo_ex ? " (excl)" : "") + " hi " + hi + (hi_ex ? " (excl)" : ""));
      auto first = std::find_if(items.begin(), items.end(), [&](const Item& i) {
        return lo_ex ? i.key > lo : i.key >= lo;
      });
      auto last = std::find_if(first, items.end(), [&](const Item& i) {
        return hi_ex ? i.key >= hi : i.key > hi;
      });
      const bool back_first = probe % 2 == 1;
      SCOPED_TRACE(back_first ? "back seek first" : "front seek first");
      auto upper_it = std::find_if(items.rbegin(), items.rend(), [&](const Item& i) {
        return hi_ex ? i.key < hi : i.key <= hi;
      });
      auto d = block.decoder();
      auto seek_front = [&] { return lo_ex ? d->seek_exclusive(lo) : d->seek(lo); };
      auto seek_back = [&] { return hi_ex ? d->seek_upper_exclusive(hi) : d->seek_upper(hi); };
      if (back_first) {
        auto u = seek_back();
        ASSERT_TRUE(u.ok());
        EXPECT_EQ(*u, hi_ex ? upper_it != items.rend()
                            : upper_it != items.rend() && upper_it->key == hi);
      }
      auto s = seek_front();
      ASSERT_TRUE(s.ok());
      // The second seek finds its item only inside what the first left over.
      bool front_in = first != items.end() && (!back_first || first < last);
      EXPECT_EQ(*s, lo_ex ? front_in : front_in && first->key == lo);
      if (!back_first) {
        auto u = seek_back();
        ASSERT_TRUE(u.ok());
        bool in_range = upper_it != items.rend() && upper_it.base() - 1 >= first;
        EXPECT_EQ(*u, hi_ex ? in_range : in_range && upper_it->key == hi);
      }
      std::vector<Item> want;
      if (first < last) want.assign(first, last);
      switch (probe % 3) {
        case 0: ASSERT_TRUE(same(drain(*d, false), want.begin(), want.end())); break;
        case 1: ASSERT_TRUE(same(drain(*d, true), want.begin(), want.end())); break;
        default: ASSERT_TRUE(same(drain_mixed(*d, rng), want.begin(), want.end())); break;
      }

      SeqNo snapshot = rng() % 3 == 0 ? (uint64_t{1} << 41) : rng() % 60;
      auto model = std::find_if(items.begin(), items.end(), [&](const Item& i) {
        return i.key == lo && i.seqno < snapshot;
      });
      auto got = block.point_read(lo, snapshot);
      ASSERT_TRUE(got.ok());
      if (model == items.end()) {
        EXPECT_FALSE(got->has_value()) << "snapshot " << snapshot;
      } else {
        expect_item(*got, *model);
      }
    }
  }
  EXPECT_TRUE(saw_step[2]);
  EXPECT_TRUE(saw_step[4]);
}

// Every seek order and every way of taking items over tiny blocks, against a
// deque model of the range: an item a seek buffered at one end is handed out
// exactly once, by whichever end reaches it first.
TEST(DataBlock, SeekOrdersMatchARangeModel) {
  const std::vector<Item> abc = {{"a", 50, ValueType::kValue, "1"},
                                 {"b", 50, ValueType::kValue, "2"},
                                 {"c", 50, ValueType::kValue, "3"}};
  const std::vector<Item> dups = {{"a", 50, ValueType::kValue, "1"},
                                  {"b", 50, ValueType::kValue, "2"},
                                  {"b", 40, ValueType::kTombstone, ""},
                                  {"c", 50, ValueType::kValue, "3"}};
  const char* keys[] = {"0", "a", "b", "bb", "c", "d"};
  // f: next(), b: next_back(); the pattern repeats until both ends are done.
  const char* takes[] = {"b", "f", "bf", "fb", "bbf"};
  for (const std::vector<Item>* items : {&abc, &dups}) {
    for (uint8_t restart : {1, 2, 3, 16}) {
      DataBlock block(block_of(encode(*items, restart, 0.0f)));
      for (bool back_first : {false, true}) {
        for (const char* lo : keys) {
          for (const char* hi : keys) {
            for (int ex = 0; ex < 4; ++ex) {
              const bool lo_ex = ex & 1, hi_ex = ex & 2;
              for (const char* take : takes) {
                SCOPED_TRACE(std::string(back_first ? "upper " : "lower ") + "first, items " +
                             std::to_string(items->size()) + " restart " +
                             std::to_string(restart) + " lo " + lo + (lo_ex ? "(ex)" : "") +
                             " hi " + hi + (hi_ex ? "(ex)" : "") + " take " + take);
                std::vector<Item> range;
                for (const Item& i : *items) {
                  bool above = lo_ex ? i.key > lo : i.key >= lo;
                  bool below = hi_ex ? i.key < hi : i.key <= hi;
                  if (above && below) range.push_back(i);
                }
                auto d = block.decoder();
                ASSERT_TRUE(d.ok());
                auto seek_lo = [&] { return lo_ex ? d->seek_exclusive(lo) : d->seek(lo); };
                auto seek_hi = [&] { return hi_ex ? d->seek_upper_exclusive(hi) : d->seek_upper(hi); };
                ASSERT_TRUE((back_first ? seek_hi() : seek_lo()).ok());
                ASSERT_TRUE((back_first ? seek_lo() : seek_hi()).ok());
                size_t front = 0, back = range.size();
                bool front_done = false, back_done = false;
                for (size_t step = 0; !front_done || !back_done; ++step) {
                  ASSERT_LT(step, 20u);
                  bool from_back = take[step % std::strlen(take)] == 'b';
                  if (from_back ? back_done : front_done) from_back = !from_back;
                  auto r = from_back ? d->next_back() : d->next();
                  ASSERT_TRUE(r.ok());
                  if (front == back) {
                    EXPECT_FALSE(r->has_value()) << "step " << step;
                    (from_back ? back_done : front_done) = true;
                    continue;
                  }
                  const Item& want = from_back ? range[--back] : range[front++];
                  expect_item(*r, want);
                  if (HasFatalFailure()) return;
                }
              }
            }
          }
        }
      }
    }
  }
}

TEST(DataBlock, LayoutFigures) {
  auto item = [](std::string key, SeqNo s, size_t value_len) {
    return Item{std::move(key), s, ValueType::kValue, std::string(value_len, 'v')};
  };
  std::vector<Item> hundred;
  for (int i = 0; i < 100; ++i) hundred.push_back(item("k" + std::to_string(1000 + i), 1, 1));
  std::vector<Item> many;  // 300 restart intervals at R = 1
  for (int i = 0; i < 300; ++i) many.push_back(item("k" + std::to_string(1000 + i), 1, 1));
  // A first item of 7 + L bytes puts the second (restart) item at 7 + L.
  std::vector<Item> at65535 = {item("a", 1, 65528), item("b", 1, 0)};
  std::vector<Item> at65536 = {item("a", 1, 65529), item("b", 1, 0)};
  struct Case {
    std::string name;
    std::vector<Item> items;
    uint8_t restart;
    float ratio;
    uint8_t step;
    uint32_t hash_count;
    int64_t last_restart;  // -1: not checked
  };
  const Case cases[] = {
      {"one item", {item("x", 3, 2)}, 16, 0.0f, 2, 0, 0},
      {"ratio 0.75 over 100", hundred, 16, 0.75f, 2, 75, -1},
      {"ratio 0.001 over 100", hundred, 16, 0.001f, 2, 1, -1},
      {"ratio 0", hundred, 16, 0.0f, 2, 0, -1},
      {"254 intervals keep the hash index", std::vector<Item>(many.begin(), many.begin() + 254), 1,
       1.0f, 2, 254, -1},
      {"255 or more intervals drop the hash index", many, 1, 1.0f, 2, 0, -1},
      {"last restart at 65535", at65535, 1, 0.0f, 2, 0, 65535},
      {"last restart at 65536", at65536, 1, 0.0f, 4, 0, 65536},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string p = encode(c.items, c.restart, c.ratio);
    Trailer t = trailer_of(p);
    EXPECT_EQ(t.step, c.step);
    EXPECT_EQ(t.hash_count, c.hash_count);
    EXPECT_EQ(t.hash_offset == 0, c.hash_count == 0);
    EXPECT_EQ(t.items, c.items.size());
    EXPECT_EQ(static_cast<uint8_t>(p[t.bi_offset - 1]), 0xFF);
    // The last restart position is the last binary index entry.
    uint32_t last = t.step == 2 ? zv::coding::get_u16_le(p.data() + t.bi_offset + 2 * (t.restarts - 1))
                                : zv::coding::get_u32_le(p.data() + t.bi_offset + 4 * (t.restarts - 1));
    if (c.last_restart >= 0) {
      EXPECT_EQ(last, c.last_restart);
    }
    // Every item reads back by point read.
    DataBlock block(block_of(p));
    for (const Item& i : c.items) {
      auto got = block.point_read(i.key, i.seqno + 1);
      ASSERT_TRUE(got.ok());
      expect_item(*got, i);
    }
  }
}

TEST(DataBlock, PointReadsWalkVersionsAndHashBuckets) {
  // Versions 9, 5, 2 of one key; at R = 2 they span two restart intervals, so
  // the key's bucket is a conflict and reads go through the binary search.
  std::vector<Item> items = {{"a", 1, ValueType::kValue, "a1"},
                             {"k", 9, ValueType::kValue, "v9"},
                             {"k", 5, ValueType::kTombstone, ""},
                             {"k", 2, ValueType::kValue, "v2"},
                             {"z", 4, ValueType::kWeakTombstone, ""}};
  for (float ratio : {0.0f, 8.0f}) {
    SCOPED_TRACE(ratio);
    std::string p = encode(items, 2, ratio);
    DataBlock block(block_of(p));
    struct Case {
      SeqNo snapshot;
      int want;  // index into items, -1 for none
    };
    for (Case c : {Case{10, 1}, Case{6, 2}, Case{5, 3}, Case{2, -1}}) {
      auto got = block.point_read("k", c.snapshot);
      ASSERT_TRUE(got.ok());
      if (c.want < 0) {
        EXPECT_FALSE(got->has_value());
      } else {
        expect_item(*got, items[c.want]);
      }
    }
    if (ratio > 0) {
      Trailer t = trailer_of(p);
      uint64_t b = zv::xxh3_64("k", 1) % t.hash_count;
      EXPECT_EQ(static_cast<uint8_t>(p[t.hash_offset + b]), 255);
    }
  }
  // A key whose bucket is free is answered without decoding any item: damage
  // every item byte and the read still says none.
  std::string p = encode({{"only", 1, ValueType::kValue, "v"}}, 16, 64.0f);
  Trailer t = trailer_of(p);
  std::string absent;
  for (int i = 0; absent.empty(); ++i) {
    std::string k = "miss" + std::to_string(i);
    if (static_cast<uint8_t>(p[t.hash_offset + zv::xxh3_64(k.data(), k.size()) % t.hash_count]) == 254)
      absent = k;
  }
  for (uint32_t i = 0; i + 1 < t.bi_offset; ++i) p[i] = 3;
  auto got = DataBlock(block_of(p)).point_read(absent, 100);
  ASSERT_TRUE(got.ok());
  EXPECT_FALSE(got->has_value());
}

TEST(DataBlock, EncoderRefusesBadArguments) {
  std::vector<InternalValue> one = {InternalValue::new_value(Slice("k"), Slice("v"), 1)};
  std::string out;
  auto st = DataBlock::encode_into(&out, one, 0, 0.0f);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), TervikErrorKind::kIo);
  EXPECT_EQ(st.error().io_error().kind(), zv::IoErrorKind::kInvalidInput);
  out.clear();
  // Keys built past the checked constructors are refused, not truncated.
  std::vector<InternalValue> bad = {
      InternalValue(InternalKey(Slice(std::string(65536, 'k')), 1, ValueType::kValue), Slice()),
  };
  out = "kept";
  st = DataBlock::encode_into(&out, bad, 16, 0.0f);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().io_error().kind(), zv::IoErrorKind::kInvalidInput);
  EXPECT_EQ(out, "kept");
  out.clear();
  EXPECT_THROW((void)DataBlock::encode_into(&out, one, 16, -0.0f), zv::PanicError);
  EXPECT_THROW((void)DataBlock::encode_into(&out, {}, 16, 0.0f), zv::PanicError);
}

TEST(DataBlock, DamagedBlocksAreErrorValues) {
  const std::vector<Item> items = {{"apple", 3, ValueType::kValue, "red"},
                                   {"apricot", 2, ValueType::kValue, "orange"},
                                   {"banana", 1, ValueType::kTombstone, ""}};
  const std::string good = encode(items, 2, 1.0f);
  const Trailer t = trailer_of(good);
  const size_t tr = good.size() - 31;
  struct Case {
    std::string name;
    std::function<void(std::string&)> damage;
    TervikErrorKind kind;
  };
  const Case cases[] = {
      {"stored restart interval 0", [&](std::string& p) { p[tr] = 0; },
       TervikErrorKind::kUnrecoverable},
      {"step size 3", [&](std::string& p) { p[tr + 1] = 3; }, TervikErrorKind::kUnrecoverable},
      {"binary index offset past the payload",
       [&](std::string& p) { p[tr + 6] = static_cast<char>(0xF0); p[tr + 7] = 0x7F; },
       TervikErrorKind::kUnrecoverable},
      {"binary index longer than the payload",
       [&](std::string& p) { p[tr + 2] = static_cast<char>(0xFF); p[tr + 3] = 0x7F; },
       TervikErrorKind::kUnrecoverable},
      {"hash index past the payload", [&](std::string& p) { p[tr + 14] = static_cast<char>(0xF0); },
       TervikErrorKind::kUnrecoverable},
      {"restart entry past the items",
       [&](std::string& p) { p[t.bi_offset + 2] = static_cast<char>(0xF0); },
       TervikErrorKind::kUnrecoverable},
      {"value type 3", [&](std::string& p) { p[0] = 3; }, TervikErrorKind::kInvalidTag},
      {"key length beyond the items",
       [&](std::string& p) { p[2] = 0x7F; }, TervikErrorKind::kUnrecoverable},
      {"payload shorter than a trailer", [&](std::string& p) { p.resize(20); },
       TervikErrorKind::kUnrecoverable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string p = good;
    c.damage(p);
    DataBlock block(block_of(p));
    // Whatever the damage, no path panics or reads outside the payload: each
    // either fails with the error or (for damage it never reaches) succeeds.
    bool failed = false;
    auto check = [&](auto r) {
      if (!r.ok()) {
        failed = true;
        EXPECT_EQ(r.error().kind(), c.kind) << r.error().to_string();
      }
    };
    check(block.point_read("apricot", 10));
    check(block.point_read("banana", 10));
    auto d = block.decoder();
    if (!d.ok()) {
      check(std::move(d));
    } else {
      for (int i = 0; i < 4; ++i) check(d->next());
      auto d2 = block.decoder();
      for (int i = 0; i < 4; ++i) check(d2->next_back());
      auto d3 = block.decoder();
      check(d3->seek("b"));
    }
    EXPECT_TRUE(failed);
  }
}

}  // namespace
}  // namespace tervik
