#include "platform/siphash.h"

#include <gtest/gtest.h>

#include <string>

namespace zv {
namespace {

std::string counting_bytes(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
  return s;
}

// Key 00 01 .. 0f as two little-endian words, the published vectors' key.
constexpr uint64_t kK0 = 0x0706050403020100ULL;
constexpr uint64_t kK1 = 0x0f0e0d0c0b0a0908ULL;

TEST(SipHash, TwoFourMatchesThePublishedVector) {
  std::string m = counting_bytes(15);
  EXPECT_EQ(siphash24(kK0, kK1, m.data(), m.size()), 0xa129ca6149be45e5ULL);
}

// Message 00 01 .. (n-1) under the counting key, every block-boundary case.
TEST(SipHash, OneThreeCountingPattern) {
  struct Case {
    size_t len;
    uint64_t want;
  } cases[] = {
      {0, 0xabac0158050fc4dcULL},  {1, 0xc9f49bf37d57ca93ULL},  {7, 0xd3927d989bb11140ULL},
      {8, 0x369095118d299a8eULL},  {9, 0x25a48eb36c063de4ULL},  {15, 0xd320d86d2a519956ULL},
      {16, 0xcc4fdd1a7d908b66ULL}, {63, 0x9d199062b7bbb3a8ULL},
  };
  for (const Case& c : cases) {
    std::string m = counting_bytes(c.len);
    EXPECT_EQ(siphash13(kK0, kK1, m.data(), m.size()), c.want) << c.len;
  }
}

// Zero keys: the values the interpreter's bytes hash gives with a zero seed
// (PYTHONHASHSEED=0 python3 -c 'print(hash(b"abc"))', as signed 64-bit).
TEST(SipHash, OneThreeZeroKeysMatchInterpreterHash) {
  struct Case {
    std::string msg;
    int64_t want;
  } cases[] = {
      {"abc", -4594863902769663758LL},
      {"zivior fingerprint", 3559371399960875377LL},
      {counting_bytes(40), -7657190176164314618LL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<int64_t>(siphash13(0, 0, c.msg.data(), c.msg.size())), c.want);
  }
}

// Feeding in pieces of every size gives the one-shot value.
TEST(SipHash, StreamingEqualsOneShot) {
  std::string m = counting_bytes(70);
  const uint64_t want = siphash13(kK0, kK1, m.data(), m.size());
  for (size_t step = 1; step <= 17; ++step) {
    SipHasher13 h(kK0, kK1);
    for (size_t i = 0; i < m.size(); i += step) h.update(m.substr(i, step));
    EXPECT_EQ(h.finish(), want) << step;
    EXPECT_EQ(h.finish(), want) << "finish leaves the state usable";
  }
}

}  // namespace
}  // namespace zv
