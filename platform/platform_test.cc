#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/checksum.h"
#include "platform/coding.h"
#include "platform/env.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/mmap.h"
#include "platform/panic.h"
#include "platform/testing/temp_dir.h"

namespace zv {
namespace {

TEST(Checksum, KnownValues) {
  EXPECT_EQ(crc32c("123456789"), 0xE3069283u);
  EXPECT_EQ(crc32c(""), 0u);
  // Continuation equals the one-shot value.
  EXPECT_EQ(crc32c("6789", 4, crc32c("12345", 5)), 0xE3069283u);
  Sha256Digest d = sha256("abc", 3);
  EXPECT_EQ(d[0], 0xba);
  EXPECT_EQ(d[31], 0xad);
  std::string data(10000, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  Xxh3Hasher128 h;
  h.update(data.data(), 3333);
  h.update(data.data() + 3333, data.size() - 3333);
  EXPECT_EQ(h.digest(), xxh3_128(data));
}

TEST(Coding, VarintRoundTripAndCaps) {
  struct Case { uint64_t v; size_t len; };
  for (Case c : {Case{0, 1}, Case{127, 1}, Case{128, 2}, Case{~0ull, 10}}) {
    std::string s;
    coding::put_varint(&s, c.v);
    ASSERT_EQ(s.size(), c.len) << c.v;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
    uint64_t out = 0;
    ASSERT_EQ(coding::get_varint(&p, p + s.size(), &out), coding::VarintStatus::kOk);
    EXPECT_EQ(out, c.v);
  }
  // Eleven continuation bytes never decode; a 32-bit varint stops at 5 bytes.
  std::string bad(11, '\x80');
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bad.data());
  uint64_t out;
  EXPECT_EQ(coding::get_varint(&p, p + bad.size(), &out), coding::VarintStatus::kOverflow);
  std::string big;
  coding::put_varint(&big, 1ull << 32);
  p = reinterpret_cast<const uint8_t*>(big.data());
  EXPECT_EQ(coding::get_varint(&p, p + big.size(), &out, 32), coding::VarintStatus::kOverflow);
  p = reinterpret_cast<const uint8_t*>(big.data());
  EXPECT_EQ(coding::get_varint(&p, p + 2, &out), coding::VarintStatus::kTruncated);
  EXPECT_EQ(coding::zigzag_decode(coding::zigzag_encode(-5)), -5);
  EXPECT_EQ(coding::zigzag_encode(-1), 1u);
}

TEST(Env, ThreeStates) {
  ::setenv("ZV_PLATFORM_TEST_VAR", "h\xC3\xA9llo", 1);
  EXPECT_EQ(get_env("ZV_PLATFORM_TEST_VAR").text, "h\xC3\xA9llo");
  ::setenv("ZV_PLATFORM_TEST_VAR", "bad\xFF", 1);
  EXPECT_EQ(get_env("ZV_PLATFORM_TEST_VAR").state, EnvValue::State::kNotUnicode);
  ::unsetenv("ZV_PLATFORM_TEST_VAR");
  EXPECT_EQ(get_env("ZV_PLATFORM_TEST_VAR").state, EnvValue::State::kAbsent);
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));  // a surrogate
}

TEST(Files, ReadWriteAtomicAndErrors) {
  testing::TempDir dir;
  std::string path = fs::join(dir.path(), "a.bin");
  ASSERT_TRUE(fs::write_file_atomic(path, "hello").ok());
  EXPECT_EQ(*fs::read_file(path), "hello");
  ASSERT_TRUE(fs::write_file_atomic(path, "world!").ok());
  EXPECT_EQ(*fs::read_file(path), "world!");
  EXPECT_EQ(fs::list_dir(dir.path())->size(), 1u);  // no temporary left

  auto f = File::open_read(path);
  ASSERT_TRUE(f.ok());
  char buf[16];
  auto st = f->read_exact_at(buf, 10, 0);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), IoErrorKind::kUnexpectedEof);
  EXPECT_EQ(st.error().message(), kShortReadMessage);

  auto missing = File::open_read(fs::join(dir.path(), "nope"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), IoErrorKind::kNotFound);
  EXPECT_NE(missing.error().message().find("(os error 2)"), std::string::npos);

  auto again = File::create_new(path);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().kind(), IoErrorKind::kAlreadyExists);
}

TEST(Files, LockIsExclusive) {
  testing::TempDir dir;
  std::string path = fs::join(dir.path(), ".lock");
  auto a = FileLock::try_lock(path);
  ASSERT_TRUE(a.ok());
  auto b = FileLock::try_lock(path);
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().kind(), IoErrorKind::kWouldBlock);
  a = FileLock::try_lock(path + "2");  // drops the first lock
  EXPECT_TRUE(FileLock::try_lock(path).ok());
}

TEST(Files, MapFlushAndResidency) {
  testing::TempDir dir;
  std::string path = fs::join(dir.path(), "m.bin");
  auto f = File::create(path);
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(f->set_len(3 * MemoryMap::page_size()).ok());
  auto m = MemoryMap::map_file(*f, true);
  ASSERT_TRUE(m.ok());
  m->data()[5] = 42;
  ASSERT_TRUE(m->flush().ok());
  EXPECT_GE(*m->resident_pages(0, m->size()), 1u);
  EXPECT_TRUE(m->advise(0, m->size(), MapAdvice::kWillNeed).ok());
  char c;
  ASSERT_TRUE(f->read_exact_at(&c, 1, 5).ok());
  EXPECT_EQ(c, 42);
}

TEST(Panic, CaughtAtBoundaryAndLogged) {
  log::CaptureSink sink;
  std::string msg;
  EXPECT_FALSE(catch_panic([] { panic("broken invariant"); }, &msg));
  EXPECT_EQ(msg, "broken invariant");
  EXPECT_TRUE(sink.contains("broken invariant"));
}

TEST(Log, NothingRecordedWithoutSink) {
  EXPECT_FALSE(log::enabled(log::Level::kError));
  {
    log::CaptureSink sink(log::Level::kWarn);
    EXPECT_TRUE(log::enabled(log::Level::kWarn));
    EXPECT_FALSE(log::enabled(log::Level::kInfo));
    ZV_WARN("tervik::test", "careful", {"k", "v"});
    auto ev = sink.events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].target, "tervik::test");
    EXPECT_EQ(ev[0].fields[0].second, "v");
  }
  EXPECT_FALSE(log::enabled(log::Level::kError));
}

}  // namespace
}  // namespace zv
