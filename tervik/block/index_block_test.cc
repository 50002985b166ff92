#include "tervik/block/index_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "platform/coding.h"

namespace tervik {
namespace {

IndexBlockEntry entry(std::string key, SeqNo s, uint64_t offset = 0, uint32_t size = 0) {
  return IndexBlockEntry{Slice(key), s, BlockHandle{offset, size}};
}

IndexBlock block_of(const std::vector<IndexBlockEntry>& entries) {
  std::string out;
  EXPECT_TRUE(IndexBlock::encode_into(&out, entries).ok());
  return IndexBlock(Block{BlockHeader{}, Slice(out)});
}

std::vector<IndexBlockEntry> drain(IndexBlockDecoder& d, bool back) {
  std::vector<IndexBlockEntry> out;
  for (;;) {
    auto r = back ? d.next_back() : d.next();
    EXPECT_TRUE(r.ok());
    if (!r.ok() || !*r) break;
    out.push_back(**r);
  }
  if (back) std::reverse(out.begin(), out.end());
  return out;
}

TEST(IndexBlock, SeeksMatchTheTableOfCases) {
  const std::vector<IndexBlockEntry> entries = {entry("b", 7, 0, 40), entry("d", 3, 40, 50)};
  const IndexBlock block = block_of(entries);
  struct Case {
    std::string name;
    std::string key;
    SeqNo seqno;
    bool upper;  // seek_upper instead of seek
    bool result;
    std::vector<size_t> forward;  // entries yielded from the front afterwards
  };
  const Case cases[] = {
      {"seek (b, 8)", "b", 8, false, true, {0, 1}},
      {"seek (b, 7)", "b", 7, false, true, {1}},
      {"seek (d, 3)", "d", 3, false, false, {}},
      {"seek (a, 0)", "a", 0, false, true, {0, 1}},
      {"seek_upper c", "c", 0, true, true, {0, 1}},
      {"seek_upper z", "z", 0, true, true, {0, 1}},
      {"seek_upper a", "a", 0, true, true, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = block.decoder();
    ASSERT_TRUE(d.ok());
    auto r = c.upper ? d->seek_upper(c.key) : d->seek(c.key, c.seqno);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, c.result);
    std::vector<IndexBlockEntry> want;
    for (size_t i : c.forward) want.push_back(entries[i]);
    EXPECT_EQ(drain(*d, false), want);
    if (!c.result) {
      EXPECT_TRUE(drain(*d, true).empty());
    }
  }
}

TEST(IndexBlock, OneEntryLayout) {
  std::string out;
  ASSERT_TRUE(IndexBlock::encode_into(&out, std::vector{entry("k", 5, 300, 77)}).ok());
  // marker 0, offset 300 (0xAC 0x02), size 77, seqno 5, key length 1, "k"
  const std::string items("\x00\xAC\x02\x4D\x05\x01k\xFF", 8);
  ASSERT_EQ(out.substr(0, 8), items);
  ASSERT_EQ(out.size(), 8 + 2 + 31u);
  EXPECT_EQ(zv::coding::get_u16_le(out.data() + 8), 0u);
  const char* t = out.data() + 10;
  EXPECT_EQ(t[0], 1);  // restart interval
  EXPECT_EQ(t[1], 2);  // step size
  EXPECT_EQ(zv::coding::get_u32_le(t + 2), 1u);
  EXPECT_EQ(zv::coding::get_u32_le(t + 6), 8u);
  EXPECT_EQ(zv::coding::get_u32_le(t + 10), 0u);
  EXPECT_EQ(zv::coding::get_u32_le(t + 14), 0u);
  EXPECT_EQ(std::string(t + 18, 9), std::string("\x01\x00\x00\x00\x00\x00\x00\x00\x00", 9));
  EXPECT_EQ(zv::coding::get_u32_le(t + 27), 1u);
  // Appended after other bytes, the payload is the same: positions count from
  // its own start.
  std::string after = "frame header stand-in";
  ASSERT_TRUE(IndexBlock::encode_into(&after, std::vector{entry("k", 5, 300, 77)}).ok());
  EXPECT_EQ(after.substr(21), out);
}

TEST(IndexBlock, MatchesAModelInBothWidths) {
  std::mt19937 rng(77);
  for (size_t n : {size_t{1}, size_t{2}, size_t{9}, size_t{300}, size_t{5000}}) {
    SCOPED_TRACE(n);
    // Distinct end keys (one version each is how tables end blocks); large
    // counts push positions past 65535.
    std::vector<IndexBlockEntry> entries;
    uint64_t offset = 0;
    for (size_t i = 0; i < n; ++i) {
      char key[32];
      std::snprintf(key, sizeof(key), "key-%08zu-%06u", i * 2, static_cast<unsigned>(rng() % 1000000));
      uint32_t size = 33 + rng() % 5000;
      entries.push_back(entry(key, rng() % 1000, offset, size));
      offset += size;
    }
    IndexBlock block = block_of(entries);
    std::string_view p = block.block().data.view();
    EXPECT_EQ(static_cast<uint8_t>(p[p.size() - 30]), n == 5000 ? 4 : 2);
    auto d = block.decoder();
    EXPECT_EQ(drain(*d, false), entries);
    auto d2 = block.decoder();
    EXPECT_EQ(drain(*d2, true), entries);
    for (int probe = 0; probe < 50; ++probe) {
      const IndexBlockEntry& e = entries[rng() % n];
      std::string k(e.end_key.view());
      if (probe % 3 == 1) k.back() = static_cast<char>(k.back() + 1);  // between entries
      SeqNo s = rng() % 1001;
      auto first = std::find_if(entries.begin(), entries.end(), [&](const IndexBlockEntry& x) {
        int c = x.end_key.compare(std::string_view(k));
        return c > 0 || (c == 0 && x.seqno < s);
      });
      std::string hi(entries[rng() % n].end_key.view());
      auto upper = std::find_if(entries.begin(), entries.end(),
                                [&](const IndexBlockEntry& x) { return x.end_key.compare(std::string_view(hi)) > 0; });
      if (upper == entries.end()) --upper;
      auto dec = block.decoder();
      auto r = dec->seek(k, s);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(*r, first != entries.end());
      ASSERT_TRUE(dec->seek_upper(hi).ok());
      std::vector<IndexBlockEntry> want;
      if (first != entries.end() && first <= upper) want.assign(first, upper + 1);
      EXPECT_EQ(drain(*dec, probe % 2 == 0), want) << k << " " << s << " .. " << hi;
    }
  }
}

TEST(IndexBlock, DamagedBlocksAreErrorValues) {
  std::string good;
  ASSERT_TRUE(IndexBlock::encode_into(&good, std::vector{entry("a", 1, 0, 40), entry("b", 2, 40, 40)}).ok());
  const size_t tr = good.size() - 31;
  struct Case {
    std::string name;
    size_t at;
    char byte;
  };
  const Case cases[] = {
      {"restart interval 2", tr, 2},
      {"restart interval 0", tr, 0},
      {"key length past the items", 4, 0x7F},
      {"restart entry past the items", tr - 1, 0x7F},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string p = good;
    p[c.at] = c.byte;
    IndexBlock block(Block{BlockHeader{}, Slice(p)});
    auto d = block.decoder();
    if (!d.ok()) {
      EXPECT_EQ(d.error().kind(), TervikErrorKind::kUnrecoverable);
      continue;
    }
    auto s = d->seek("a", 5);
    auto f = d->next();
    auto d2 = block.decoder();
    auto b = d2->next_back();
    EXPECT_TRUE(!s.ok() || !f.ok() || !b.ok());
    for (auto* e : {s.ok() ? nullptr : &s.error(), f.ok() ? nullptr : &f.error(),
                    b.ok() ? nullptr : &b.error()}) {
      if (e) {
        EXPECT_EQ(e->kind(), TervikErrorKind::kUnrecoverable);
      }
    }
  }
}

}  // namespace
}  // namespace tervik
